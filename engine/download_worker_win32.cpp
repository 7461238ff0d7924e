// The download worker: one thread per run that takes the driver's requests from g_downloadJob,
// has them fetched (the files through the transfer scheduler, several in flight) and posts
// WM_DOWNLOAD_NOTIFY to the window for every step, one request after another.
#include "engine/download_worker_win32.h"

#include <process.h>
#include <cstring>

#include "base/text.h"
#include "engine/download_job.h"
#include "engine/download_worker.h"
#include "engine/transfer_scheduler_win32.h"
#include "engine/transfer_win32.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"  // before <wininet.h>

#include <wininet.h>

namespace tarn {
namespace {

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;

// Progress reports: one per block would cost a posted message, and the window's work for it, for
// every block. A report goes out only when the window has taken the last one and the last is at
// least this old; the window draws no more often anyway.
constexpr DWORD kProgressIntervalMs = 30;

// RunRequest's result when DOWNLOAD_FINISHED could not be posted: nothing more can reach the
// window, so the worker ends and the window's watch ends the run.
constexpr int32_t kNotificationLost = -1;

void TakeText(char (&dst)[kRequestTextSize], const char (&src)[kRequestTextSize]) {
    // The field is read only up to its own size, whatever its writer left in it.
    CopyBytesAsText(dst, sizeof dst, src, strnlen(src, sizeof src - 1));
}

void TakeRequest(Request& r, int32_t* planIndex) {
    r.window = static_cast<HWND>(g_downloadJob.notifyWindow);
    TakeText(r.url, g_downloadJob.url);
    TakeText(r.targetPath, g_downloadJob.targetPath);
    r.expectedSize = g_downloadJob.expectedSize;
    r.fileTime = g_downloadJob.fileTime;
    r.checkHash = g_downloadJob.checkHash != 0;
    std::memcpy(r.sha256.data(), g_downloadJob.sha256, r.sha256.size());
    r.resumeFrom = g_downloadJob.resumeFrom;
    CopyBytesAsText(r.resumeStem, sizeof r.resumeStem, g_downloadJob.resumeStem,
                    strnlen(g_downloadJob.resumeStem, sizeof g_downloadJob.resumeStem - 1));
    *planIndex = g_downloadJob.planIndex;
}

// False when the notification could not be posted.
bool Notify(const Request& r, int32_t code, int32_t value) {
    // A thread's message queue holds a limited number of posted messages (10,000 by default); a
    // window that falls behind a fast transfer would lose notifications, and a lost FINISHED or
    // FAILED would leave the run waiting forever. So a post that fails while the window still
    // exists is retried until the window has made room.
    g_notificationsInFlight.Posting();
    for (int attempt = 0; attempt < 30000; ++attempt) {
        if (::PostMessageA(r.window, WM_DOWNLOAD_NOTIFY, static_cast<WPARAM>(code), static_cast<LPARAM>(value)))
            return true;
        if (!::IsWindow(r.window)) break;
        ::Sleep(2);
    }
    g_notificationsInFlight.Taken();
    return false;
}

void SetBytesReceived(int32_t n) {
    // The driver may reset the block meanwhile; the count is one aligned word either way.
    __atomic_store_n(&g_downloadJob.bytesReceived, n, __ATOMIC_RELAXED);
}

// DOWNLOAD_PROGRESS for one request. The count is a running sum: while the window has not yet
// taken the last report, or the last went out only a moment ago, the next one carries the newer
// bytes as well. A file started over reports what the bars already show until it passes it, so
// they never go back; the reports still go out, so the window's watch sees the worker alive.
class ProgressReports {
public:
    explicit ProgressReports(const Request& req) : req_(req) {}

    void Report(int64_t received, bool always) {
        SetBytesReceived(static_cast<int32_t>(received));
        if (received == reported_) return;
        const DWORD now = ::GetTickCount();
        if (!always && (g_notificationsInFlight.count() != 0 || now - lastReport_ < kProgressIntervalMs)) return;
        if (received > shown_) shown_ = received;
        Notify(req_, DOWNLOAD_PROGRESS, static_cast<int32_t>(shown_));
        lastReport_ = now;
        reported_ = received;
    }

private:
    const Request& req_;
    int64_t shown_ = 0;     // the last DOWNLOAD_PROGRESS value
    int64_t reported_ = 0;  // the bytes received when it went out
    DWORD lastReport_ = ::GetTickCount() - kProgressIntervalMs;
};

// A request fetched on the worker's own thread (the catalogue, its signature file): its steps go
// straight to the window.
class WindowReports final : public TransferReports {
public:
    explicit WindowReports(const Request& req) : req_(req), progress_(req) {}
    void Started() override { Notify(req_, DOWNLOAD_STARTED, req_.expectedSize); }
    void Received(int64_t received, bool last) override { progress_.Report(received, last); }

private:
    const Request& req_;
    ProgressReports progress_;
};

int32_t Finished(const Request& req, Transfer& transfer) {
    if (!transfer.Place()) return DOWNLOAD_ERR_FILE;
    return Notify(req, DOWNLOAD_FINISHED, static_cast<int32_t>(transfer.received())) ? 0 : kNotificationLost;
}

int32_t RunUnsized(HINTERNET session, const Request& req, char* buffer, std::atomic<int64_t>& runBytes) {
    WindowReports reports(req);
    Transfer transfer(session, req, buffer, reports, runBytes);
    const int32_t failure = transfer.Fetch();
    return failure != 0 ? failure : Finished(req, transfer);
}

// A file of the plan: its transfer may have started ahead, on its own thread, while earlier files
// were reported; this reports it from its start to its end as if it ran now.
int32_t RunFile(TransferScheduler& scheduler, const Request& req, int32_t planIndex) {
    FileSlot* slot = scheduler.Take(req, planIndex);
    if (!slot) return DOWNLOAD_ERR_INTERNET;
    ProgressReports progress(req);
    bool started = false;
    for (;;) {
        const bool done = slot->done();
        if (!started && slot->started()) {
            started = true;
            SetBytesReceived(static_cast<int32_t>(slot->received()));
            Notify(req, DOWNLOAD_STARTED, req.expectedSize);
        }
        if (started) progress.Report(slot->received(), done);
        if (done) break;
        ::WaitForSingleObject(slot->changed(), kProgressIntervalMs);
    }
    int32_t failure = slot->failure();
    if (failure == 0) failure = Finished(req, slot->transfer());
    scheduler.Release(slot);
    return failure;
}

void RunWorker(HANDLE wake, int inFlight, bool blockMaps) {
    // Windows lets a process hold only a few connections to one server at a time; the transfers
    // in flight each need their own.
    DWORD connections = static_cast<DWORD>(inFlight);
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof connections);
    char agent[kPathSize];
    ApplicationName(agent, sizeof agent);
    UniqueInternetHandle session(::InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (session) {
        SetTimeouts(session.get());
        ::InternetSetStatusCallbackA(session.get(), OnInternetStatus);
    }

    // For the requests of unknown size; each file transfer has its own.
    std::unique_ptr<char[]> buffer(new char[kBlockSize]);
    std::atomic<int64_t> unsizedBytes{0};
    // Ends before the session: the transfers it cancels may still use it.
    TransferScheduler scheduler(session.get(), inFlight, blockMaps);
    Request req;
    for (;;) {
        if (::WaitForSingleObject(wake, INFINITE) != WAIT_OBJECT_0) return;
        int32_t planIndex = -1;
        TakeRequest(req, &planIndex);
        if (req.url[0] == '\0') return;
        // Without an internet handle no request can be served; the first one fails at once so
        // that the run ends rather than waits for a notification that never comes.
        int32_t failure = DOWNLOAD_ERR_INTERNET;
        try {
            if (session && req.expectedSize == -1)
                failure = RunUnsized(session.get(), req, buffer.get(), unsizedBytes);
            else if (session)
                failure = RunFile(scheduler, req, planIndex);
        } catch (...) {
            // Whatever went wrong, the request has failed and the window must learn of it.
            failure = DOWNLOAD_ERR_FILE;
        }
        if (failure > 0) Notify(req, DOWNLOAD_FAILED, failure);
        if (failure != 0) return;
    }
}

struct WorkerStart {
    HANDLE wake;
    int inFlight;
    bool blockMaps;
};

unsigned __stdcall DownloadWorker(void* start) {
    const WorkerStart args = *static_cast<WorkerStart*>(start);
    delete static_cast<WorkerStart*>(start);
    try {
        RunWorker(args.wake, args.inFlight, args.blockMaps);
    } catch (...) {
        // Nothing may leave the thread. The window sees that the thread has ended.
    }
    return 0;
}

class DownloadWorkerControl final : public WorkerControl {
public:
    DownloadWorkerControl(void* notifyWindow, int inFlight, bool blockMaps)
        : window_(notifyWindow), inFlight_(inFlight), blockMaps_(blockMaps) {}

    bool StartDownloadWorker() override {
        g_downloadJob.url[0] = '\0';
        g_downloadJob.targetPath[0] = '\0';
        g_downloadJob.notifyWindow = window_;
        // Never closed: a driver that has not yet forgotten it may still signal it after the
        // worker has ended. The process is short-lived.
        HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!event) return false;
        g_downloadJob.wakeEvent = event;
        // The worker gets its event as the thread argument, so that a reset of the block, which
        // forgets the handle, cannot leave it without one.
        auto* start = new WorkerStart{event, inFlight_, blockMaps_};
        const uintptr_t thread = ::_beginthreadex(nullptr, 0, DownloadWorker, start, 0, nullptr);
        if (thread == 0) {
            delete start;
            g_downloadJob.wakeEvent = nullptr;
            ::CloseHandle(event);
            return false;
        }
        // Kept only to see whether the thread has ended; nothing waits for it.
        thread_.reset(reinterpret_cast<HANDLE>(thread));
        return true;
    }

    bool WorkerEnded() override { return thread_ && ::WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0; }

    void WakeWorker() override {
        if (g_downloadJob.wakeEvent) ::SetEvent(g_downloadJob.wakeEvent);
    }

    void ForgetWorker() override {
        if (!g_downloadJob.wakeEvent) return;
        ::SetEvent(g_downloadJob.wakeEvent);
        g_downloadJob.wakeEvent = nullptr;
    }

private:
    void* window_;
    const int inFlight_;
    const bool blockMaps_;
    UniqueKernelHandle thread_;
};

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix) return false;
    }
    return true;
}

}  // namespace

int64_t ContentLengthValue(const char* text) {
    constexpr int64_t kCap = int64_t(1) << 40;
    const char* p = text;
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < kCap) value = value * 10 + (*p - '0');
    }
    if (value > kCap) value = kCap;
    return negative ? -value : value;
}

bool IsHttpUrl(const char* url) {
    return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

void ApplicationName(char* out, size_t cap) {
    char module[MAX_PATH + 1] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) module[0] = '\0';
    const char* slash = FindLastBackslash(module);
    const char* name = slash ? slash + 1 : module;
    const char* dot = std::strrchr(name, '.');
    CopyBytesAsText(out, cap, name, dot ? size_t(dot - name) : std::strlen(name));
}

bool IsReadOnlyFile(const char* path) {
    const DWORD attributes = ::GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool PlaceDownloadedFile(const char* partialPath, const char* targetPath, const char* asidePath, bool* asideLeft) {
    constexpr DWORD kMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    bool left = false;
    if (!asideLeft) asideLeft = &left;
    *asideLeft = false;
    if (IsReadOnlyFile(targetPath)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // A rename gives the target the new file's attributes, so a hidden or system file would come
    // out plain: the new file takes them over first. Should that fail, the file is still updated.
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD old = ::GetFileAttributesA(targetPath);
    if (old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY) && (old & kKept))
        ::SetFileAttributesA(partialPath, FILE_ATTRIBUTE_ARCHIVE | (old & kKept));
    if (::MoveFileExA(partialPath, targetPath, kMove)) return true;
    DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;

    // In use (a running executable cannot be overwritten, but it can be renamed). Never move a
    // folder aside: only a file is replaced.
    const DWORD attributes = ::GetFileAttributesA(targetPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(error);
        return false;
    }
    if (!::MoveFileExA(targetPath, asidePath, kMove)) return false;
    if (::MoveFileExA(partialPath, targetPath, kMove)) {
        // One still in use (a running executable) stays until the next run's scan removes it.
        *asideLeft = !::DeleteFileA(asidePath);
        return true;
    }
    // Put back. Should that fail too, the old file stays aside, and the next run's scan moves it
    // back before anything else.
    error = ::GetLastError();
    *asideLeft = !::MoveFileExA(asidePath, targetPath, 0);
    ::SetLastError(error);
    return false;
}

std::unique_ptr<WorkerControl> CreateDownloadWorkerControl(void* notifyWindow, int parallelTransfers, bool blockMaps) {
    return std::make_unique<DownloadWorkerControl>(notifyWindow, parallelTransfers, blockMaps);
}

}  // namespace tarn
