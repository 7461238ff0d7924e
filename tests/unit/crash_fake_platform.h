#pragma once
// A scripted stand-in for the running system, for tests of the crash report's text: memory that
// reads or faults by address, modules, symbols and the frames a stack walk yields; and a report
// file that keeps each write as its own piece.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "crash/crash_report.h"

namespace tarn::test {

class RecordingReportFile : public ReportFile {
public:
    void Write(const char* bytes, size_t length) override { pieces.emplace_back(bytes, length); }
    std::string Text() const {
        std::string all;
        for (const std::string& p : pieces) all += p;
        return all;
    }
    std::vector<std::string> pieces;
};

class FakeCrashPlatform : public CrashPlatform {
public:
    // Memory: readable ranges of bytes; everything else faults.
    void MapBytes(uint64_t address, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) memory[address + i] = bytes[i];
    }
    void MapWord(uint64_t address, uint32_t value) {
        for (int i = 0; i < 4; ++i) memory[address + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    void MapPointer(uint64_t address, uint64_t value) {
        for (unsigned i = 0; i < pointerSize; ++i) memory[address + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    // Words from low up to high, each the low 16 bits of its address under 0xA000.
    void MapStack(uint64_t low, uint64_t high) {
        for (uint64_t a = low; a < high; a += 4) MapWord(a, 0xA0000000u | static_cast<uint32_t>(a & 0xFFFF));
    }
    void Unmap(uint64_t address, uint64_t length = 1) {
        for (uint64_t i = 0; i < length; ++i) memory.erase(address + i);
    }
    // A module: its region (for AllocationBase) and its path.
    void AddModule(uint64_t base, uint64_t size, const std::string& path) {
        regions.push_back({base, base + size});
        modulePaths[base] = path;
    }
    // A minimal image header at base: "MZ", the header offset, "PE\0\0" and the link time.
    void MapImageHeader(uint64_t base, uint32_t linkTime, uint32_t headerOffset = 0x80) {
        MapBytes(base, {'M', 'Z'});
        MapWord(base + 0x3C, headerOffset);
        MapWord(base + headerOffset, 0x00004550u);
        MapWord(base + headerOffset + 4, 0x0003014Cu);
        MapWord(base + headerOffset + 8, linkTime);
    }

    uint32_t CurrentThreadId() override { return threadId; }
    CalendarTime LocalTimeNow() override { return now; }
    bool LocalTimeFromSeconds(int64_t seconds, CalendarTime* out) override {
        if (!localTimeWorks) return false;
        *out = SplitUtcSeconds(seconds + localOffsetSeconds);
        return true;
    }
    uint64_t AllocationBase(uint64_t address) override {
        for (const Region& r : regions)
            if (address >= r.low && address < r.high) return r.low;
        return 0;
    }
    size_t ModuleFileName(uint64_t module, char* path, size_t capacity) override {
        if (module == 0) module = exeBase;
        auto it = modulePaths.find(module);
        if (it == modulePaths.end() || it->second.empty() || capacity == 0) {
            if (capacity) path[0] = '\0';
            return 0;
        }
        const size_t n = std::min(it->second.size(), capacity - 1);
        std::memcpy(path, it->second.data(), n);
        path[n] = '\0';
        return n;
    }
    uint64_t ExecutableModule() override { return exeBase; }
    bool UserName(char* name, size_t capacity) override {
        if (userName.empty()) return false;
        std::strncpy(name, userName.c_str(), capacity - 1);
        name[capacity - 1] = '\0';
        return true;
    }
    void ProcessorInfo(uint32_t* count, uint32_t* type) override {
        *count = processorCount;
        *type = processorType;
    }
    uint64_t TotalPhysicalMemory() override { return physicalMemory; }
    uint64_t StackBase() override { return stackBase; }
    bool ReadByte(uint64_t address, uint8_t* value) override {
        ++reads;
        auto it = memory.find(address);
        if (it == memory.end()) {
            faults.push_back(address);
            return false;
        }
        *value = it->second;
        return true;
    }
    bool ReadWord(uint64_t address, uint32_t* value) override {
        uint64_t v = 0;
        if (!ReadLittleEndian(address, 4, &v)) return false;
        *value = static_cast<uint32_t>(v);
        return true;
    }
    bool ReadPointer(uint64_t address, uint64_t* value) override {
        return ReadLittleEndian(address, pointerSize, value);
    }
    unsigned PointerSize() override { return pointerSize; }
    bool IsWritable(uint64_t address, size_t length) override {
        for (size_t i = 0; i < length; ++i)
            if (memory.count(address + i) == 0 || readOnly.count(address + i) != 0) return false;
        return true;
    }

    bool SymbolsInitialize() override {
        calls.push_back("SymInitialize");
        return symbolsAvailable;
    }
    uint32_t SymbolOptions() override { return symbolOptions; }
    void SetSymbolOptions(uint32_t options) override {
        calls.push_back("SymSetOptions");
        symbolOptions = options;
    }
    void SymbolsCleanup() override { calls.push_back("SymCleanup"); }
    void StackWalkStart(uint64_t pc, uint64_t frame, uint64_t stack) override {
        walkStart = {pc, frame, stack};
        nextFrame = 0;
    }
    bool StackWalkStep(WalkFrame* frame) override {
        if (nextFrame >= frames.size()) return false;
        *frame = frames[nextFrame++];
        return true;
    }
    bool SymbolFromAddress(uint64_t address, char* name, size_t capacity, uint64_t* displacement) override {
        auto it = symbols.find(address);
        if (it == symbols.end()) return false;
        std::strncpy(name, it->second.name.c_str(), capacity - 1);
        name[capacity - 1] = '\0';
        *displacement = it->second.displacement;
        return true;
    }
    void UndecorateName(const char* decorated, char* out, size_t capacity) override {
        auto it = undecorated.find(decorated);
        std::strncpy(out, it == undecorated.end() ? "" : it->second.c_str(), capacity - 1);
        out[capacity - 1] = '\0';
    }
    bool LineFromAddress(uint64_t address, char* file, size_t capacity, uint32_t* line) override {
        auto it = lines.find(address);
        if (it == lines.end()) return false;
        std::strncpy(file, it->second.file.c_str(), capacity - 1);
        file[capacity - 1] = '\0';
        *line = it->second.line;
        return true;
    }

    struct Region {
        uint64_t low, high;
    };
    struct Symbol {
        std::string name;
        uint64_t displacement;
    };
    struct SourceLine {
        std::string file;
        uint32_t line;
    };

    std::map<uint64_t, uint8_t> memory;
    std::set<uint64_t> readOnly;
    std::vector<uint64_t> faults;
    size_t reads = 0;
    std::vector<Region> regions;
    std::map<uint64_t, std::string> modulePaths;
    uint64_t exeBase = 0x00400000;
    uint32_t threadId = 0x6f4;
    CalendarTime now{2009, 3, 7, 14, 5, 9};
    bool localTimeWorks = true;
    int64_t localOffsetSeconds = 9 * 3600;
    std::string userName = "tester";
    uint32_t processorCount = 2;
    uint32_t processorType = 586;
    uint64_t physicalMemory = 512ull << 20;
    uint64_t stackBase = 0x00130000;
    unsigned pointerSize = 4;

    bool symbolsAvailable = false;
    uint32_t symbolOptions = 0;
    std::vector<std::string> calls;
    struct {
        uint64_t pc, frame, stack;
    } walkStart{};
    std::vector<WalkFrame> frames;
    size_t nextFrame = 0;
    std::map<uint64_t, Symbol> symbols;
    std::map<std::string, std::string> undecorated;
    std::map<uint64_t, SourceLine> lines;

private:
    bool ReadLittleEndian(uint64_t address, unsigned size, uint64_t* value) {
        uint64_t v = 0;
        for (unsigned i = 0; i < size; ++i) {
            uint8_t b = 0;
            if (!ReadByte(address + i, &b)) return false;
            v |= static_cast<uint64_t>(b) << (8 * i);
        }
        *value = v;
        return true;
    }
};

}  // namespace tarn::test
