// Capture: the unhandled-exception filter, the report file and the minidump. Everything that
// runs at crash time uses fixed buffers and never throws.
#include <cstdlib>
#include <cstring>
#include <exception>

#include "crash/crash_platform_win32.h"
#include "crash/crash_reporter.h"
#include "crash/read_guard_win32.h"
#include "crash/report_hand_over_win32.h"
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
constexpr DWORD kReporterStartWaitMs = 5000;
constexpr DWORD kReporterStopWaitMs = 5000;
// Stack that writing a report takes on the thread that writes it (about 20 KB were measured under
// Wine), with room to spare.
constexpr uintptr_t kReportStackNeed = 128 * 1024;
// How long a faulting thread waits for the reporter thread: only a lock that the faulting thread
// holds and the reporter needs makes it wait that long.
constexpr DWORD kHandOverWaitMs = 60000;

// A report to write: the exception as the filter received it, and the thread it happened on.
struct ReportRequest {
    EXCEPTION_POINTERS* info;
    DWORD threadId;
    uint64_t stackBase;
};

// The reporter thread writes the report of a thread whose stack is used up, as after a stack
// overflow: the faulting thread hands its request over and waits, holding the lock, until the
// report and the minidump are complete.
struct ReporterThread {
    HANDLE thread = nullptr;
    DWORD id = 0;
    ReportHandOver handOver;
    volatile LONG stop = 0;
    ReportRequest request{};
} g_reporter;

bool ReadFlag(volatile LONG* flag) {
    return ::InterlockedCompareExchange(flag, 0, 0) != 0;
}

// The report describes the faulting thread, whichever thread writes it.
void WriteReport(const ReportRequest& request) {
    UniqueFileHandle file(::CreateFileA(g_reportPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                        FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        ::OutputDebugStringA("Error creating exception report");
        return;
    }
    // Reports of earlier runs stay; this one follows them.
    ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
    // The walk updates the copy; the exception information goes to the minidump as delivered.
    std::memcpy(&g_contextCopy, request.info->ContextRecord, sizeof(g_contextCopy));
    // The stack walk asks the faulting thread's handle for the thread's information.
    UniqueKernelHandle opened;
    if (request.threadId != ::GetCurrentThreadId())
        opened.reset(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, request.threadId));
    Win32ReportFile report(file.get());
    Win32CrashPlatform platform(&g_contextCopy, request.threadId, opened ? opened.get() : ::GetCurrentThread(),
                                request.stackBase);
    WriteReportSections(report, platform, ExceptionFromRecord(*request.info->ExceptionRecord),
                        RegistersFromContext(g_contextCopy), g_startTime, g_dumpState);
    file.reset();
    WriteMiniDumpFile(g_dumpPath, request.info, request.threadId);
}

DWORD WINAPI ReporterThreadMain(LPVOID) {
    g_reporter.handOver.SignalStarted();
    for (;;) {
        g_reporter.handOver.WaitRequest();
        if (ReadFlag(&g_reporter.stop)) return 0;
        WriteReport(g_reporter.request);
        g_reporter.handOver.SignalDone();
    }
}

void StartReporterThread() {
    if (g_reporter.handOver.Create())
        g_reporter.thread = ::CreateThread(nullptr, 0, ReporterThreadMain, nullptr, 0, &g_reporter.id);
    if (g_reporter.thread != nullptr) {
        // A thread that is starting holds the loader's lock and takes the heap's. Once started it
        // holds nothing, so a fault while the program holds either lock cannot wait on it.
        g_reporter.handOver.WaitStarted(kReporterStartWaitMs);
        return;
    }
    g_reporter.handOver.Close();
}

// Its handles are closed only once it has ended, so that it never waits on a closed handle.
void StopReporterThread() {
    if (g_reporter.thread == nullptr) return;
    ::InterlockedExchange(&g_reporter.stop, 1);
    g_reporter.handOver.Request();
    if (::WaitForSingleObject(g_reporter.thread, kReporterStopWaitMs) != WAIT_OBJECT_0) return;
    ::CloseHandle(g_reporter.thread);
    g_reporter.handOver.Close();
    g_reporter.thread = nullptr;
}

// Whether the calling thread has kReportStackNeed bytes of stack left below this frame.
bool HasStackForReport() {
    MEMORY_BASIC_INFORMATION stack;
    const char* here = reinterpret_cast<const char*>(&stack);
    if (::VirtualQuery(here, &stack, sizeof(stack)) == 0) return false;
    return static_cast<uintptr_t>(here - static_cast<const char*>(stack.AllocationBase)) >= kReportStackNeed;
}

// On the faulting thread, under the lock. A thread with stack enough writes its report itself,
// so that a lock it holds (the heap's, the loader's) cannot hold the report up; a thread without
// hands the report over, and from then on needs only the stack of a few calls.
void WriteReportFor(EXCEPTION_POINTERS* info) {
    const ReportRequest request{info, ::GetCurrentThreadId(), CurrentStackBase()};
    if (g_reporter.thread == nullptr || HasStackForReport()) {
        WriteReport(request);
        return;
    }
    g_reporter.request = request;
    g_reporter.handOver.Request();
    g_reporter.handOver.WaitDone(g_reporter.thread, kHandOverWaitMs);
}

// At most one report per process. A second thread waits here until the first report and its
// minidump are complete; a fault on the thread that writes the report re-enters the recursive
// lock and finds the flag set. A fault on the reporter thread while it writes only chains: the
// thread it writes for holds the lock and waits for it.
void ReportOnce(EXCEPTION_POINTERS* info) {
    if (g_reporter.thread != nullptr && ::GetCurrentThreadId() == g_reporter.id) return;
    ::InterlockedIncrement(&g_lockUsers);
    if (ReadFlag(&g_installed)) {
        ::EnterCriticalSection(&g_lock);
        if (g_reported == 0) {
            g_reported = 1;
            WriteReportFor(info);
        }
        ::LeaveCriticalSection(&g_lock);
    }
    ::InterlockedDecrement(&g_lockUsers);
}

#if defined(_WIN64)
// The x86-64 exception dispatch needs more stack than a stack overflow leaves the thread: under
// Wine it dies on its way up the frames, before the unhandled-exception filter is called. So this
// build reports a stack overflow as soon as it is raised, from a vectored handler, which the
// dispatch calls first; should the exception reach the filter after all, the filter finds the
// reported flag set and only chains.
PVOID g_overflowHandler = nullptr;

LONG CALLBACK ReportStackOverflow(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW && ReadFlag(&g_reportingEnabled))
        ReportOnce(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallOverflowHandler() {
    g_overflowHandler = ::AddVectoredExceptionHandler(0, ReportStackOverflow);
}

void RemoveOverflowHandler() {
    if (g_overflowHandler != nullptr) ::RemoveVectoredExceptionHandler(g_overflowHandler);
    g_overflowHandler = nullptr;
}
#else
void InstallOverflowHandler() {}
void RemoveOverflowHandler() {}
#endif

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

void WriteMiniDumpFile(const char* path, EXCEPTION_POINTERS* info, DWORD threadId, MiniDumpWriter write) {
    UniqueFileHandle file(::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    HANDLE thread = ::GetCurrentThread();
    ::SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST);
    MINIDUMP_EXCEPTION_INFORMATION exception;
    exception.ThreadId = threadId;
    exception.ExceptionPointers = info;
    exception.ClientPointers = TRUE;
    write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpNormal, &exception, nullptr, nullptr);
    ::SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);
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
    StartReporterThread();
    ::InterlockedExchange(&g_installed, 1);
    InstallOverflowHandler();
    g_previousTerminate = std::set_terminate(ReportUncaughtCxxException);
    g_previousFilter = ::SetUnhandledExceptionFilter(CrashFilter);
}

// The filter itself may stay installed (when there was no previous filter to put back), so the
// lock is deleted only once no filter call can still reach it: g_installed turns every later call
// into chaining alone, and calls already past that test are waited for.
CrashReporter::~CrashReporter() {
    ::InterlockedExchange(&g_installed, 0);
    RemoveOverflowHandler();
    if (g_previousFilter != nullptr) ::SetUnhandledExceptionFilter(g_previousFilter);
    if (std::get_terminate() == ReportUncaughtCxxException) std::set_terminate(g_previousTerminate);
    for (int i = 0; i < kRemovalWaitSteps && ReadFlag(&g_lockUsers); ++i) ::Sleep(kRemovalWaitStepMs);
    if (ReadFlag(&g_lockUsers)) return;
    StopReporterThread();
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
