#pragma once
// One request over WinINet into a file beside its target: the catalogue, its signature file or a
// file of the plan. A file transfer cut after it moved bytes asks again for the rest, and one
// that ends before its last byte leaves the bytes and their record for a later run when the reply
// gave a validator to ask with. It tells what it does through TransferReports and never touches
// the window itself. Windows only.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/transfer_files_win32.h"
#include "platform/unique_handle.h"
#include "engine/update_types.h"
#include "platform/win32.h"  // before <wininet.h>
#include "transfer/transfer_names.h"
#include "transfer/resume_rules.h"
#include "trust/sha256.h"

#include <wininet.h>

namespace tarn {

// The most one read takes of what has arrived: on loopback 64 KB reads take 0.41 times as long
// as 4 KB reads.
constexpr DWORD kBlockSize = 64 * 1024;

// One request as the worker took it. The driver resets its hand-over block when a run ends,
// possibly during a transfer; a transfer keeps the request it started with.
struct Request {
    HWND window;
    char url[kRequestTextSize];
    char targetPath[kRequestTextSize];
    int32_t expectedSize;  // -1: the catalogue or its signature, no size check
    FileTime fileTime;
    bool checkHash;
    trust::Digest sha256;
    int32_t resumeFrom;
    char resumeStem[kTransferStemLength + 1];
};

// Whether two requests name the same file with the same size, time and hash.
bool SameRequest(const Request& a, const Request& b);

// Where a transfer's steps go. Calls come on the transfer's own thread.
class TransferReports {
public:
    // Once, when the first acceptable reply has arrived.
    virtual void Started() = 0;
    // The bytes in the partial file, after each block; `last` on the last report of a reply.
    virtual void Received(int64_t received, bool last) = 0;
    // Whether the transfer is no longer wanted: it ends as if cut, keeping what it has.
    virtual bool Cancelled() { return false; }

protected:
    ~TransferReports() = default;
};

// The limits every transfer keeps. A connect, and every single send or receive, may take
// kConnectTimeoutMs / kTransferTimeoutMs. A server that trickles (a byte every few seconds)
// never trips those: transfers that together move fewer than kMinBytesPerWindow bytes in a window
// of kProgressWindowMs are cut (a slow line of 2 KB/s still moves about 60 KB in that time).
constexpr DWORD kConnectTimeoutMs = 15000;
constexpr DWORD kTransferTimeoutMs = 20000;
constexpr DWORD kProgressWindowMs = 30000;
constexpr int32_t kMinBytesPerWindow = 16 * 1024;

// A file transfer cut after it moved bytes (a reset, a stall, the slow bound) asks again for the
// rest after a pause that doubles from kRetryPauseMs up to kMaxRetryPauseMs, at most kMaxRetries
// times, as long as every try moves at least kMinBytesPerWindow: a server that sends a few bytes
// and then stalls cannot hold the run for more than about one receive time-out. A range of a file
// built from blocks is asked again the same way.
constexpr int kMaxRetries = 10;
constexpr DWORD kRetryPauseMs = 500;
constexpr DWORD kMaxRetryPauseMs = 4000;

void SetTimeouts(HINTERNET handle);

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;

// A GET of `url` with extra request headers (null: none), never from or into the local cache.
UniqueInternetHandle OpenUrl(HINTERNET session, const char* url, const char* headers);
// The reply's validator (resume_rules.h ChooseValidator of its ETag and Last-Modified).
Validator ReplyValidator(HINTERNET remote);
// The reply's numeric status, 0 when there is none (a connection broken before the reply).
DWORD ReplyStatus(HINTERNET remote);
// The reply's Content-Length, read into `buffer` (kBlockSize bytes); -1 when absent.
int64_t ReplyLength(HINTERNET remote, char* buffer);
// The session's status callback: gives each request handle the time-outs as it is created.
void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR, DWORD status, void* info, DWORD infoSize);

class Transfer {
public:
    // `runBytes` counts the bytes every transfer of the run has moved, for the slow-transfer
    // bound; `buffer` is this transfer's alone.
    // With `blockRanges` above 0, a file of at least kMinBlockMapFileSize whose old version is
    // there is first built from the blocks of the old one and the changed blocks, where the
    // server has a block map beside it, with up to `blockRanges` requests for changed blocks in
    // flight; anything amiss with that fetches the file whole, as without.
    Transfer(HINTERNET session, const Request& req, char* buffer, TransferReports& reports,
             std::atomic<int64_t>& runBytes, int blockRanges = 0);

    // Fetches the whole reply into the partial file and, for a file, checks its hash and gives it
    // its time. Returns 0 when it is ready to be placed, otherwise the failure sub-code
    // (DownloadError).
    int32_t Fetch();
    // Puts the fetched file in its target's place; false when the target was not replaced.
    bool Place() { return files_.Place(); }
    int64_t received() const { return received_; }

private:
    enum class TryEnd { kComplete, kCut, kFailed };
    void TakeKeptBytes();
    bool HashKeptBytes(int64_t kept);
    void StartOver();
    TryEnd Try(int32_t* failure);
    TryEnd Cut(int32_t* failure, int32_t code) {
        *failure = code;
        return TryEnd::kCut;
    }
    TryEnd Fail(int32_t* failure, int32_t code) {
        *failure = code;
        return TryEnd::kFailed;
    }
    int32_t Complete();

    // Block maps (transfer_blocks_win32.cpp). kAssembled: every byte is in the partial file and
    // the whole file's hash is the map's; kWhole: fetch the file whole from byte 0.
    enum class BlockEnd { kAssembled, kWhole };
    BlockEnd AssembleFromBlocks();
    BlockEnd Assemble(HANDLE old);
    bool FetchBlockMap(std::vector<uint8_t>* map);
    bool CopyOldBytes(HANDLE old, uint64_t from, uint64_t to, uint64_t length, trust::Sha256Stream& whole,
                      const std::function<void(DWORD)>& copied);
    bool HashFetchedBytes(uint64_t from, uint64_t length, trust::Sha256Stream& whole);
    void TakeInOrder(const char* data, DWORD size, trust::Sha256Stream& whole);
    // The record of this file's catalogue entry, with the reply's validator when one is given.
    TransferRecord EntryRecord(HINTERNET reply) const;
    // Claims the partial file and writes its record (EntryRecord).
    bool OpenPartial(HINTERNET reply);

    HINTERNET session_;
    const Request req_;
    char* buffer_;
    TransferReports& reports_;
    std::atomic<int64_t>& runBytes_;
    const bool isFile_;
    const int64_t limit_;
    TransferFiles files_;
    std::optional<trust::Sha256Stream> hash_;
    int64_t received_ = 0;  // bytes in the partial file
    int64_t moved_ = 0;     // bytes the current try has written
    bool started_ = false;
    const int blockRanges_;
};

// Smaller files are always fetched whole: a map would save little against its own round trip.
constexpr int64_t kMinBlockMapFileSize = 1 << 20;

}  // namespace tarn
