// The crash reporter's Windows layer in the running process: guarded reads against real
// unreadable memory, the platform queries, and a whole report written through the real platform.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crash/crash_platform_win32.h"
#include "crash/crash_reporter.h"
#include "crash/read_guard_win32.h"
#include "crash/report_hand_over_win32.h"
#include "platform/unique_handle.h"
#include "crash_fake_platform.h"
#include "test_support.h"

namespace tarn {
namespace {

// An ordinary global, constructed like the updater's application object.
const bool g_installedBeforeOrdinaryGlobals = IsCrashReporterInstalled();

TEST(CrashReporterInstall, InstalledBeforeOrdinaryGlobalsAsTheTopFilter) {
    EXPECT_TRUE(g_installedBeforeOrdinaryGlobals);
    EXPECT_TRUE(IsCrashReporterInstalled());
    LPTOP_LEVEL_EXCEPTION_FILTER top = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(top);
    EXPECT_EQ(top, &CrashFilter);
}

// Pages to read from: one readable, one that is not.
struct GuardedPages : ::testing::Test {
    char* pages = nullptr;
    void SetUp() override {
        InstallReadGuard();
        pages = static_cast<char*>(::VirtualAlloc(nullptr, 2 * 4096, MEM_COMMIT, PAGE_READWRITE));
        ASSERT_NE(pages, nullptr);
        std::memset(pages, 0x5A, 4096);
        std::memcpy(pages + 4096 - 8, "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
        DWORD old = 0;
        ASSERT_TRUE(::VirtualProtect(pages + 4096, 4096, PAGE_NOACCESS, &old));
    }
    void TearDown() override { ::VirtualFree(pages, 0, MEM_RELEASE); }
    uintptr_t At(size_t offset) const { return reinterpret_cast<uintptr_t>(pages) + offset; }
};

TEST_F(GuardedPages, ReadableMemoryReadsItsValues) {
    uint8_t b = 0;
    uint32_t w = 0;
    uintptr_t p = 0;
    ASSERT_TRUE(GuardedReadByte(At(4095), &b));
    EXPECT_EQ(b, 0x88);
    ASSERT_TRUE(GuardedReadU32(At(4096 - 8), &w));
    EXPECT_EQ(w, 0x44332211u);
    ASSERT_TRUE(GuardedReadPointer(At(4096 - sizeof(uintptr_t)), &p));
    const uintptr_t expected = sizeof(uintptr_t) == 8 ? static_cast<uintptr_t>(0x8877665544332211ull) : 0x88776655u;
    EXPECT_EQ(p, expected);
}

TEST_F(GuardedPages, UnreadableMemoryFailsInsteadOfFaulting) {
    uint8_t b = 0xEE;
    uint32_t w = 0xEEEEEEEE;
    uintptr_t p = 0;
    EXPECT_FALSE(GuardedReadByte(At(4096), &b));
    EXPECT_EQ(b, 0xEE) << "a failed read leaves the output alone";
    EXPECT_FALSE(GuardedReadU32(At(4096 + 100), &w));
    EXPECT_FALSE(GuardedReadPointer(At(8191 - 7), &p));
    // Straddling the end of the readable page.
    EXPECT_FALSE(GuardedReadU32(At(4094), &w));
    EXPECT_EQ(w, 0xEEEEEEEEu);
    EXPECT_FALSE(GuardedReadByte(0, &b));
    EXPECT_FALSE(GuardedReadU32(16, &w));
    // The reads keep working after faults.
    EXPECT_TRUE(GuardedReadByte(At(0), &b));
    EXPECT_EQ(b, 0x5A);
}

TEST_F(GuardedPages, FreedAndGuardPagesFail) {
    char* freed = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(freed, nullptr);
    ::VirtualFree(freed, 0, MEM_RELEASE);
    uint8_t b = 0;
    EXPECT_FALSE(GuardedReadByte(reinterpret_cast<uintptr_t>(freed), &b));

    char* guarded = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD));
    ASSERT_NE(guarded, nullptr);
    EXPECT_FALSE(GuardedReadByte(reinterpret_cast<uintptr_t>(guarded), &b));
    ::VirtualFree(guarded, 0, MEM_RELEASE);
}

// The vectored handler must leave every other exception to its own handlers.
LONG CALLBACK ContinueTestException(EXCEPTION_POINTERS* info) {
    return info->ExceptionRecord->ExceptionCode == 0xE0001234u ? EXCEPTION_CONTINUE_EXECUTION
                                                               : EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(GuardedPages, OtherExceptionsPassTheGuardUntouched) {
    PVOID handler = ::AddVectoredExceptionHandler(0, ContinueTestException);
    ::RaiseException(0xE0001234u, 0, 0, nullptr);  // returns only if the test handler saw it
    ::RemoveVectoredExceptionHandler(handler);
    uint8_t b = 0;
    EXPECT_FALSE(GuardedReadByte(At(4096), &b));
}

// ---- The platform queries --------------------------------------------------------------------

__attribute__((noinline)) void CodeInThisExecutable() {
    __asm__ volatile("");
}

TEST(CrashWin32Platform, ModulesAndRegions) {
    CONTEXT context;
    Win32CrashPlatform platform(&context);
    char expected[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameA(nullptr, expected, sizeof(expected)), 0u);
    char path[kReportPathSize];
    EXPECT_EQ(platform.ModuleFileName(0, path, sizeof(path)), std::strlen(expected));
    EXPECT_STREQ(path, expected);

    const uint64_t exe = platform.ExecutableModule();
    EXPECT_EQ(exe, reinterpret_cast<uintptr_t>(::GetModuleHandleA(nullptr)));
    EXPECT_EQ(platform.AllocationBase(reinterpret_cast<uintptr_t>(&CodeInThisExecutable)), exe);
    // Nothing is allocated at address 0: no module, not the executable.
    EXPECT_EQ(platform.AllocationBase(0), 0u);

    char small[8];
    EXPECT_EQ(platform.ModuleFileName(0, small, sizeof(small)), 7u);
    EXPECT_EQ(std::strlen(small), 7u);
}

TEST(CrashWin32Platform, StackBaseLiesAboveThisFrame) {
    CONTEXT context;
    Win32CrashPlatform platform(&context);
    int local = 0;
    const uint64_t here = reinterpret_cast<uintptr_t>(&local);
    const uint64_t base = platform.StackBase();
    EXPECT_GT(base, here);
    EXPECT_LT(base - here, 64u << 20);
    EXPECT_TRUE(platform.IsWritable(here, 8));
    EXPECT_FALSE(platform.IsWritable(platform.ExecutableModule(), 8));
}

TEST(CrashWin32Platform, ExecutableModuleLineHasItsLinkTime) {
    CONTEXT context;
    Win32CrashPlatform platform(&context);
    test::RecordingReportFile file;
    WriteModuleLine(file, platform, platform.ExecutableModule());
    ASSERT_EQ(file.pieces.size(), 1u);
    char exe[MAX_PATH];
    ::GetModuleFileNameA(nullptr, exe, sizeof(exe));
    EXPECT_EQ(file.pieces[0].rfind(std::string(exe) + ", loaded at 0x", 0), 0u) << file.pieces[0];
    EXPECT_EQ(file.pieces[0].substr(file.pieces[0].size() - 6), "(KR)\r\n");
}

TEST(CrashWin32Platform, LocalTimeOfNowIsToday) {
    CONTEXT context;
    Win32CrashPlatform platform(&context);
    CalendarTime start{};
    ASSERT_TRUE(platform.LocalTimeFromSeconds(CurrentUnixSeconds(), &start));
    const CalendarTime now = platform.LocalTimeNow();
    EXPECT_EQ(start.year, now.year);
    EXPECT_EQ(start.month, now.month);
    EXPECT_FALSE(platform.LocalTimeFromSeconds(-1, &start));
}

// ---- A whole report through the real platform -------------------------------------------------

struct CapturedReport {
    std::string text;
    CrashRegisters regs;
};

__attribute__((noinline)) void WriteReportFromHere(CapturedReport* out, bool framePointersOnly) {
    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    CaptureContext(&context);
    out->regs = RegistersFromContext(context);
    test::RecordingReportFile file;
    Win32CrashPlatform platform(&context);
    StackDumpState state{0, 0};
    const CrashException exception{0xE06D7363u, 0, {0, 0}};
    if (framePointersOnly) {
        state.cursor = out->regs.esp & ~uint64_t(31);
        state.limit = platform.StackBase() & ~uint64_t(31);
        WalkStackFramePointers(file, platform, out->regs, state);
    } else {
        WriteReportSections(file, platform, exception, out->regs, CurrentUnixSeconds(), state);
    }
    out->text = file.Text();
}

__attribute__((noinline)) void CallerOfTheReport(CapturedReport* out, bool framePointersOnly) {
    WriteReportFromHere(out, framePointersOnly);
    __asm__ volatile("" ::: "memory");
}

TEST(CrashWin32Report, EverySectionFromTheRunningThread) {
    InstallReadGuard();
    CapturedReport report;
    CallerOfTheReport(&report, false);
    const std::string& text = report.text;
    char header[64];
    std::snprintf(header, sizeof(header), "[%lx ", ::GetCurrentThreadId());
    EXPECT_EQ(text.rfind(header, 0), 0u);
    EXPECT_NE(text.find("a Microsoft C++ Exception in module "), std::string::npos);
    EXPECT_NE(text.find("\r\nRegisters:\r\nEAX="), std::string::npos);
    EXPECT_NE(text.find("\r\nStack dump:\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Exception encountered during stack dump"), std::string::npos);
    const bool symbolic = text.find("\r\nCall Stack Information:\r\n") != std::string::npos;
    const bool intel = text.find("\r\nIntel Call Stack Information:\r\n") != std::string::npos;
    EXPECT_TRUE(symbolic != intel);
    if (symbolic) {
        // Wine's debug-help library reads the DWARF names of this build.
        EXPECT_NE(text.find("WriteReportFromHere"), std::string::npos);
        EXPECT_NE(text.find("CallerOfTheReport"), std::string::npos);
        EXPECT_NE(text.find(" main +"), std::string::npos);
    }
    EXPECT_NE(text.find("\r\nModule list:\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 6), "(KR)\r\n");
}

TEST(CrashWin32Report, FramePointerWalkEndsSafelyOnAnyChain) {
    InstallReadGuard();
    CapturedReport report;
    CallerOfTheReport(&report, true);
    EXPECT_EQ(report.text.rfind("Intel Call Stack Information:\r\n", 0), 0u);
    EXPECT_NE(report.text.find("Bytes at CS:EIP: "), std::string::npos);

    // A frame pointer into unreadable memory: one frame, no fault.
    char* page = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    CONTEXT context;
    Win32CrashPlatform platform(&context);
    test::RecordingReportFile file;
    StackDumpState state{0, ~uint64_t(0)};
    CrashRegisters regs = report.regs;
    regs.ebp = reinterpret_cast<uintptr_t>(page) + 64;
    WalkStackFramePointers(file, platform, regs, state);
    ::VirtualFree(page, 0, MEM_RELEASE);
    const std::string text = file.Text();
    EXPECT_NE(text.find("Exception encountered during stack dump\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Bytes at CS:EIP: "), text.rfind("Bytes at CS:EIP: ")) << "more than one frame";
}

TEST(CrashWin32Report, RegistersComeFromTheContextUnchanged) {
    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
#if defined(_WIN64)
    context.Rax = 0x1111111111111111ull;
    context.Rbp = 0x00000000002ffe40ull;
    context.Rsp = 0x00000000002ffe00ull;
    context.Rip = 0x0000000140001234ull;
#else
    context.Eax = 0x11111111u;
    context.Ebp = 0x002ffe40u;
    context.Esp = 0x002ffe00u;
    context.Eip = 0x00401234u;
#endif
    context.EFlags = 0x246;
    context.SegCs = 0x1b;
    context.SegFs = 0x3b;
    const CrashRegisters r = RegistersFromContext(context);
    EXPECT_EQ(r.ebp, 0x002ffe40u);
    EXPECT_EQ(r.esp, 0x002ffe00u);
    EXPECT_EQ(r.eax & 0xFFFFFFFFu, 0x11111111u);
    EXPECT_EQ(r.eip & 0xFFFF, 0x1234u);
    EXPECT_EQ(r.eflags, 0x246u);
    EXPECT_EQ(r.cs, 0x1bu);
    EXPECT_EQ(r.fs, 0x3bu);

    EXCEPTION_RECORD record;
    std::memset(&record, 0, sizeof(record));
    record.ExceptionCode = 0xC0000005u;
    record.NumberParameters = 1;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0xDEAD;
    const CrashException e = ExceptionFromRecord(record);
    EXPECT_EQ(e.code, 0xC0000005u);
    EXPECT_EQ(e.parameterCount, 1u);
    EXPECT_EQ(e.parameters[0], 1u);
    EXPECT_EQ(e.parameters[1], 0u) << "parameters beyond the count are not taken";
}

// A reporter thread whose start comes late: after the installation stopped waiting for it, and
// after the faulting thread handed its request over.
struct LateReporter {
    ReportHandOver handOver;
    volatile LONG written = 0;
};

DWORD WINAPI LateReporterMain(LPVOID arg) {
    LateReporter& r = *static_cast<LateReporter*>(arg);
    r.handOver.WaitRequest();
    r.handOver.SignalStarted();
    ::Sleep(200);
    ::InterlockedExchange(&r.written, 1);
    r.handOver.SignalDone();
    return 0;
}

TEST(CrashHandOver, ALateStartNeverPassesForAFinishedReport) {
    LateReporter reporter;
    ASSERT_TRUE(reporter.handOver.Create());
    EXPECT_FALSE(reporter.handOver.WaitStarted(10));
    UniqueKernelHandle thread(::CreateThread(nullptr, 0, LateReporterMain, &reporter, 0, nullptr));
    ASSERT_TRUE(thread);
    reporter.handOver.Request();
    EXPECT_TRUE(reporter.handOver.WaitDone(thread.get(), 5000));
    EXPECT_EQ(reporter.written, 1) << "the wait ended before the report was complete";
    ::WaitForSingleObject(thread.get(), INFINITE);
    reporter.handOver.Close();
}

// What the minidump writer was handed, and the thread's priority while it ran.
struct DumpCall {
    int priority;
    HANDLE process;
    DWORD processId;
    MINIDUMP_TYPE type;
    MINIDUMP_EXCEPTION_INFORMATION exception;
    bool extras;
} g_dumpCall;

// A dump that fails half-way: some bytes, then failure.
BOOL WINAPI HalfWayDump(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                        PMINIDUMP_EXCEPTION_INFORMATION exception, PMINIDUMP_USER_STREAM_INFORMATION streams,
                        PMINIDUMP_CALLBACK_INFORMATION callback) {
    g_dumpCall = {::GetThreadPriority(::GetCurrentThread()), process, processId, type, *exception,
                  streams != nullptr || callback != nullptr};
    DWORD written = 0;
    ::WriteFile(file, "MDMP cut", 8, &written, nullptr);
    return FALSE;
}

TEST(CrashWin32Dump, NormalDumpAtHighestPriorityReplacesTheOldOneEvenWhenItFails) {
    test::TempFolder dir;
    dir.WriteFile("Exception.dmp", std::string(4096, 'o'));
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{&record, &context};
    ASSERT_TRUE(::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL));
    WriteMiniDumpFile(dir.Join("Exception.dmp").c_str(), &pointers, 4321, &HalfWayDump);
    EXPECT_EQ(g_dumpCall.priority, THREAD_PRIORITY_HIGHEST);
    EXPECT_EQ(::GetThreadPriority(::GetCurrentThread()), THREAD_PRIORITY_NORMAL) << "normal, not the one before";
    EXPECT_EQ(g_dumpCall.process, ::GetCurrentProcess());
    EXPECT_EQ(g_dumpCall.processId, ::GetCurrentProcessId());
    EXPECT_EQ(g_dumpCall.type, MiniDumpNormal);
    EXPECT_EQ(g_dumpCall.exception.ThreadId, 4321u);
    EXPECT_EQ(g_dumpCall.exception.ExceptionPointers, &pointers);
    EXPECT_TRUE(g_dumpCall.exception.ClientPointers);
    EXPECT_FALSE(g_dumpCall.extras) << "no user streams, no callback";
    EXPECT_EQ(dir.Read("Exception.dmp"), "MDMP cut");
}

}  // namespace
}  // namespace tarn
#endif  // _WIN32
