#pragma once
// The hand-over between a thread that faulted without stack to write its report and the
// reporter thread that writes it. Each signal has its own auto-reset event, so the reporter's
// start, however late it comes, can never pass for a finished report.
#include "platform/win32.h"

namespace tarn {

class ReportHandOver {
public:
    // False, with nothing left open, when an event cannot be made.
    bool Create();
    // Only once no thread waits on the events any more.
    void Close();
    bool created() const { return done_ != nullptr; }

    // The reporter thread, once running; the installation waits up to ms for it.
    void SignalStarted() { ::SetEvent(started_); }
    bool WaitStarted(DWORD ms) { return ::WaitForSingleObject(started_, ms) == WAIT_OBJECT_0; }

    // The reporter thread waits for a request (or a stop) and says when the report is complete.
    void WaitRequest() { ::WaitForSingleObject(request_, INFINITE); }
    void SignalDone() { ::SetEvent(done_); }

    // The faulting thread hands its request over, then waits until the report is complete, the
    // reporter thread has ended (a fault of its own) or ms have passed. True when it completed.
    void Request() { ::SetEvent(request_); }
    bool WaitDone(HANDLE reporterThread, DWORD ms);

private:
    HANDLE started_ = nullptr;
    HANDLE request_ = nullptr;
    HANDLE done_ = nullptr;
};

}  // namespace tarn
