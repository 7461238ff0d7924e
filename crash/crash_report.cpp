#include "crash/crash_report.h"

#include <cstdarg>
#include <cstring>

#include "base/text.h"

namespace tarn {
namespace {

struct CodeText {
    uint32_t code;
    const char* text;
};

// Searched from the top.
constexpr CodeText kExceptionCodes[] = {
    {0x40010005u, "a Control-C"},
    {0x40010008u, "a Control-Break"},
    {0x80000002u, "a Datatype Misalignment"},
    {0x80000003u, "a Breakpoint"},
    {0xC0000005u, "an Access Violation"},
    {0xC0000006u, "an In Page Error"},
    {0xC0000017u, "a No Memory"},
    {0xC000001Du, "an Illegal Instruction"},
    {0xC0000025u, "a Noncontinuable Exception"},
    {0xC0000026u, "an Invalid Disposition"},
    {0xC000008Cu, "a Array Bounds Exceeded"},
    {0xC000008Du, "a Float Denormal Operand"},
    {0xC000008Eu, "a Float Divide by Zero"},
    {0xC000008Fu, "a Float Inexact Result"},
    {0xC0000090u, "a Float Invalid Operation"},
    {0xC0000091u, "a Float Overflow"},
    {0xC0000092u, "a Float Stack Check"},
    {0xC0000093u, "a Float Underflow"},
    {0xC0000094u, "an Integer Divide by Zero"},
    {0xC0000095u, "an Integer Overflow"},
    {0xC0000096u, "a Privileged Instruction"},
    {0xC00000FDu, "a Stack Overflow"},
    {0xC0000142u, "a DLL Initialization Failed"},
    {0xE06D7363u, "a Microsoft C++ Exception"},
};

constexpr uint64_t kDumpAlign = 32;
constexpr int64_t kKoreaOffsetSeconds = 9 * 3600;

uint64_t AlignDown32(uint64_t v) {
    return v & ~(kDumpAlign - 1);
}
uint64_t AlignUp32(uint64_t v) {
    return AlignDown32(v + kDumpAlign - 1);
}

unsigned long long Hex(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// A selector is 16 bits; the 32-bit field that holds it may carry garbage above them (Wine leaves
// some in contexts it builds for raised exceptions).
unsigned Selector(uint32_t field) {
    return field & 0xFFFFu;
}

// Cuts an over-long piece at a character boundary. A piece whose format ends a line keeps its
// line end, after a visible "..." that marks the cut.
size_t CutPiece(char* buffer, const char* format) {
    static const char kMarker[] = "...\r\n";
    const size_t formatLength = std::strlen(format);
    const bool endsLine = formatLength >= 2 && std::strcmp(format + formatLength - 2, "\r\n") == 0;
    const size_t keep = endsLine ? kReportPieceLimit - (sizeof(kMarker) - 1) : kReportPieceLimit;
    const char* p = buffer;
    while (*p) {
        const char* next = NextChar(p);
        if (static_cast<size_t>(next - buffer) > keep) break;
        p = next;
    }
    size_t length = static_cast<size_t>(p - buffer);
    if (endsLine) {
        std::memcpy(buffer + length, kMarker, sizeof(kMarker) - 1);
        length += sizeof(kMarker) - 1;
    }
    return length;
}

// Appends formatted text to a line under construction; the line's buffer is sized for its
// longest content, so nothing is ever cut here.
void AppendToLine(char* line, size_t capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));
void AppendToLine(char* line, size_t capacity, const char* format, ...) {
    const size_t used = std::strlen(line);
    va_list args;
    va_start(args, format);
    FormatTextV(line + used, capacity - used, format, args);
    va_end(args);
}

const char* AfterLastBackslash(const char* path) {
    const char* slash = std::strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

}  // namespace

void WriteCodeBytes(ReportFile& file, CrashPlatform& platform, uint64_t address) {
    for (int i = 0; i < 16; ++i) {
        uint8_t byte = 0;
        if (platform.ReadByte(address + i, &byte))
            ReportPrintf(file, "%02x ", byte);
        else
            ReportPrintf(file, "?? ");
    }
}

void ReportPrintf(ReportFile& file, const char* format, ...) {
    char buffer[kReportFormatSize];
    va_list args;
    va_start(args, format);
    FormatTextV(buffer, sizeof(buffer), format, args);
    va_end(args);
    size_t length = std::strlen(buffer);
    if (length > kReportPieceLimit) length = CutPiece(buffer, format);
    file.Write(buffer, length);
}

const char* DescribeExceptionCode(uint32_t code) {
    for (const CodeText& row : kExceptionCodes)
        if (row.code == code) return row.text;
    return "Unknown exception type";
}

void WriteSystemInfo(ReportFile& file, CrashPlatform& platform) {
    char path[kReportPathSize];
    if (platform.ModuleFileName(0, path, sizeof(path)) == 0) CopyText(path, "Unknown");
    char user[kUserNameSize];
    if (!platform.UserName(user, sizeof(user))) CopyText(user, "Unknown");
    ReportPrintf(file, "%s, run by %s.\r\n", path, user);

    uint32_t count = 0, type = 0;
    platform.ProcessorInfo(&count, &type);
    ReportPrintf(file, "%d processor(s), type %d.\r\n", static_cast<int>(count), static_cast<int>(type));

    // Whole mebibytes, a started one counting as one. Worked in 64 bits: a 32-bit sum would wrap
    // for the 0xFFFFFFFF that the system reports for 4 GiB and more.
    const unsigned long long mebibytes = (platform.TotalPhysicalMemory() + 0xFFFFFull) >> 20;
    ReportPrintf(file, "%llu MBytes physical memory.\r\n", mebibytes);
}

void WriteAccessViolationLine(ReportFile& file, const CrashException& exception) {
    if (exception.code != kCodeAccessViolation || exception.parameterCount < 2) return;
    char line[kAccessLineSize];
    FormatText(line, sizeof(line), "%s location %08llx caused an access violation.\r\n",
               exception.parameters[0] == 0 ? "Read from" : "Write to", Hex(exception.parameters[1]));
    ReportPrintf(file, "%s", line);
}

void DumpStackRange(ReportFile& file, CrashPlatform& platform, StackDumpState& state, uint64_t low, uint64_t high) {
    // The cursor only ever moves up: a range below it adds nothing, one above it skips the gap.
    if (state.cursor < low && AlignDown32(low) > state.cursor) state.cursor = AlignDown32(low);
    uint64_t end = high > state.limit ? state.limit : AlignUp32(high);
    // A limit lowered by a fault need not be a line boundary; never read at or past it again.
    if (end > state.limit) end = state.limit;

    char line[kDumpLineSize];
    line[0] = '\0';
    while (state.cursor < end) {
        if (state.cursor % kDumpAlign == 0) FormatText(line, sizeof(line), "%08llx:", Hex(state.cursor));
        uint32_t word = 0;
        if (!platform.ReadWord(state.cursor, &word)) {
            ReportPrintf(file, "Exception encountered during stack dump\r\n");
            state.limit = state.cursor;
            return;
        }
        AppendToLine(line, sizeof(line), " %08x", word);
        state.cursor += 4;
        if (state.cursor % kDumpAlign == 0) {
            ReportPrintf(file, "%s\r\n", line);
            line[0] = '\0';
        }
    }
}

void WriteModuleLine(ReportFile& file, CrashPlatform& platform, uint64_t module) {
    char path[kReportPathSize];
    if (platform.ModuleFileName(module, path, sizeof(path)) == 0) return;
    uint8_t m = 0, z = 0;
    if (!platform.ReadByte(module, &m) || !platform.ReadByte(module + 1, &z) || m != 'M' || z != 'Z') return;
    uint32_t headerOffset = 0, signature = 0, linkTime = 0;
    if (!platform.ReadWord(module + 0x3C, &headerOffset)) return;
    const uint64_t header = module + headerOffset;
    if (!platform.ReadWord(header, &signature) || signature != 0x00004550u) return;
    if (!platform.ReadWord(header + 8, &linkTime)) return;
    // Korea Standard Time, whatever the machine's time zone.
    const CalendarTime t = SplitUtcSeconds(static_cast<int64_t>(linkTime) + kKoreaOffsetSeconds);
    ReportPrintf(file, "%s, loaded at 0x%08llx - %02d/%02d/%02d %02d:%02d:%02d (KR)\r\n", path, Hex(module),
                 t.year % 100, t.month, t.day, t.hour, t.minute, t.second);
}

void WriteReportSections(ReportFile& file, CrashPlatform& platform, const CrashException& exception,
                         const CrashRegisters& regs, int64_t startTime, StackDumpState& state) {
    const CalendarTime now = platform.LocalTimeNow();
    // "excpetion" is the report's established spelling; readers of old reports search for it.
    ReportPrintf(file, "[%x %04d/%02d/%02d %02d:%02d:%02d]: ======================= %s\r\n", platform.CurrentThreadId(),
                 now.year, now.month, now.day, now.hour, now.minute, now.second, "first excpetion");

    CalendarTime start{};
    platform.LocalTimeFromSeconds(startTime, &start);
    ReportPrintf(file, "start at %02d/%02d/%02d %02d:%02d:%02d\r\n", start.year % 100, start.month, start.day,
                 start.hour, start.minute, start.second);

    WriteSystemInfo(file, platform);

    char modulePath[kReportPathSize];
    const char* moduleName = "Unknown";
    const uint64_t base = platform.AllocationBase(regs.eip);
    if (base != 0 && platform.ModuleFileName(base, modulePath, sizeof(modulePath)) != 0)
        moduleName = AfterLastBackslash(modulePath);
    ReportPrintf(file, "%s in module %s at %04x:%08llx.\r\n", DescribeExceptionCode(exception.code), moduleName,
                 Selector(regs.cs), Hex(regs.eip));
    WriteAccessViolationLine(file, exception);
    ReportPrintf(file, "\r\n");

    ReportPrintf(file, "Registers:\r\n");
    ReportPrintf(file, "EAX=%08llx CS=%04x EIP=%08llx EFLGS=%08x\r\n", Hex(regs.eax), Selector(regs.cs), Hex(regs.eip),
                 regs.eflags);
    ReportPrintf(file, "EBX=%08llx SS=%04x ESP=%08llx EBP=%08llx\r\n", Hex(regs.ebx), Selector(regs.ss), Hex(regs.esp),
                 Hex(regs.ebp));
    ReportPrintf(file, "ECX=%08llx DS=%04x ESI=%08llx FS=%04x\r\n", Hex(regs.ecx), Selector(regs.ds), Hex(regs.esi),
                 Selector(regs.fs));
    ReportPrintf(file, "EDX=%08llx ES=%04x EDI=%08llx GS=%04x\r\n", Hex(regs.edx), Selector(regs.es), Hex(regs.edi),
                 Selector(regs.gs));

    ReportPrintf(file, "\r\nBytes at CS:EIP:\r\n");
    WriteCodeBytes(file, platform, regs.eip);

    ReportPrintf(file, "\r\n\r\nStack dump:\r\n");
    state.cursor = AlignDown32(regs.esp);
    state.limit = AlignDown32(platform.StackBase());
    DumpStackRange(file, platform, state, state.cursor, state.cursor + 160);
    ReportPrintf(file, "\r\n");

    WriteCallStack(file, platform, regs, state);

    ReportPrintf(file, "Module list:\r\n");
    WriteModuleLine(file, platform, platform.ExecutableModule());
}

// Days to civil date, after Howard Hinnant's public-domain algorithm.
CalendarTime SplitUtcSeconds(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    CalendarTime t{};
    t.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

void BuildReportPath(const char* exePath, bool exePathComplete, const char* fileName, char* out, size_t capacity) {
    // A plain byte search is right for CP949: 0x5C never occurs as a trail byte there.
    const char* slash = exePathComplete ? std::strrchr(exePath, '\\') : nullptr;
    if (slash != nullptr) {
        const size_t folderLength = static_cast<size_t>(slash + 1 - exePath);
        const size_t nameLength = std::strlen(fileName);
        if (folderLength + nameLength < capacity) {
            std::memcpy(out, exePath, folderLength);
            std::memcpy(out + folderLength, fileName, nameLength + 1);
            return;
        }
    }
    CopyText(out, capacity, fileName);
}

}  // namespace tarn
