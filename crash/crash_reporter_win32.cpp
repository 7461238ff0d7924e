// Capture: the unhandled-exception filter, the report file and the minidump. Everything that
// runs at crash time uses fixed buffers and never throws.
#include <cstdlib>
#include <cstring>
#include <exception>

#include "crash/crash_platform_win32.h"
#include "crash/crash_reporter.h"
#include "crash/read_guard_win32.h"
#include "platform/unique_handle.h"

namespace tarn {
namespace {

// Process-wide state; the report path below runs only while holding g_lock.
volatile LONG g_reportingEnabled = 1;
LONG g_reported = 0;
volatile LONG g_installed = 0;
// Filter calls that may still enter the lock; removal waits for them before deleting it.
volatile LONG g_lockUsers = 0;
CRITICAL_SECTION g_lock;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
std::terminate_handler g_previousTerminate = nullptr;
char g_reportPath[kReportPathSize];
char g_dumpPath[kReportPathSize];
int64_t g_startTime = 0;
StackDumpState g_dumpState;
CONTEXT g_contextCopy;

// How long removal waits for a report still being written on another thread before it leaves
// the lock undeleted rather than delete it under that thread.
constexpr int kRemovalWaitSteps = 500;
constexpr DWORD kRemovalWaitStepMs = 10;

bool ReadFlag(volatile LONG* flag) {
    return ::InterlockedCompareExchange(flag, 0, 0) != 0;
}

void WriteMiniDump(EXCEPTION_POINTERS* info) {
    UniqueFileHandle file(::CreateFileA(g_dumpPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    HANDLE thread = ::GetCurrentThread();
    ::SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST);
    MINIDUMP_EXCEPTION_INFORMATION exception;
    exception.ThreadId = ::GetCurrentThreadId();
    exception.ExceptionPointers = info;
    exception.ClientPointers = TRUE;
    ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpNormal, &exception, nullptr,
                        nullptr);
    ::SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);
}

void WriteReport(EXCEPTION_POINTERS* info) {
    UniqueFileHandle file(::CreateFileA(g_reportPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                        FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        ::OutputDebugStringA("Error creating exception report");
        return;
    }
    // Reports of earlier runs stay; this one follows them.
    ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
    // The walk updates the copy; the exception information goes to the minidump as delivered.
    std::memcpy(&g_contextCopy, info->ContextRecord, sizeof(g_contextCopy));
    Win32ReportFile report(file.get());
    Win32CrashPlatform platform(&g_contextCopy);
    WriteReportSections(report, platform, ExceptionFromRecord(*info->ExceptionRecord),
                        RegistersFromContext(g_contextCopy), g_startTime, g_dumpState);
    file.reset();
    WriteMiniDump(info);
}

// At most one report per process. A second thread waits here until the first report and its
// minidump are complete; a fault on the reporting thread re-enters the recursive lock and finds
// the flag set.
void ReportOnce(EXCEPTION_POINTERS* info) {
    ::InterlockedIncrement(&g_lockUsers);
    if (ReadFlag(&g_installed)) {
        ::EnterCriticalSection(&g_lock);
        if (g_reported == 0) {
            g_reported = 1;
            WriteReport(info);
        }
        ::LeaveCriticalSection(&g_lock);
    }
    ::InterlockedDecrement(&g_lockUsers);
}

#if defined(__SEH__)
// The x86-64 runtime raises its C++ throws as SEH exceptions of this family and continues them
// when no handler is found, after which std::terminate reports them; they are not crashes.
bool IsRuntimeThrowNotice(const EXCEPTION_RECORD& record) {
    constexpr DWORD kGccMagic = 0x20474343u;
    return (record.ExceptionCode & 0x20FFFFFFu) == kGccMagic && (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
}
#else
bool IsRuntimeThrowNotice(const EXCEPTION_RECORD&) {
    return false;
}
#endif

// An uncaught C++ exception never reaches the unhandled-exception filter with this runtime: it
// ends in std::terminate. It is reported from here as the platform's C++ exception code, with the
// registers of this point, whose call stack still holds the throwing frames; then the runtime's
// terminate handling goes on as without the reporter.
[[noreturn]] void ReportUncaughtCxxException() {
    if (ReadFlag(&g_reportingEnabled)) {
        CONTEXT context;
        std::memset(&context, 0, sizeof(context));
        CaptureContext(&context);
        EXCEPTION_RECORD record;
        std::memset(&record, 0, sizeof(record));
        record.ExceptionCode = kCodeCxxException;
        record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#if defined(_WIN64)
        record.ExceptionAddress = reinterpret_cast<PVOID>(context.Rip);
#else
        record.ExceptionAddress = reinterpret_cast<PVOID>(context.Eip);
#endif
        EXCEPTION_POINTERS pointers{&record, &context};
        ReportOnce(&pointers);
    }
    if (g_previousTerminate != nullptr) g_previousTerminate();
    std::abort();
}

}  // namespace

// The process's unhandled-exception filter, on the faulting thread. The exception's fate is the
// previous filter's verdict; the reporter never decides it.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (ReadFlag(&g_reportingEnabled) && record.ExceptionCode != kCodeNotReported && !IsRuntimeThrowNotice(record))
        ReportOnce(info);
    if (g_previousFilter != nullptr) return g_previousFilter(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

CrashReporter::CrashReporter() {
    ::InitializeCriticalSection(&g_lock);
    char exePath[kReportPathSize] = "";
    const DWORD length = ::GetModuleFileNameA(nullptr, exePath, sizeof(exePath));
    exePath[sizeof(exePath) - 1] = '\0';
    const bool complete = length > 0 && length < sizeof(exePath);
    BuildReportPath(exePath, complete, "Exception.txt", g_reportPath, sizeof(g_reportPath));
    BuildReportPath(exePath, complete, "Exception.dmp", g_dumpPath, sizeof(g_dumpPath));
    g_startTime = CurrentUnixSeconds();
    InstallReadGuard();
    ::InterlockedExchange(&g_installed, 1);
    g_previousTerminate = std::set_terminate(ReportUncaughtCxxException);
    g_previousFilter = ::SetUnhandledExceptionFilter(CrashFilter);
}

// The filter itself may stay installed (when there was no previous filter to put back), so the
// lock is deleted only once no filter call can still reach it: g_installed turns every later call
// into chaining alone, and calls already past that test are waited for.
CrashReporter::~CrashReporter() {
    ::InterlockedExchange(&g_installed, 0);
    if (g_previousFilter != nullptr) ::SetUnhandledExceptionFilter(g_previousFilter);
    if (std::get_terminate() == ReportUncaughtCxxException) std::set_terminate(g_previousTerminate);
    for (int i = 0; i < kRemovalWaitSteps && ReadFlag(&g_lockUsers); ++i) ::Sleep(kRemovalWaitStepMs);
    if (ReadFlag(&g_lockUsers)) return;
    ::DeleteCriticalSection(&g_lock);
    RemoveReadGuard();
}

namespace {
// Constructed before every ordinary global of the program, the application object included.
CrashReporter g_crashReporter __attribute__((init_priority(kCrashReporterInitPriority)));
}  // namespace

void SetReportingEnabled(long value) {
    ::InterlockedExchange(&g_reportingEnabled, value);
}

bool IsCrashReporterInstalled() {
    return ReadFlag(&g_installed);
}

}  // namespace tarn
