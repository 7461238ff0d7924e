#include "crash/crash_platform_win32.h"

#include <cstddef>
#include <cstring>

#include "crash/read_guard_win32.h"
#include "base/text.h"

#if defined(__i386__)
// CaptureContext, cdecl with the record's address at 4(%esp). The caller's view right after the
// call: EIP is the return address, ESP the address above it, EBP and the other registers as the
// caller left them. The offsets are checked against CONTEXT below.
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl tarn_capture_context\n"
    "tarn_capture_context:\n"
    "    pushl %ecx\n"
    "    movl 8(%esp), %ecx\n"
    "    movl $0x10007, 0x00(%ecx)\n"  // CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS
    "    movl %edi, 0x9c(%ecx)\n"
    "    movl %esi, 0xa0(%ecx)\n"
    "    movl %ebx, 0xa4(%ecx)\n"
    "    movl %edx, 0xa8(%ecx)\n"
    "    movl %eax, 0xb0(%ecx)\n"
    "    movl %ebp, 0xb4(%ecx)\n"
    "    popl %eax\n"
    "    movl %eax, 0xac(%ecx)\n"
    "    movl (%esp), %eax\n"
    "    movl %eax, 0xb8(%ecx)\n"
    "    leal 4(%esp), %eax\n"
    "    movl %eax, 0xc4(%ecx)\n"
    "    pushfl\n"
    "    popl 0xc0(%ecx)\n"
    "    xorl %eax, %eax\n"
    "    movw %gs, %ax\n"
    "    movl %eax, 0x8c(%ecx)\n"
    "    movw %fs, %ax\n"
    "    movl %eax, 0x90(%ecx)\n"
    "    movw %es, %ax\n"
    "    movl %eax, 0x94(%ecx)\n"
    "    movw %ds, %ax\n"
    "    movl %eax, 0x98(%ecx)\n"
    "    movw %cs, %ax\n"
    "    movl %eax, 0xbc(%ecx)\n"
    "    movw %ss, %ax\n"
    "    movl %eax, 0xc8(%ecx)\n"
    "    ret\n");
static_assert(offsetof(CONTEXT, SegGs) == 0x8c && offsetof(CONTEXT, SegFs) == 0x90 &&
                  offsetof(CONTEXT, SegEs) == 0x94 && offsetof(CONTEXT, SegDs) == 0x98 &&
                  offsetof(CONTEXT, Edi) == 0x9c && offsetof(CONTEXT, Esi) == 0xa0 && offsetof(CONTEXT, Ebx) == 0xa4 &&
                  offsetof(CONTEXT, Edx) == 0xa8 && offsetof(CONTEXT, Ecx) == 0xac && offsetof(CONTEXT, Eax) == 0xb0 &&
                  offsetof(CONTEXT, Ebp) == 0xb4 && offsetof(CONTEXT, Eip) == 0xb8 &&
                  offsetof(CONTEXT, SegCs) == 0xbc && offsetof(CONTEXT, EFlags) == 0xc0 &&
                  offsetof(CONTEXT, Esp) == 0xc4 && offsetof(CONTEXT, SegSs) == 0xc8,
              "tarn_capture_context writes the x86 CONTEXT at these offsets");
static_assert(CONTEXT_CONTROL == 0x10001 && CONTEXT_INTEGER == 0x10002 && CONTEXT_SEGMENTS == 0x10004,
              "tarn_capture_context sets these context flags");
#endif

namespace tarn {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ull;

#if defined(_WIN64)
constexpr DWORD kWalkMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr DWORD kWalkMachine = IMAGE_FILE_MACHINE_I386;  // 0x14C
#endif

// The symbol record lives in a 600-byte buffer: the fixed part, then a name of up to 512 bytes.
constexpr size_t kSymbolBufferSize = 600;
constexpr DWORD kSymbolNameCapacity = 512;
static_assert(sizeof(SYMBOL_INFO) + kSymbolNameCapacity - 1 <= kSymbolBufferSize, "symbol record does not fit");
#if !defined(_WIN64)
// The records of the 32-bit product, as its report and walk expect them.
static_assert(sizeof(CONTEXT) == 716, "the x86 register context is 716 bytes");
static_assert(sizeof(IMAGEHLP_LINE64) == 24, "the source-line record is 24 bytes");
static_assert(sizeof(MEMORYSTATUS) == 32, "the memory status record is 32 bytes");
#endif

CalendarTime FromSystemTime(const SYSTEMTIME& t) {
    return CalendarTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

bool FitsPointer(uint64_t address, size_t size) {
    return address <= static_cast<uint64_t>(UINTPTR_MAX) - (size - 1);
}

}  // namespace

void Win32ReportFile::Write(const char* bytes, size_t length) {
    DWORD written = 0;
    ::WriteFile(file_, bytes, static_cast<DWORD>(length), &written, nullptr);
}

uint32_t Win32CrashPlatform::CurrentThreadId() {
    return threadId_;
}

CalendarTime Win32CrashPlatform::LocalTimeNow() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return FromSystemTime(now);
}

bool Win32CrashPlatform::LocalTimeFromSeconds(int64_t seconds, CalendarTime* out) {
    if (seconds < 0) return false;
    const uint64_t ticks = static_cast<uint64_t>(seconds) * kFileTimeTicksPerSecond + kUnixEpochAsFileTime;
    FILETIME utcFile;
    utcFile.dwLowDateTime = static_cast<DWORD>(ticks);
    utcFile.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME utc, local;
    if (!::FileTimeToSystemTime(&utcFile, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return false;
    *out = FromSystemTime(local);
    return true;
}

uint64_t Win32CrashPlatform::AllocationBase(uint64_t address) {
    if (!FitsPointer(address, 1)) return 0;
    MEMORY_BASIC_INFORMATION region;
    if (::VirtualQuery(reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), &region, sizeof(region)) == 0)
        return 0;
    return reinterpret_cast<uintptr_t>(region.AllocationBase);
}

size_t Win32CrashPlatform::ModuleFileName(uint64_t module, char* path, size_t capacity) {
    const DWORD n = ::GetModuleFileNameA(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(module)), path,
                                         static_cast<DWORD>(capacity));
    if (n == 0) {
        path[0] = '\0';
        return 0;
    }
    // A path that does not fit comes back cut and, on older systems, unterminated.
    if (n >= capacity) {
        path[capacity - 1] = '\0';
        return capacity - 1;
    }
    return n;
}

uint64_t Win32CrashPlatform::ExecutableModule() {
    return reinterpret_cast<uintptr_t>(::GetModuleHandleA(nullptr));
}

bool Win32CrashPlatform::UserName(char* name, size_t capacity) {
    DWORD size = static_cast<DWORD>(capacity);
    if (!::GetUserNameA(name, &size)) return false;
    name[capacity - 1] = '\0';
    return true;
}

void Win32CrashPlatform::ProcessorInfo(uint32_t* count, uint32_t* type) {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    *count = info.dwNumberOfProcessors;
    *type = info.dwProcessorType;
}

uint64_t Win32CrashPlatform::TotalPhysicalMemory() {
    MEMORYSTATUS status;
    std::memset(&status, 0, sizeof(status));
    status.dwLength = sizeof(status);
    ::GlobalMemoryStatus(&status);
    return status.dwTotalPhys;
}

// NT_TIB.StackBase, read straight from the thread information block (NtCurrentTeb's inline
// segment read trips a false bounds warning in this compiler).
uint64_t CurrentStackBase() {
    uintptr_t base = 0;
#if defined(__x86_64__)
    __asm__("movq %%gs:8, %0" : "=r"(base));
#else
    __asm__("movl %%fs:4, %0" : "=r"(base));
#endif
    return base;
}

uint64_t Win32CrashPlatform::StackBase() {
    return stackBase_;
}

bool Win32CrashPlatform::ReadByte(uint64_t address, uint8_t* value) {
    return FitsPointer(address, 1) && GuardedReadByte(static_cast<uintptr_t>(address), value);
}

bool Win32CrashPlatform::ReadWord(uint64_t address, uint32_t* value) {
    return FitsPointer(address, 4) && GuardedReadU32(static_cast<uintptr_t>(address), value);
}

bool Win32CrashPlatform::ReadPointer(uint64_t address, uint64_t* value) {
    uintptr_t word = 0;
    if (!FitsPointer(address, sizeof(word)) || !GuardedReadPointer(static_cast<uintptr_t>(address), &word))
        return false;
    *value = word;
    return true;
}

bool Win32CrashPlatform::IsWritable(uint64_t address, size_t length) {
    return FitsPointer(address, length) &&
           ::IsBadWritePtr(reinterpret_cast<LPVOID>(static_cast<uintptr_t>(address)), length) == 0;
}

bool Win32CrashPlatform::SymbolsInitialize() {
    return ::SymInitialize(::GetCurrentProcess(), nullptr, TRUE) != 0;
}

uint32_t Win32CrashPlatform::SymbolOptions() {
    return ::SymGetOptions();
}

void Win32CrashPlatform::SetSymbolOptions(uint32_t options) {
    ::SymSetOptions(options);
}

void Win32CrashPlatform::SymbolsCleanup() {
    ::SymCleanup(::GetCurrentProcess());
}

void Win32CrashPlatform::StackWalkStart(uint64_t pc, uint64_t frame, uint64_t stack) {
    std::memset(&frame_, 0, sizeof(frame_));
    frame_.AddrPC.Offset = static_cast<decltype(frame_.AddrPC.Offset)>(pc);
    frame_.AddrPC.Mode = AddrModeFlat;
    frame_.AddrFrame.Offset = static_cast<decltype(frame_.AddrFrame.Offset)>(frame);
    frame_.AddrFrame.Mode = AddrModeFlat;
    frame_.AddrStack.Offset = static_cast<decltype(frame_.AddrStack.Offset)>(stack);
    frame_.AddrStack.Mode = AddrModeFlat;
}

bool Win32CrashPlatform::StackWalkStep(WalkFrame* frame) {
    if (!::StackWalk(kWalkMachine, ::GetCurrentProcess(), thread_, &frame_, context_, nullptr, ::SymFunctionTableAccess,
                     ::SymGetModuleBase, nullptr))
        return false;
    frame->frameAddress = frame_.AddrFrame.Offset;
    frame->stackAddress = frame_.AddrStack.Offset;
    frame->pc = frame_.AddrPC.Offset;
    for (int i = 0; i < 4; ++i) frame->params[i] = frame_.Params[i];
    return true;
}

bool Win32CrashPlatform::SymbolFromAddress(uint64_t address, char* name, size_t capacity, uint64_t* displacement) {
    alignas(SYMBOL_INFO) char buffer[kSymbolBufferSize];
    std::memset(buffer, 0, sizeof(buffer));
    SYMBOL_INFO* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = kSymbolNameCapacity;
    DWORD64 offset = 0;
    if (!::SymFromAddr(::GetCurrentProcess(), address, &offset, symbol)) return false;
    buffer[sizeof(buffer) - 1] = '\0';
    CopyText(name, capacity, symbol->Name);
    *displacement = offset;
    return true;
}

void Win32CrashPlatform::UndecorateName(const char* decorated, char* out, size_t capacity) {
    out[0] = '\0';
    if (::UnDecorateSymbolName(decorated, out, static_cast<DWORD>(capacity), UNDNAME_COMPLETE) == 0) out[0] = '\0';
    out[capacity - 1] = '\0';
}

bool Win32CrashPlatform::LineFromAddress(uint64_t address, char* file, size_t capacity, uint32_t* line) {
    IMAGEHLP_LINE64 record;
    std::memset(&record, 0, sizeof(record));
    record.SizeOfStruct = sizeof(record);  // 24 in the 32-bit build
    DWORD displacement = 0;
    if (!::SymGetLineFromAddr64(::GetCurrentProcess(), address, &displacement, &record)) return false;
    CopyText(file, capacity, record.FileName != nullptr ? record.FileName : "");
    *line = record.LineNumber;
    return true;
}

CrashRegisters RegistersFromContext(const CONTEXT& c) {
    CrashRegisters r{};
#if defined(_WIN64)
    r.eax = c.Rax;
    r.ebx = c.Rbx;
    r.ecx = c.Rcx;
    r.edx = c.Rdx;
    r.esi = c.Rsi;
    r.edi = c.Rdi;
    r.ebp = c.Rbp;
    r.esp = c.Rsp;
    r.eip = c.Rip;
#else
    r.eax = c.Eax;
    r.ebx = c.Ebx;
    r.ecx = c.Ecx;
    r.edx = c.Edx;
    r.esi = c.Esi;
    r.edi = c.Edi;
    r.ebp = c.Ebp;
    r.esp = c.Esp;
    r.eip = c.Eip;
#endif
    r.eflags = c.EFlags;
    r.cs = c.SegCs;
    r.ss = c.SegSs;
    r.ds = c.SegDs;
    r.es = c.SegEs;
    r.fs = c.SegFs;
    r.gs = c.SegGs;
    return r;
}

CrashException ExceptionFromRecord(const EXCEPTION_RECORD& record) {
    CrashException e{};
    e.code = record.ExceptionCode;
    e.parameterCount = record.NumberParameters;
    for (DWORD i = 0; i < 2 && i < record.NumberParameters; ++i) e.parameters[i] = record.ExceptionInformation[i];
    return e;
}

int64_t CurrentUnixSeconds() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>((ticks - kUnixEpochAsFileTime) / kFileTimeTicksPerSecond);
}

}  // namespace tarn
