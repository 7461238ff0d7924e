#pragma once
// The hand-over block between the update driver (window thread) and the download worker, and
// the notification the worker posts back. Shared without a lock: the driver writes a request
// while the worker waits and then wakes it; the worker answers only with posted notifications.
#include <atomic>
#include <cstdint>

#include "engine/update_types.h"

namespace tarn {

// Window message from the worker to the window: wParam a code, lParam a signed 32-bit value.
constexpr unsigned WM_DOWNLOAD_NOTIFY = 1226;  // WM_USER + 202

enum DownloadCode : int32_t {
    DOWNLOAD_FINISHED = 0,  // value: bytes received for the whole file
    DOWNLOAD_PROGRESS = 1,  // value: bytes received so far, after each non-empty block
    DOWNLOAD_STARTED = 2,   // value: expectedSize of the request (-1 for the catalogue)
    DOWNLOAD_FAILED = 3,    // value: one of the sub-codes below; the worker has ended
};

enum DownloadError : int32_t {
    DOWNLOAD_ERR_SIZE = 1,      // Content-Length missing or not the expected size; not the file
    DOWNLOAD_ERR_CREATE = 2,    // the local file could not be created
    DOWNLOAD_ERR_FILE = 3,      // writing, stamping or placing the local file failed
    DOWNLOAD_ERR_INTERNET = 4,  // opening the URL or reading the reply failed
};

// Command and control identifiers of the updater window.
constexpr int ID_START_UPDATE = 1611;
constexpr int IDD_UPDATER = 201;
constexpr int IDB_SKIN = 202;
constexpr int IDC_PROGRESS_FILE = 1000;
constexpr int IDC_PROGRESS_TOTAL = 1001;
constexpr int IDC_LABEL_FILE = 1002;
constexpr int IDC_LABEL_TOTAL = 1003;

// The largest catalogue the format allows: header, count, 300 base URLs and 300 entries at
// their longest. A catalogue reply is never stored beyond one byte more than this.
constexpr int32_t kMaxCatalogueBytes = 11 + 4 + kMaxEntries * kPathSize + kMaxEntries * (kPathSize + 12);

// A file request of the plan, as the driver hands it over.
struct PlannedRequest {
    char url[kRequestTextSize];         // empty: the request does not fit; never fetched ahead
    char targetPath[kRequestTextSize];
    int32_t expectedSize;
    FileTime fileTime;
    int32_t checkHash;
    uint8_t sha256[32];
    int32_t resumeFrom;
    char resumeStem[8];
};

// Every file request of the run's plan, so that the worker can fetch the next files while the
// driver still handles the current one. The driver writes the requests before it asks for the
// first file and then only publishes `count`; it never changes a request afterwards.
struct DownloadPlan {
    std::atomic<int32_t> count;
    PlannedRequest requests[kMaxEntries];
};

extern DownloadPlan g_downloadPlan;

struct DownloadJob {
    void* notifyWindow;                // HWND that receives WM_DOWNLOAD_NOTIFY
    char url[kRequestTextSize];        // empty: the worker ends
    char targetPath[kRequestTextSize]; // absolute, or relative to the current directory
    int32_t expectedSize;              // -1: the catalogue, no size check
    int32_t bytesReceived;
    void* wakeEvent;                   // auto-reset event HANDLE
    FileTime fileTime;                 // zero: leave the time the system gives
    int32_t checkHash;                 // non-zero: a file whose SHA-256 is not sha256 fails
    uint8_t sha256[32];
    int32_t resumeFrom;                // > 0: the bytes kept under resumeStem beside the target
    char resumeStem[8];                // a stem of transfer_names.h, or empty
    int32_t planIndex;                 // the request's entry in g_downloadPlan, or -1
};

// The one process-wide block, all zero at start.
extern DownloadJob g_downloadJob;

// Notifications the worker has posted and the window has not yet taken: the worker counts one up
// before each post (and down again when the post fails), the window one down as it takes one. So
// the worker knows, without asking the system, whether the window has caught up with its reports.
class NotificationsInFlight {
public:
    void Posting() { count_.fetch_add(1, std::memory_order_relaxed); }
    // Also for a post that failed. Never below zero: a notification that did not come from the
    // worker (a test sending one) is not counted.
    void Taken() {
        int32_t n = count_.load(std::memory_order_relaxed);
        while (n > 0 && !count_.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
        }
    }
    int32_t count() const { return count_.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> count_{0};
};

extern NotificationsInFlight g_notificationsInFlight;

}  // namespace tarn
