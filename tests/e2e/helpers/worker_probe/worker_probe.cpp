// Plays the update driver for the download worker: starts the worker for a message-only window,
// hands it one request after another and prints every notification, one line each:
//
//   worker_probe [options] URL TARGET SIZE TIME [URL TARGET SIZE TIME ...]
//
//   SIZE     expectedSize (-1: the catalogue request)
//   TIME     fileTime as a decimal 64-bit file time (0: leave the time)
//   --summary          one "PROGRESS n=COUNT last=VALUE increasing=0|1" line per request instead
//                      of a line per block
//   --hold PATH SHARE  keep PATH open for reading during the run; SHARE letters r, w, d allow
//                      others to read, write, delete/rename
//   --poke             after the reset, hand the first request again through the old event: a
//                      worker that has ended must not answer
//   --timeout SECONDS  give up waiting for notifications (default 90)
//   --sha256 HEX       every file must arrive with this SHA-256 (64 hex digits)
//
// Output lines: "STARTED v", "PROGRESS v", "FINISHED v", "FAILED v" in posting order; then
// "WORKER ended|waiting" (its state before the reset), "RESET ended|alive" (after the reset),
// with --poke "POKE silent|answered", and "ELAPSED ms" (first request to last notification).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/download_worker.h"
#include "base/text.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"  // before <tlhelp32.h>

#include <tlhelp32.h>

using namespace tarn;

namespace {

struct ProbeRequest {
    std::string url;
    std::string target;
    int32_t size;
    uint64_t time;
};

struct Options {
    bool summary = false;
    bool poke = false;
    DWORD timeoutMs = 90000;
    std::string holdPath;
    DWORD holdShare = 0;
    bool checkHash = false;
    uint8_t sha256[32] = {};
    std::vector<ProbeRequest> requests;
};

void Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

bool ParseOptions(int argc, char** argv, Options& o) {
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string a = argv[i];
        if (a == "--summary") {
            o.summary = true;
        } else if (a == "--poke") {
            o.poke = true;
        } else if (a == "--timeout" && i + 1 < argc) {
            o.timeoutMs = static_cast<DWORD>(std::atoi(argv[++i])) * 1000;
        } else if (a == "--sha256" && i + 1 < argc && std::strlen(argv[i + 1]) == 64) {
            const char* hex = argv[++i];
            for (int b = 0; b < 32; ++b) {
                char pair[3] = {hex[2 * b], hex[2 * b + 1], '\0'};
                o.sha256[b] = static_cast<uint8_t>(std::strtoul(pair, nullptr, 16));
            }
            o.checkHash = true;
        } else if (a == "--hold" && i + 2 < argc) {
            o.holdPath = argv[++i];
            for (const char* s = argv[++i]; *s; ++s) {
                if (*s == 'r') o.holdShare |= FILE_SHARE_READ;
                if (*s == 'w') o.holdShare |= FILE_SHARE_WRITE;
                if (*s == 'd') o.holdShare |= FILE_SHARE_DELETE;
            }
        } else {
            return false;
        }
    }
    if ((argc - i) == 0 || (argc - i) % 4 != 0) return false;
    for (; i < argc; i += 4)
        o.requests.push_back({argv[i], argv[i + 1], static_cast<int32_t>(std::strtol(argv[i + 2], nullptr, 10)),
                              std::strtoull(argv[i + 3], nullptr, 10)});
    return true;
}

std::set<DWORD> OwnThreads() {
    std::set<DWORD> ids;
    UniqueFileHandle snap(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snap) return ids;
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL ok = ::Thread32First(snap.get(), &t); ok; ok = ::Thread32Next(snap.get(), &t))
        if (t.th32OwnerProcessID == ::GetCurrentProcessId()) ids.insert(t.th32ThreadID);
    return ids;
}

bool HandOver(const ProbeRequest& r, HWND window) {
    g_downloadJob.notifyWindow = window;
    if (!CopyText(g_downloadJob.url, r.url.c_str()) || !CopyText(g_downloadJob.targetPath, r.target.c_str())) {
        Line("TOO-LONG");
        return false;
    }
    g_downloadJob.expectedSize = r.size;
    g_downloadJob.fileTime = FromU64(r.time);
    return true;
}

const char* CodeName(WPARAM code) {
    switch (code) {
        case DOWNLOAD_FINISHED:
            return "FINISHED";
        case DOWNLOAD_PROGRESS:
            return "PROGRESS";
        case DOWNLOAD_STARTED:
            return "STARTED";
        case DOWNLOAD_FAILED:
            return "FAILED";
    }
    return "UNKNOWN";
}

// Waits for the next notification up to `ms`; false when none came.
bool NextNotification(DWORD ms, WPARAM& code, int32_t& value) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_DOWNLOAD_NOTIFY) {
                g_notificationsInFlight.Taken();
                code = msg.wParam;
                value = static_cast<int32_t>(msg.lParam);
                return true;
            }
            ::DispatchMessageA(&msg);
        }
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= ms) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}

class Printer {
public:
    explicit Printer(bool summary) : summary_(summary) {}
    void Print(WPARAM code, int32_t value) {
        if (code == DOWNLOAD_PROGRESS) {
            increasing_ = increasing_ && (count_ == 0 || value > last_);
            ++count_;
            last_ = value;
            if (summary_) return;
        } else if (summary_ && started_) {
            Line("PROGRESS n=%d last=%d increasing=%d", count_, last_, increasing_ ? 1 : 0);
        }
        if (code == DOWNLOAD_STARTED || code == DOWNLOAD_FINISHED || code == DOWNLOAD_FAILED) Reset();
        started_ = code == DOWNLOAD_STARTED;
        Line("%s %d", CodeName(code), static_cast<int>(value));
    }

private:
    void Reset() {
        count_ = 0;
        last_ = 0;
        increasing_ = true;
    }
    bool summary_;
    bool started_ = false;  // a request is under way: its progress summary is due
    int count_ = 0;
    int32_t last_ = 0;
    bool increasing_ = true;
};

LRESULT CALLBACK ProbeWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

int Run(const Options& o) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ProbeWindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "TarnWorkerProbe";
    ::RegisterClassA(&wc);
    HWND window =
        ::CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (!window) {
        Line("NO-WINDOW %lu", ::GetLastError());
        return 3;
    }

    UniqueFileHandle held;
    if (!o.holdPath.empty()) {
        held.reset(::CreateFileA(o.holdPath.c_str(), GENERIC_READ, o.holdShare, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (held)
            Line("HOLD ok");
        else
            Line("HOLD error %lu", ::GetLastError());
    }

    std::unique_ptr<WorkerControl> control = CreateDownloadWorkerControl(window);
    const std::set<DWORD> before = OwnThreads();
    if (!control->StartDownloadWorker()) {
        Line("NO-WORKER %lu", ::GetLastError());
        return 3;
    }
    HANDLE wakeEvent = g_downloadJob.wakeEvent;
    UniqueKernelHandle thread;
    for (DWORD id : OwnThreads())
        if (!before.count(id) && !thread) thread.reset(::OpenThread(SYNCHRONIZE, FALSE, id));

    Printer printer(o.summary);
    const DWORD start = ::GetTickCount();
    DWORD last = start;
    size_t next = 0;
    bool failed = false;
    if (!HandOver(o.requests[next++], window)) return 3;
    control->WakeWorker();
    for (;;) {
        WPARAM code = 0;
        int32_t value = 0;
        if (!NextNotification(o.timeoutMs, code, value)) {
            Line("TIMEOUT");
            break;
        }
        last = ::GetTickCount();
        printer.Print(code, value);
        if (code == DOWNLOAD_FAILED) {
            failed = true;
            break;
        }
        if (code == DOWNLOAD_FINISHED) {
            if (next == o.requests.size()) break;
            if (!HandOver(o.requests[next++], window)) return 3;
            control->WakeWorker();
        }
    }
    // Anything posted after the end of the run is a fault; show it.
    WPARAM code = 0;
    int32_t value = 0;
    while (NextNotification(300, code, value)) printer.Print(code, value);

    if (thread) {
        const bool ended = ::WaitForSingleObject(thread.get(), failed ? 5000 : 0) == WAIT_OBJECT_0;
        Line("WORKER %s", ended ? "ended" : "waiting");
    } else {
        Line("WORKER unknown");
    }

    // What the driver does at the end of every run.
    g_downloadJob.notifyWindow = nullptr;
    g_downloadJob.url[0] = '\0';
    g_downloadJob.targetPath[0] = '\0';
    g_downloadJob.expectedSize = 0;
    g_downloadJob.bytesReceived = 0;
    control->ForgetWorker();
    if (g_downloadJob.wakeEvent) Line("RESET kept-event");
    if (thread) {
        const bool ended = ::WaitForSingleObject(thread.get(), 5000) == WAIT_OBJECT_0;
        Line("RESET %s", ended ? "ended" : "alive");
    }

    if (o.poke) {
        if (!HandOver(o.requests[0], window)) return 3;
        ::SetEvent(wakeEvent);
        bool answered = false;
        while (NextNotification(1000, code, value)) {
            printer.Print(code, value);
            answered = true;
        }
        Line("POKE %s", answered ? "answered" : "silent");
    }
    Line("ELAPSED %lu", static_cast<unsigned long>(last - start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: worker_probe [--summary] [--poke] [--timeout S] [--hold PATH rwd] [--sha256 HEX] "
                     "URL TARGET SIZE TIME [...]\n");
        return 2;
    }
    g_downloadJob.checkHash = options.checkHash ? 1 : 0;
    std::memcpy(g_downloadJob.sha256, options.sha256, sizeof g_downloadJob.sha256);
    return Run(options);
}
