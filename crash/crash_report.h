#pragma once
// The crash report's text, produced from plain values. Everything the report needs from the
// running system comes through CrashPlatform, so the whole report can be produced against a fake
// in tests; crash_platform_win32.cpp is the real one. Nothing here allocates: the report is
// written from inside the unhandled-exception filter.
//
// Register and address values are 64-bit here so that the x86-64 build can hand over its
// registers unchanged; the 32-bit build's values always fit 32 bits and then print exactly as the
// report's %08x fields. Wider values print in full (the field grows beyond 8 digits).
#include <cstddef>
#include <cstdint>

namespace tarn {

// Sizes of the report's fixed buffers.
constexpr size_t kReportFormatSize = 2000;  // ReportPrintf's formatting buffer
constexpr size_t kReportPieceLimit = 1024;  // the most one ReportPrintf call writes
constexpr size_t kAccessLineSize = 1000;    // the access-violation line
constexpr size_t kDumpLineSize = 92;        // one stack-dump line
constexpr size_t kReportPathSize = 260;     // paths
constexpr size_t kUserNameSize = 200;       // the user name
constexpr size_t kSymbolNameSize = 512;     // decorated and undecorated symbol names

constexpr uint32_t kCodeAccessViolation = 0xC0000005u;
constexpr uint32_t kCodeNotReported = 0xE0000001u;  // raised on purpose; never reported
constexpr uint32_t kCodeCxxException = 0xE06D7363u;

struct CalendarTime {
    int year, month, day, hour, minute, second;
};

// The values of the faulting thread's register context the report prints and walks from. The
// x86-64 build maps RAX..RIP onto the 32-bit names (see crash_platform_win32.cpp).
struct CrashRegisters {
    uint64_t eax, ebx, ecx, edx, esi, edi, ebp, esp, eip;
    uint32_t eflags;
    uint32_t cs, ss, ds, es, fs, gs;
};

struct CrashException {
    uint32_t code;
    uint32_t parameterCount;
    uint64_t parameters[2];  // the first two; only valid up to parameterCount
};

// One step of the platform's stack walk.
struct WalkFrame {
    uint64_t frameAddress;
    uint64_t pc;
    uint64_t params[4];
    uint64_t stackAddress;  // the stack pointer of the frame; rises from each frame to its caller
};

// The most frames either walk writes. A chain that loops or runs through a corrupt stack must not
// keep the filter, which holds the reporter's lock, writing forever; a stack overflow's recursion
// is shown by its innermost frames.
constexpr int kMaxWalkFrames = 256;

// The open report file. Each call is one write of exactly these bytes; failures are ignored.
class ReportFile {
public:
    virtual void Write(const char* bytes, size_t length) = 0;

protected:
    ~ReportFile() = default;
};

// What the report asks of the running system. Every operation must be safe to call from the
// crash filter: no heap, no exceptions, memory reads guarded.
class CrashPlatform {
public:
    virtual uint32_t CurrentThreadId() = 0;
    virtual CalendarTime LocalTimeNow() = 0;
    // Seconds since 1970-01-01 UTC as local calendar time; false when it cannot be converted.
    virtual bool LocalTimeFromSeconds(int64_t seconds, CalendarTime* out) = 0;

    // Allocation base of the memory region containing address (for code in a module, the module's
    // load address); 0 when the region cannot be queried or belongs to no allocation.
    virtual uint64_t AllocationBase(uint64_t address) = 0;
    // Full path of the module loaded at module (0: the executable) into path[capacity], always
    // terminated. Returns the length, 0 on failure.
    virtual size_t ModuleFileName(uint64_t module, char* path, size_t capacity) = 0;
    // Load address of the executable.
    virtual uint64_t ExecutableModule() = 0;

    virtual bool UserName(char* name, size_t capacity) = 0;
    virtual void ProcessorInfo(uint32_t* count, uint32_t* type) = 0;
    virtual uint64_t TotalPhysicalMemory() = 0;
    // Upper end of the current thread's stack.
    virtual uint64_t StackBase() = 0;

    // Guarded reads: false instead of a fault.
    virtual bool ReadByte(uint64_t address, uint8_t* value) = 0;
    virtual bool ReadWord(uint64_t address, uint32_t* value) = 0;     // 32 bits
    virtual bool ReadPointer(uint64_t address, uint64_t* value) = 0;  // PointerSize() bytes
    virtual unsigned PointerSize() = 0;
    // Whether length bytes at address can be written (IsBadWritePtr reports 0).
    virtual bool IsWritable(uint64_t address, size_t length) = 0;

    // The debug-help symbol handler, for the symbolic stack walk.
    virtual bool SymbolsInitialize() = 0;
    virtual uint32_t SymbolOptions() = 0;
    virtual void SetSymbolOptions(uint32_t options) = 0;
    virtual void SymbolsCleanup() = 0;
    // Zeroes the walk's frame record and sets its program counter, frame and stack addresses.
    virtual void StackWalkStart(uint64_t pc, uint64_t frame, uint64_t stack) = 0;
    // One step of the walk; false when no further frame was found.
    virtual bool StackWalkStep(WalkFrame* frame) = 0;
    // The decorated name of the symbol containing address, terminated in name[capacity].
    virtual bool SymbolFromAddress(uint64_t address, char* name, size_t capacity, uint64_t* displacement) = 0;
    virtual void UndecorateName(const char* decorated, char* out, size_t capacity) = 0;
    // Source file (terminated in file[capacity], cut when longer) and line of address.
    virtual bool LineFromAddress(uint64_t address, char* file, size_t capacity, uint32_t* line) = 0;

protected:
    ~CrashPlatform() = default;
};

// Where the stack dumps of one report have got to. Set afresh before each report's first dump and
// carried through every later dump of that report, so no stack line is printed twice.
struct StackDumpState {
    uint64_t cursor;  // next address to print
    uint64_t limit;   // nothing at or above it is read
};

// Formats one piece of text and writes it with one Write call, without the terminator. A piece
// never exceeds kReportPieceLimit bytes; the report's own lines are built to fit, and should a
// piece be longer all the same, it is cut at a character boundary and still ends in "...\r\n"
// when its format ends a line, so the line structure of the report survives.
void ReportPrintf(ReportFile& file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Text for an exception code; "Unknown exception type" for codes outside the table.
const char* DescribeExceptionCode(uint32_t code);

// The sixteen code bytes at address, each as "%02x " or, when it cannot be read, "?? ".
void WriteCodeBytes(ReportFile& file, CrashPlatform& platform, uint64_t address);

// The three system-information lines: executable and user, processors, physical memory.
void WriteSystemInfo(ReportFile& file, CrashPlatform& platform);

// The access-violation line; nothing unless code is an access violation with two parameters.
void WriteAccessViolationLine(ReportFile& file, const CrashException& exception);

// Prints the stack between low and high as lines of eight 32-bit words, continuing from
// state.cursor and never at or past state.limit. A word that cannot be read ends the dump, drops
// the partly built line and lowers the limit to that address for the rest of the report.
void DumpStackRange(ReportFile& file, CrashPlatform& platform, StackDumpState& state, uint64_t low, uint64_t high);

// The module-list line of the module loaded at module, with its link time in Korea Standard
// Time; nothing when the module has no name or no readable MZ/PE header.
void WriteModuleLine(ReportFile& file, CrashPlatform& platform, uint64_t module);

// The call-stack section: the symbolic walk when the symbol handler starts, else the walk along
// the saved frame pointers.
void WriteCallStack(ReportFile& file, CrashPlatform& platform, const CrashRegisters& regs, StackDumpState& state);
void WalkStackSymbolic(ReportFile& file, CrashPlatform& platform, const CrashRegisters& regs, StackDumpState& state);
void WalkStackFramePointers(ReportFile& file, CrashPlatform& platform, const CrashRegisters& regs,
                            StackDumpState& state);

// Symbol options for the walk: decorated names, deferred loads, line numbers, the rest as it was.
// Returns false when options already have them and need not be set.
bool AdjustSymbolOptions(uint32_t options, uint32_t* adjusted);

// Every section of one report, header to module list, in order.
void WriteReportSections(ReportFile& file, CrashPlatform& platform, const CrashException& exception,
                         const CrashRegisters& regs, int64_t startTime, StackDumpState& state);

// Splits seconds since 1970-01-01 UTC into UTC calendar fields.
CalendarTime SplitUtcSeconds(int64_t seconds);

// Builds "folder of exePath" + fileName into out[capacity]: everything after the last backslash
// byte of exePath is replaced. A path without a backslash, an incomplete exePath (the system cut
// it), or a result that would not fit gives the bare fileName, relative to the current folder.
// Writes nothing outside out.
void BuildReportPath(const char* exePath, bool exePathComplete, const char* fileName, char* out, size_t capacity);

}  // namespace tarn
