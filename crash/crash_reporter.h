#pragma once
// The process-wide crash reporter. Linking tarn_crash and calling SetReportingEnabled installs it:
// its one static instance lives in the same translation unit and is constructed during static
// initialisation ahead of every ordinary global of the program (init priority
// kCrashReporterInitPriority), so it is in place before the application object is constructed,
// and removed after the application object is destroyed.
//
// The first unhandled exception of the process, on any thread, appends a report to
// "Exception.txt" and writes "Exception.dmp" beside the executable, then goes on to the filter
// that was installed before the reporter. An uncaught C++ exception (std::terminate) is reported
// as code 0xE06D7363 before the runtime's own terminate handling goes on.

namespace tarn {

// Globals with a lower number are constructed earlier; ordinary globals come after every
// prioritised one. Lower values stay free for code that must install itself before the reporter.
constexpr int kCrashReporterInitPriority = 1000;

class CrashReporter {
public:
    CrashReporter();   // installs the reporter
    ~CrashReporter();  // removes it
    CrashReporter(const CrashReporter&) = delete;
    CrashReporter& operator=(const CrashReporter&) = delete;
};

// Stores value into the reporting switch by atomic exchange; reports are written only while it
// is non-zero (initially 1). Any thread.
void SetReportingEnabled(long value);

// Whether the reporter is installed and not yet removed.
bool IsCrashReporterInstalled();

}  // namespace tarn
