// The call-stack section of the crash report: a walk through the platform's symbol handler, or,
// when that cannot start, along the chain of saved frame pointers. Both interleave the stack dump
// (which carries its cursor over from the report's first dump) with one entry per frame.
#include <cstring>

#include "crash/crash_report.h"
#include "base/text.h"

namespace tarn {
namespace {

constexpr uint32_t kSymoptUndname = 0x2;
constexpr uint32_t kSymoptDeferredLoads = 0x4;
constexpr uint32_t kSymoptLoadLines = 0x10;
constexpr uint32_t kSymoptWanted = kSymoptDeferredLoads | kSymoptLoadLines;
constexpr uint32_t kSymoptChecked = kSymoptUndname | kSymoptWanted;

// Bytes below and above a frame address that each frame's dump covers.
constexpr uint64_t kFrameDumpBelow = 32;
constexpr uint64_t kFrameDumpAbove = 12;

unsigned long long Hex(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

void DumpAroundFrame(ReportFile& file, CrashPlatform& platform, StackDumpState& state, uint64_t frame) {
    const uint64_t low = frame > kFrameDumpBelow ? frame - kFrameDumpBelow : 0;
    DumpStackRange(file, platform, state, low, frame + kFrameDumpAbove);
}

// The path of the module containing address, or empty.
void ModulePathOf(CrashPlatform& platform, uint64_t address, char* path, size_t capacity) {
    path[0] = '\0';
    const uint64_t base = platform.AllocationBase(address);
    if (base != 0 && platform.ModuleFileName(base, path, capacity) == 0) path[0] = '\0';
}

}  // namespace

bool AdjustSymbolOptions(uint32_t options, uint32_t* adjusted) {
    if ((options & kSymoptChecked) == kSymoptWanted) return false;
    *adjusted = (options & ~kSymoptUndname) | kSymoptWanted;
    return true;
}

void WriteCallStack(ReportFile& file, CrashPlatform& platform, const CrashRegisters& regs, StackDumpState& state) {
    if (!platform.SymbolsInitialize()) {
        WalkStackFramePointers(file, platform, regs, state);
        return;
    }
    uint32_t adjusted = 0;
    if (AdjustSymbolOptions(platform.SymbolOptions(), &adjusted)) platform.SetSymbolOptions(adjusted);
    WalkStackSymbolic(file, platform, regs, state);
    platform.SymbolsCleanup();
}

void WalkStackSymbolic(ReportFile& file, CrashPlatform& platform, const CrashRegisters& regs, StackDumpState& state) {
    ReportPrintf(file, "Call Stack Information:\r\n");
    platform.StackWalkStart(regs.eip, regs.ebp, regs.esp);
    WalkFrame frame{};
    if (platform.StackWalkStep(&frame)) {
        for (int written = 0; frame.frameAddress != 0 && written < kMaxWalkFrames; ++written) {
            DumpAroundFrame(file, platform, state, frame.frameAddress);
            ReportPrintf(file, "\r\n%08llx  %08llx ", Hex(frame.frameAddress), Hex(frame.pc));

            char undecorated[kSymbolNameSize];
            undecorated[0] = '\0';
            char name[kSymbolNameSize];
            uint64_t displacement = 0;
            bool lineWritten = false;
            if (platform.SymbolFromAddress(frame.pc, name, sizeof(name), &displacement)) {
                ReportPrintf(file, "%s +%x\r\n", name, static_cast<uint32_t>(displacement));
                platform.UndecorateName(name, undecorated, sizeof(undecorated));
                // The source path is held to a path's size so that the line, with the longest
                // name after it, stays within one piece of the report.
                char source[kReportPathSize];
                uint32_t line = 0;
                if (platform.LineFromAddress(frame.pc, source, sizeof(source), &line)) {
                    ReportPrintf(file, "%s %d %s\r\n", source, static_cast<int>(line), undecorated);
                    lineWritten = true;
                }
            }
            if (!lineWritten) {
                char modulePath[kReportPathSize];
                ModulePathOf(platform, frame.pc, modulePath, sizeof(modulePath));
                ReportPrintf(file, "%s %s\r\n", modulePath, undecorated);
            }
            ReportPrintf(file, "Params:   %08llx %08llx %08llx %08llx\r\n", Hex(frame.params[0]), Hex(frame.params[1]),
                         Hex(frame.params[2]), Hex(frame.params[3]));
            // Every caller's frame lies above its callee's: a step that does not move up the stack
            // goes round in a loop or has left the stack.
            const uint64_t stack = frame.stackAddress;
            if (!platform.StackWalkStep(&frame) || frame.stackAddress <= stack) break;
        }
    }
    ReportPrintf(file, "\r\n");
}

void WalkStackFramePointers(ReportFile& file, CrashPlatform& platform, const CrashRegisters& regs,
                            StackDumpState& state) {
    ReportPrintf(file, "Intel Call Stack Information:\r\n");
    // The return address sits one word above the saved frame pointer; the x86-64 build walks the
    // same chain with 8-byte words.
    const unsigned word = platform.PointerSize();
    uint64_t pc = regs.eip;
    uint64_t fp = regs.ebp;
    for (int written = 0; written < kMaxWalkFrames; ++written) {
        DumpAroundFrame(file, platform, state, fp);
        char modulePath[kReportPathSize];
        ModulePathOf(platform, pc, modulePath, sizeof(modulePath));
        ReportPrintf(file, "\r\n%08llx  %08llx  %s\r\n", Hex(fp), Hex(pc), modulePath);
        ReportPrintf(file, "Bytes at CS:EIP: ");
        WriteCodeBytes(file, platform, pc);
        ReportPrintf(file, "\r\n");

        // The first frame pointer comes straight from the register and has not been checked:
        // these reads are guarded, and a word that cannot be read ends the walk.
        uint64_t nextPc = 0, nextFp = 0;
        if (!platform.ReadPointer(fp + word, &nextPc) || !platform.ReadPointer(fp, &nextFp)) break;
        // Every accepted frame pointer is above the one before.
        if (nextFp % word != 0 || nextFp <= fp || !platform.IsWritable(nextFp, 2 * word)) break;
        pc = nextPc;
        fp = nextFp;
    }
}

}  // namespace tarn
