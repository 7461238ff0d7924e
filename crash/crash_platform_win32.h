#pragma once
// The crash report's view of the running Windows process: the platform queries, the guarded
// reads and the debug-help library, plus the translation of the platform's exception record and
// register context into the report's plain values.
#include "crash/crash_report.h"
#include "platform/win32.h"
// dbghelp.h needs <windows.h> first.
#include <dbghelp.h>

namespace tarn {

// The report file: each piece is one WriteFile, whose result is ignored.
class Win32ReportFile final : public ReportFile {
public:
    explicit Win32ReportFile(HANDLE file) : file_(file) {}
    void Write(const char* bytes, size_t length) override;

private:
    HANDLE file_;
};

// Upper end of the calling thread's stack, from its thread information block.
uint64_t CurrentStackBase();

// The symbolic walk's steps read and update *walkContext, the report's copy of the faulting
// thread's context. The report describes the thread given by threadId, thread and stackBase,
// which need not be the thread that writes it; by default, the calling thread.
class Win32CrashPlatform final : public CrashPlatform {
public:
    explicit Win32CrashPlatform(CONTEXT* walkContext)
        : Win32CrashPlatform(walkContext, ::GetCurrentThreadId(), ::GetCurrentThread(), CurrentStackBase()) {}
    Win32CrashPlatform(CONTEXT* walkContext, DWORD threadId, HANDLE thread, uint64_t stackBase)
        : context_(walkContext), threadId_(threadId), thread_(thread), stackBase_(stackBase) {}

    uint32_t CurrentThreadId() override;
    CalendarTime LocalTimeNow() override;
    bool LocalTimeFromSeconds(int64_t seconds, CalendarTime* out) override;
    uint64_t AllocationBase(uint64_t address) override;
    size_t ModuleFileName(uint64_t module, char* path, size_t capacity) override;
    uint64_t ExecutableModule() override;
    bool UserName(char* name, size_t capacity) override;
    void ProcessorInfo(uint32_t* count, uint32_t* type) override;
    uint64_t TotalPhysicalMemory() override;
    uint64_t StackBase() override;
    bool ReadByte(uint64_t address, uint8_t* value) override;
    bool ReadWord(uint64_t address, uint32_t* value) override;
    bool ReadPointer(uint64_t address, uint64_t* value) override;
    unsigned PointerSize() override { return sizeof(void*); }
    bool IsWritable(uint64_t address, size_t length) override;
    bool SymbolsInitialize() override;
    uint32_t SymbolOptions() override;
    void SetSymbolOptions(uint32_t options) override;
    void SymbolsCleanup() override;
    void StackWalkStart(uint64_t pc, uint64_t frame, uint64_t stack) override;
    bool StackWalkStep(WalkFrame* frame) override;
    bool SymbolFromAddress(uint64_t address, char* name, size_t capacity, uint64_t* displacement) override;
    void UndecorateName(const char* decorated, char* out, size_t capacity) override;
    bool LineFromAddress(uint64_t address, char* file, size_t capacity, uint32_t* line) override;

private:
    CONTEXT* context_;
    DWORD threadId_;
    HANDLE thread_;
    uint64_t stackBase_;
    STACKFRAME frame_{};  // STACKFRAME64 in the x86-64 build
};

// Fills *context with the registers of the function that calls it, as they stand right after the
// call: a walk from it starts in that function. The x86 RtlCaptureContext reads the frame-pointer
// chain instead and reports the caller's caller, so the 32-bit build has its own routine.
#if defined(_WIN64)
__attribute__((always_inline)) inline void CaptureContext(CONTEXT* context) {
    ::RtlCaptureContext(context);
}
#else
extern "C" void CaptureContext(CONTEXT* context) __asm__("tarn_capture_context");
#endif

// The report's register values from a context record. The x86-64 build maps RAX, RBX, RCX, RDX,
// RSI, RDI, RBP, RSP and RIP onto EAX..EIP (R8-R15 are not printed); flags and selectors are the
// same fields in both.
CrashRegisters RegistersFromContext(const CONTEXT& context);
CrashException ExceptionFromRecord(const EXCEPTION_RECORD& record);

// The reporter's unhandled-exception filter (crash_reporter_win32.cpp).
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info);

// MiniDumpWriteDump's signature; tests hand in their own writer.
using MiniDumpWriter = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                     PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// Replaces the file at path with a normal minidump of this process for the exception of thread
// threadId, written at the highest thread priority; the calling thread is left at normal
// priority. Nothing is reported when the file cannot be created or the dump fails.
void WriteMiniDumpFile(const char* path, EXCEPTION_POINTERS* info, DWORD threadId,
                       MiniDumpWriter write = &::MiniDumpWriteDump);

// Seconds since 1970-01-01 UTC now.
int64_t CurrentUnixSeconds();

}  // namespace tarn
