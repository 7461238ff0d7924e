// The download worker: one thread per run that fetches the request in g_downloadJob over WinINet
// into a local file and posts WM_DOWNLOAD_NOTIFY to the window for every step.
#include "engine/download_worker_win32.h"

#include <process.h>
#include <cstring>
#include <optional>

#include "engine/download_job.h"
#include "engine/download_worker.h"
#include "base/text.h"
#include "engine/transfer_files_win32.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"  // before <wininet.h>
#include "transfer/resume_rules.h"
#include "trust/sha256.h"

#include <wininet.h>

namespace tarn {
namespace {

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;

// INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY: the reply is not written to the
// local cache. Automatic redirection stays on.
constexpr DWORD kOpenFlags = 0x04000002;
static_assert(kOpenFlags == (INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY), "open flags");
constexpr DWORD_PTR kOpenContext = 1;
// The most one read takes of what has arrived: on loopback 64 KB reads take 0.41 times as long
// as 4 KB reads. The buffer lives on the worker's stack, whose reserve is megabytes.
constexpr DWORD kBlockSize = 64 * 1024;

// Without limits a server that accepts and then says nothing holds the run forever. A connect,
// and every single send or receive, may take this long; a stalled server ends the run within
// about half a minute.
constexpr DWORD kConnectTimeoutMs = 15000;
constexpr DWORD kTransferTimeoutMs = 20000;

// A server that trickles (a byte every few seconds) never trips those time-outs. A transfer that
// moves fewer than kMinBytesPerWindow bytes in a window of kProgressWindowMs fails: a slow line
// of 2 KB/s still moves about 60 KB in that time.
constexpr DWORD kProgressWindowMs = 30000;
constexpr int32_t kMinBytesPerWindow = 16 * 1024;

// Progress reports: one per block would cost a posted message, and the window's work for it, for
// every 4 KB. A report goes out only when the window has taken the last one and the last is at
// least this old; the window draws no more often anyway.
constexpr DWORD kProgressIntervalMs = 30;

// A file transfer cut after it moved bytes (a reset, a stall, the bound above) asks again for the
// rest after a pause that doubles from kRetryPauseMs up to kMaxRetryPauseMs, as long as every try
// moves bytes, at most kMaxRetries times; then the request fails.
constexpr int kMaxRetries = 10;
constexpr DWORD kRetryPauseMs = 500;
constexpr DWORD kMaxRetryPauseMs = 4000;

// HandleRequest's result when DOWNLOAD_FINISHED could not be posted: nothing more can reach the
// window, so the worker ends and the window's watch ends the run.
constexpr int32_t kNotificationLost = -1;

// The largest catalogue reply that is stored: one byte beyond the largest catalogue, so that the
// parser sees that it is not one.
constexpr int64_t kCatalogueStoreLimit = int64_t(kMaxCatalogueBytes) + 1;

// One request as the worker found it when it woke. The driver resets the block when a run ends,
// possibly during a transfer; the transfer under way keeps the request it started with.
struct Request {
    HWND window;
    char url[kRequestTextSize];
    char targetPath[kRequestTextSize];
    int32_t expectedSize;
    FileTime fileTime;
    bool checkHash;
    trust::Digest sha256;
    int32_t resumeFrom;
    char resumeStem[kTransferStemLength + 1];
};

void TakeText(char (&dst)[kRequestTextSize], const char (&src)[kRequestTextSize]) {
    // The field is read only up to its own size, whatever its writer left in it.
    CopyBytesAsText(dst, sizeof dst, src, strnlen(src, sizeof src - 1));
}

void TakeRequest(Request& r) {
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
}

bool HashMatches(trust::Sha256Stream& hash, const trust::Digest& expected) {
    trust::Digest digest;
    return hash.Finish(&digest) && digest == expected;
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

void SetTimeouts(HINTERNET handle) {
    DWORD connect = kConnectTimeoutMs;
    DWORD transfer = kTransferTimeoutMs;
    ::InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
    ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &transfer, sizeof transfer);
    ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &transfer, sizeof transfer);
}

// Windows hands the time-outs of the internet handle down to the connection and request handles
// that InternetOpenUrlA makes; Wine keeps only the connect time-out, and its requests would wait
// for a silent server for ever. So the time-outs are set again on the request handle as soon as
// it is created, before its request is sent. The call comes synchronously on the worker's thread,
// because the open carries a non-zero context. The new handle comes first in the information
// (Windows passes an INTERNET_ASYNC_RESULT, Wine the bare handle).
void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR, DWORD status, void* info, DWORD infoSize) {
    if (status != INTERNET_STATUS_HANDLE_CREATED || !info || infoSize < sizeof(HINTERNET)) return;
    HINTERNET created = nullptr;
    std::memcpy(&created, info, sizeof created);
    if (created) SetTimeouts(created);
}

// The reply's validator, recorded with the partial file so that a later request can ask for the
// rest only if the file is still the same. A header too long for the record counts as absent.
Validator ReplyValidator(HINTERNET remote) {
    char etag[kMaxRecordValidator + 2] = {};
    char modified[kMaxRecordValidator + 2] = {};
    DWORD etagSize = sizeof etag - 1;
    DWORD modifiedSize = sizeof modified - 1;
    const bool hasEtag = ::HttpQueryInfoA(remote, HTTP_QUERY_ETAG, etag, &etagSize, nullptr) != FALSE;
    const bool hasModified =
        ::HttpQueryInfoA(remote, HTTP_QUERY_LAST_MODIFIED, modified, &modifiedSize, nullptr) != FALSE;
    return ChooseValidator(hasEtag ? etag : nullptr, hasModified ? modified : nullptr);
}

// A read-only file is never replaced, as it could not be overwritten in place. (Wine lets a
// rename replace one; Windows refuses.)
bool IsReadOnlyFile(const char* path) {
    const DWORD attributes = ::GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// One request: the catalogue, its signature file or a file of the plan. A file transfer cut after
// it moved bytes asks again for the rest in the same run, and one that ends before its last byte
// leaves the bytes and their record for the next run, when the reply gave a validator to ask with.
class Transfer {
public:
    Transfer(HINTERNET session, const Request& req, char (&buffer)[kBlockSize])
        : session_(session),
          req_(req),
          buffer_(buffer),
          isFile_(req.expectedSize != -1),
          limit_(isFile_ ? int64_t(req.expectedSize) : kCatalogueStoreLimit) {
        // The blocks are hashed as they arrive, so that a file whose bytes are not the signed ones
        // fails like a short one and never takes the old file's place.
        if (isFile_ && req.checkHash) hash_.emplace();
    }

    // Returns 0 after DOWNLOAD_FINISHED was posted, kNotificationLost when it could not be,
    // otherwise the failure sub-code, to be posted once everything of the request is released.
    int32_t Run() {
        if (isFile_ && req_.resumeFrom > 0) TakeKeptBytes();
        DWORD pause = kRetryPauseMs;
        for (int retries = 0;; ++retries) {
            int32_t failure = 0;
            moved_ = 0;
            const TryEnd end = Try(&failure);
            if (end == TryEnd::kComplete) return Finish();
            if (end == TryEnd::kFailed) return failure;
            const bool canAsk = isFile_ && files_.isOpen() && files_.record().validatorKind != ValidatorKind::kNone;
            if (!canAsk || moved_ == 0 || retries >= kMaxRetries) {
                // Only a file of the plan is kept: the scan never sees the catalogue's folder.
                if (isFile_ && received_ > 0) files_.Keep();
                return failure;
            }
            ::Sleep(pause);
            pause = pause * 2 < kMaxRetryPauseMs ? pause * 2 : kMaxRetryPauseMs;
        }
    }

private:
    enum class TryEnd { kComplete, kCut, kFailed };

    // The bytes an earlier run kept for this file, when its record still describes the request.
    // A signed file's hash takes them in first, so that the whole file's SHA-256 still decides.
    void TakeKeptBytes() {
        TransferRecord expected;
        expected.target = req_.targetPath;
        expected.size = req_.expectedSize;
        expected.writeTime = ToU64(req_.fileTime);
        const int64_t kept = req_.resumeStem[0] ? files_.Adopt(req_.resumeStem, expected) : -1;
        if (kept <= 0 || kept >= req_.expectedSize || (hash_ && !HashKeptBytes(kept))) {
            files_.Discard();
            return;
        }
        received_ = kept;
    }

    bool HashKeptBytes(int64_t kept) {
        LARGE_INTEGER start{};
        if (!::SetFilePointerEx(files_.partial(), start, nullptr, FILE_BEGIN)) return false;
        int64_t total = 0;
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(files_.partial(), buffer_, kBlockSize, &got, nullptr)) return false;
            if (got == 0) break;
            hash_->Update(buffer_, got);
            total += got;
        }
        return total == kept;
    }

    // The file from byte 0 again: the server sent all of it, not the rest.
    void StartOver() {
        files_.Discard();
        received_ = 0;
        if (hash_) hash_.emplace();
    }

    TryEnd Cut(int32_t* failure, int32_t code) {
        *failure = code;
        return TryEnd::kCut;
    }

    TryEnd Fail(int32_t* failure, int32_t code) {
        *failure = code;
        return TryEnd::kFailed;
    }

    // One request for the bytes from received_ on (with the record's validator, so that a
    // changed file comes whole) and its reply up to the end or a cut.
    TryEnd Try(int32_t* failure) {
        char headers[kMaxRecordValidator + 64];
        const bool asking = isFile_ && received_ > 0 && files_.isOpen() &&
                            FormatResumeHeaders(received_, files_.record(), headers, sizeof headers);
        UniqueInternetHandle remote(::InternetOpenUrlA(session_, req_.url, asking ? headers : nullptr,
                                                       asking ? static_cast<DWORD>(std::strlen(headers)) : 0,
                                                       kOpenFlags, kOpenContext));
        if (!remote) return Cut(failure, DOWNLOAD_ERR_INTERNET);

        // A connection that breaks before the reply can still give a handle, but without a status
        // line: that is no reply at all. An error page is never a file, whatever its length; the
        // catalogue's own header check turns error pages down.
        DWORD status = 0;
        DWORD statusSize = sizeof status;
        if (!::HttpQueryInfoA(remote.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                              nullptr) ||
            status < 100)
            return Cut(failure, DOWNLOAD_ERR_INTERNET);
        std::memset(buffer_, 0, kBlockSize);
        DWORD lengthSize = kBlockSize;
        const bool hasLength =
            ::HttpQueryInfoA(remote.get(), HTTP_QUERY_CONTENT_LENGTH, buffer_, &lengthSize, nullptr) != FALSE;
        buffer_[kBlockSize - 1] = '\0';
        const int64_t announced = hasLength ? ContentLengthValue(buffer_) : -1;
        // A 206 continues the kept bytes only when it starts exactly at their end, runs to the
        // file's end and announces just that many bytes. Any other file reply must be a 200 with
        // the file's length: a file without a length cannot be told complete from cut short.
        bool continues = false;
        if (isFile_ && asking && status == HTTP_STATUS_PARTIAL_CONTENT) {
            char range[128] = {};
            DWORD rangeSize = sizeof range - 1;
            continues = ::HttpQueryInfoA(remote.get(), HTTP_QUERY_CONTENT_RANGE, range, &rangeSize, nullptr) &&
                        ContinuesPartial(range, received_, req_.expectedSize) &&
                        announced == req_.expectedSize - received_;
            if (!continues) return Fail(failure, DOWNLOAD_ERR_SIZE);
        } else if (isFile_ && (status != HTTP_STATUS_OK || !hasLength || announced != req_.expectedSize)) {
            return Fail(failure, DOWNLOAD_ERR_SIZE);
        }
        if (isFile_ && !continues && received_ > 0) StartOver();

        if (!started_) {
            started_ = true;
            SetBytesReceived(static_cast<int32_t>(received_));
            Notify(req_, DOWNLOAD_STARTED, req_.expectedSize);
            // The bars start where the kept bytes end.
            ReportProgress(true);
            if (IsReadOnlyFile(req_.targetPath)) return Fail(failure, DOWNLOAD_ERR_CREATE);
        }
        // The reply goes to a file beside the target and replaces it only when complete, so a
        // failure never leaves a half-written target behind.
        if (!files_.isOpen()) {
            TransferRecord record;
            record.target = req_.targetPath;
            record.size = req_.expectedSize;
            record.writeTime = ToU64(req_.fileTime);
            const Validator validator = ReplyValidator(remote.get());
            record.validatorKind = validator.kind;
            record.validator = validator.text;
            if (!files_.Open(record)) return Fail(failure, DOWNLOAD_ERR_CREATE);
        }

        bool capped = false;
        DWORD windowStart = ::GetTickCount();
        int64_t receivedAtWindowStart = received_;
        while (!capped) {
            // A read waits until its whole buffer is filled, so it asks only for what has arrived:
            // the wait for data is bounded by the receive time-out, and the loop sees the time pass.
            DWORD available = 0;
            if (!::InternetQueryDataAvailable(remote.get(), &available, 0, 0))
                return Cut(failure, DOWNLOAD_ERR_INTERNET);
            DWORD got = 0;
            if (available > 0 &&
                !::InternetReadFile(remote.get(), buffer_, available < kBlockSize ? available : kBlockSize, &got))
                return Cut(failure, DOWNLOAD_ERR_INTERNET);
            if (got == 0) break;
            DWORD keep = got;
            if (received_ + int64_t(got) > limit_) {
                // More than a file's announced length is a broken reply; an endless catalogue is
                // cut where it can no longer be a catalogue.
                if (isFile_) return Fail(failure, DOWNLOAD_ERR_INTERNET);
                keep = static_cast<DWORD>(limit_ - received_);
                capped = true;
                if (keep == 0) break;
            }
            DWORD written = 0;
            if (!::WriteFile(files_.partial(), buffer_, keep, &written, nullptr) || written != keep)
                return Fail(failure, DOWNLOAD_ERR_FILE);
            if (hash_) hash_->Update(buffer_, keep);
            received_ += keep;
            moved_ += keep;
            SetBytesReceived(static_cast<int32_t>(received_));
            ReportProgress(false);
            const DWORD now = ::GetTickCount();
            if (now - windowStart >= kProgressWindowMs) {
                if (received_ - receivedAtWindowStart < kMinBytesPerWindow) return Cut(failure, DOWNLOAD_ERR_INTERNET);
                windowStart = now;
                receivedAtWindowStart = received_;
            }
        }
        // The last report of a request always carries every byte received.
        ReportProgress(true);
        // The internet client ends a cut connection like a complete reply: only the count tells.
        if (isFile_ ? received_ != req_.expectedSize : (!capped && announced >= 0 && received_ < announced))
            return Cut(failure, DOWNLOAD_ERR_INTERNET);
        return TryEnd::kComplete;
    }

    // The count is a running sum: while the window has not yet taken the last report, or the
    // last went out only a moment ago, the next one carries this block as well. A file started
    // over reports what the bars already show until it passes it, so they never go back; the
    // reports still go out, so the window's watch sees the worker alive.
    void ReportProgress(bool always) {
        if (received_ == reportedReceived_) return;
        const DWORD now = ::GetTickCount();
        if (!always && (g_notificationsInFlight.count() != 0 || now - lastReport_ < kProgressIntervalMs)) return;
        if (received_ > shown_) shown_ = received_;
        Notify(req_, DOWNLOAD_PROGRESS, static_cast<int32_t>(shown_));
        lastReport_ = now;
        reportedReceived_ = received_;
    }

    int32_t Finish() {
        if (hash_ && !HashMatches(*hash_, req_.sha256)) return DOWNLOAD_ERR_INTERNET;
        if (ToU64(req_.fileTime) != 0) {
            const FILETIME time{req_.fileTime.low, req_.fileTime.high};
            if (!::SetFileTime(files_.partial(), nullptr, nullptr, &time)) return DOWNLOAD_ERR_FILE;
        }
        if (!files_.Place()) return DOWNLOAD_ERR_FILE;
        return Notify(req_, DOWNLOAD_FINISHED, static_cast<int32_t>(received_)) ? 0 : kNotificationLost;
    }

    HINTERNET session_;
    const Request& req_;
    char (&buffer_)[kBlockSize];
    const bool isFile_;
    const int64_t limit_;
    TransferFiles files_;
    std::optional<trust::Sha256Stream> hash_;
    int64_t received_ = 0;          // bytes in the partial file
    int64_t moved_ = 0;             // bytes the current try has written
    int64_t shown_ = 0;             // the last DOWNLOAD_PROGRESS value
    int64_t reportedReceived_ = 0;  // received_ when it went out
    DWORD lastReport_ = ::GetTickCount() - kProgressIntervalMs;
    bool started_ = false;
};

int32_t HandleRequest(HINTERNET session, const Request& req, char (&buffer)[kBlockSize]) {
    // Only an HTTP reply has the status and headers the checks read.
    if (!IsHttpUrl(req.url)) return DOWNLOAD_ERR_INTERNET;
    Transfer transfer(session, req, buffer);
    return transfer.Run();
}

void RunWorker(HANDLE wake) {
    char agent[kPathSize];
    ApplicationName(agent, sizeof agent);
    UniqueInternetHandle session(::InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (session) {
        SetTimeouts(session.get());
        ::InternetSetStatusCallbackA(session.get(), OnInternetStatus);
    }

    // One buffer for the worker's life: first the Content-Length text, then each block.
    char buffer[kBlockSize];
    Request req;
    for (;;) {
        if (::WaitForSingleObject(wake, INFINITE) != WAIT_OBJECT_0) return;
        TakeRequest(req);
        if (req.url[0] == '\0') return;
        // Without an internet handle no request can be served; the first one fails at once so
        // that the run ends rather than waits for a notification that never comes.
        int32_t failure = DOWNLOAD_ERR_INTERNET;
        try {
            if (session) failure = HandleRequest(session.get(), req, buffer);
        } catch (...) {
            // Whatever went wrong, the request has failed and the window must learn of it.
            failure = DOWNLOAD_ERR_FILE;
        }
        if (failure > 0) Notify(req, DOWNLOAD_FAILED, failure);
        if (failure != 0) return;
    }
}

unsigned __stdcall DownloadWorker(void* wakeEvent) {
    try {
        RunWorker(static_cast<HANDLE>(wakeEvent));
    } catch (...) {
        // Nothing may leave the thread. The window sees that the thread has ended.
    }
    return 0;
}

class DownloadWorkerControl final : public WorkerControl {
public:
    explicit DownloadWorkerControl(void* notifyWindow) : window_(notifyWindow) {}

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
        const uintptr_t thread = ::_beginthreadex(nullptr, 0, DownloadWorker, event, 0, nullptr);
        if (thread == 0) {
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

std::unique_ptr<WorkerControl> CreateDownloadWorkerControl(void* notifyWindow, int) {
    return std::make_unique<DownloadWorkerControl>(notifyWindow);
}

}  // namespace tarn
