// Crashes on purpose with the updater's crash reporter installed, in the way the first argument
// chooses:
//   read-av, write-av, divide   the fault, three calls deep on the main thread
//   thread-av                   a read fault on a second thread
//   stack-overflow              a second thread whose code calls itself until its stack runs out
//   heap-locked                 a read fault while the thread holds the process heap's lock
//   cxx                         a C++ exception thrown out of main
//   not-reported                RaiseException 0xE0000001 (continuable)
//   switch-off                  SetReportingEnabled(0), then a read fault
//   second-thread               a continuable 0xE0000002 first, then a read fault on another thread
//   second-same-thread          the same, with the second fault on the main thread
//   chain                       a continuable 0xE0000002
//   filter-verdict              calls the installed top-level filter with a 0xE0000001 record and
//                               prints what it returns
//   after-removal               takes the runtime's filter away before the reporter is installed,
//                               so the reporter has no previous filter and its filter stays
//                               installed after removal; then raises 0xE0000002 during static
//                               destruction, after the reporter's removal
// Options: --verdict=N          what the probe's own filter returns for codes 0xEnnnnnnn
//                               (default -1, continue execution; others always get 1)
//          --no-previous        do not install the probe's filter before the reporter
//
// The probe's filter is installed during static initialisation before the reporter, so it is the
// reporter's previous filter; it prints one line and returns its verdict. Verdict 1 ends the
// process with the exception code as exit status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "crash/crash_platform_win32.h"
#include "crash/crash_reporter.h"
#include "platform/win32.h"

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER g_before = nullptr;
LONG g_softVerdict = EXCEPTION_CONTINUE_EXECUTION;
char g_folder[MAX_PATH];

bool HasOption(const char* option) {
    return std::strstr(::GetCommandLineA(), option) != nullptr;
}

bool FileExists(const char* name) {
    char path[MAX_PATH * 2];
    std::snprintf(path, sizeof(path), "%s%s", g_folder, name);
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

LONG WINAPI ProbePreviousFilter(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // The x86-64 runtime's C++ throw notices belong to the runtime's own filter.
    if ((code & 0x20FFFFFFu) == 0x20474343u) return g_before != nullptr ? g_before(info) : EXCEPTION_CONTINUE_SEARCH;
    const LONG verdict = (code & 0xF0000000u) == 0xE0000000u ? g_softVerdict : EXCEPTION_EXECUTE_HANDLER;
    std::printf("previous-filter code=%08lx thread=%lx report=%d dump=%d verdict=%ld\n", code, ::GetCurrentThreadId(),
                FileExists("Exception.txt"), FileExists("Exception.dmp"), verdict);
    std::fflush(stdout);
    return verdict;
}

bool IsAfterRemovalRun() {
    return HasOption(" after-removal");
}

// Constructed before and so destroyed after the reporter.
struct AfterRemovalFault {
    AfterRemovalFault() {
        if (IsAfterRemovalRun()) ::SetUnhandledExceptionFilter(nullptr);
    }
    ~AfterRemovalFault() {
        if (!IsAfterRemovalRun()) return;
        std::printf("raising after removal installed=%d\n", tarn::IsCrashReporterInstalled());
        std::fflush(stdout);
        ::RaiseException(0xE0000002u, 0, 0, nullptr);
        std::printf("continued\n");
        std::fflush(stdout);
    }
};
AfterRemovalFault g_afterRemovalFault __attribute__((init_priority(400)));

struct PreviousFilterInstaller {
    PreviousFilterInstaller() {
        const DWORD n = ::GetModuleFileNameA(nullptr, g_folder, sizeof(g_folder));
        if (n > 0 && n < sizeof(g_folder)) {
            char* slash = std::strrchr(g_folder, '\\');
            if (slash) slash[1] = '\0';
        }
        if (const char* v = std::strstr(::GetCommandLineA(), "--verdict=")) g_softVerdict = std::atol(v + 10);
        if (!HasOption("--no-previous") && !IsAfterRemovalRun())
            g_before = ::SetUnhandledExceptionFilter(ProbePreviousFilter);
    }
};
PreviousFilterInstaller g_previousInstaller __attribute__((init_priority(500)));

// An ordinary global, like the updater's application object.
struct OrdinaryGlobal {
    bool reporterInstalled = tarn::IsCrashReporterInstalled();
};
OrdinaryGlobal g_ordinary;

volatile int g_zero = 0;

__attribute__((noinline)) void Fault(const char* mode) {
    if (std::strcmp(mode, "write-av") == 0) {
        volatile char* page = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY));
        std::printf("address=%p\n", const_cast<char*>(page + 16));
        std::fflush(stdout);
        page[16] = 1;
    } else if (std::strcmp(mode, "divide") == 0) {
        std::printf("divide\n");
        std::fflush(stdout);
        std::printf("%d\n", 100 / g_zero);
    } else {
        volatile char* page = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
        std::printf("address=%p\n", const_cast<char*>(page + 32));
        std::fflush(stdout);
        std::printf("%d\n", page[32]);
    }
}

__attribute__((noinline)) void FaultLevel2(const char* mode) {
    Fault(mode);
    __asm__ volatile("" ::: "memory");
}

__attribute__((noinline)) void FaultLevel1(const char* mode) {
    FaultLevel2(mode);
    __asm__ volatile("" ::: "memory");
}

DWORD WINAPI FaultThread(LPVOID) {
    std::printf("fault-thread=%lx\n", ::GetCurrentThreadId());
    std::fflush(stdout);
    FaultLevel1("read-av");
    return 0;
}

// Each call keeps a frame of its own: the result is used after the call, so it is no tail call.
__attribute__((noinline)) int Recurse(int depth) {
    volatile char pad[64];
    pad[depth % 64] = static_cast<char>(depth);
    if (g_zero != 0) return depth;
    return Recurse(depth + 1) + pad[depth % 64];
}

DWORD WINAPI OverflowThread(LPVOID) {
    std::printf("overflow-thread=%lx\n", ::GetCurrentThreadId());
    std::fflush(stdout);
    return static_cast<DWORD>(Recurse(0));
}

int FaultOnThread(LPTHREAD_START_ROUTINE code = FaultThread) {
    HANDLE thread = ::CreateThread(nullptr, 0, code, nullptr, 0, nullptr);
    ::WaitForSingleObject(thread, 30000);
    ::CloseHandle(thread);
    std::printf("thread-ended\n");
    return 0;
}

void RaiseSoft(DWORD code) {
    std::printf("raise=%08lx\n", code);
    std::fflush(stdout);
    ::RaiseException(code, 0, 0, nullptr);
    std::printf("continued\n");
    std::fflush(stdout);
}

int FilterVerdict() {
    LPTOP_LEVEL_EXCEPTION_FILTER top = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(top);
    EXCEPTION_RECORD record;
    std::memset(&record, 0, sizeof(record));
    record.ExceptionCode = 0xE0000001u;
    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    ::RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers{&record, &context};
    const LONG verdict = top(&pointers);
    std::printf("top-is-reporter=%d verdict=%ld\n", top == tarn::CrashFilter, verdict);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("installed=%d before-globals=%d main-thread=%lx\n", tarn::IsCrashReporterInstalled(),
                g_ordinary.reporterInstalled, ::GetCurrentThreadId());
    std::fflush(stdout);
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "read-av") == 0 || std::strcmp(mode, "write-av") == 0 || std::strcmp(mode, "divide") == 0) {
        FaultLevel1(mode);
    } else if (std::strcmp(mode, "thread-av") == 0) {
        return FaultOnThread();
    } else if (std::strcmp(mode, "heap-locked") == 0) {
        ::HeapLock(::GetProcessHeap());
        FaultLevel1("read-av");
    } else if (std::strcmp(mode, "stack-overflow") == 0) {
        return FaultOnThread(OverflowThread);
    } else if (std::strcmp(mode, "cxx") == 0) {
        throw std::runtime_error("probe");
    } else if (std::strcmp(mode, "not-reported") == 0) {
        RaiseSoft(0xE0000001u);
    } else if (std::strcmp(mode, "switch-off") == 0) {
        tarn::SetReportingEnabled(0);
        FaultLevel1("read-av");
    } else if (std::strcmp(mode, "second-thread") == 0) {
        RaiseSoft(0xE0000002u);
        return FaultOnThread();
    } else if (std::strcmp(mode, "second-same-thread") == 0) {
        RaiseSoft(0xE0000002u);
        FaultLevel1("read-av");
    } else if (std::strcmp(mode, "chain") == 0) {
        RaiseSoft(0xE0000002u);
    } else if (std::strcmp(mode, "filter-verdict") == 0) {
        return FilterVerdict();
    } else if (std::strcmp(mode, "after-removal") == 0) {
        return 0;
    } else {
        std::fprintf(stderr, "unknown mode '%s'\n", mode);
        return 2;
    }
    std::printf("returned\n");
    return 0;
}
