#include "engine/transfer_win32.h"

#include <cstring>

#include "engine/download_job.h"
#include "engine/download_worker_win32.h"
#include "transfer/resume_rules.h"

#include <wininet.h>

namespace tarn {
namespace {

// INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY: the reply is not written to the
// local cache. Automatic redirection stays on.
constexpr DWORD kOpenFlags = 0x04000002;
static_assert(kOpenFlags == (INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY), "open flags");
constexpr DWORD_PTR kOpenContext = 1;

// The largest catalogue reply that is stored: one byte beyond the largest catalogue, so that the
// parser sees that it is not one.
constexpr int64_t kCatalogueStoreLimit = int64_t(kMaxCatalogueBytes) + 1;

bool HashMatches(trust::Sha256Stream& hash, const trust::Digest& expected) {
    trust::Digest digest;
    return hash.Finish(&digest) && digest == expected;
}

}  // namespace

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

namespace {

// A 206 whose ETag is not the one the kept bytes came with is another file's bytes, whatever its
// Content-Range says: a server that honours If-Range would have sent the whole file.
bool SameEntityTag(HINTERNET remote, const TransferRecord& record) {
    if (record.validatorKind != ValidatorKind::kStrongETag) return true;
    char etag[kMaxRecordValidator + 2] = {};
    DWORD etagSize = sizeof etag - 1;
    if (!::HttpQueryInfoA(remote, HTTP_QUERY_ETAG, etag, &etagSize, nullptr)) return true;
    return record.validator == etag;
}

}  // namespace

bool SameRequest(const Request& a, const Request& b) {
    return std::strcmp(a.url, b.url) == 0 && std::strcmp(a.targetPath, b.targetPath) == 0 &&
           a.expectedSize == b.expectedSize && ToU64(a.fileTime) == ToU64(b.fileTime) &&
           a.checkHash == b.checkHash && (!a.checkHash || a.sha256 == b.sha256) && a.resumeFrom == b.resumeFrom &&
           std::strcmp(a.resumeStem, b.resumeStem) == 0;
}

UniqueInternetHandle OpenUrl(HINTERNET session, const char* url, const char* headers) {
    return UniqueInternetHandle(::InternetOpenUrlA(session, url, headers, headers ? static_cast<DWORD>(std::strlen(headers)) : 0,
                                                   kOpenFlags, kOpenContext));
}

DWORD ReplyStatus(HINTERNET remote) {
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::HttpQueryInfoA(remote, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr))
        return 0;
    return status < 100 ? 0 : status;
}

int64_t ReplyLength(HINTERNET remote, char* buffer) {
    std::memset(buffer, 0, kBlockSize);
    DWORD lengthSize = kBlockSize;
    const bool hasLength = ::HttpQueryInfoA(remote, HTTP_QUERY_CONTENT_LENGTH, buffer, &lengthSize, nullptr) != FALSE;
    buffer[kBlockSize - 1] = '\0';
    return hasLength ? ContentLengthValue(buffer) : -1;
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
// it is created, before its request is sent. The call comes synchronously on the opening thread,
// because the open carries a non-zero context. The new handle comes first in the information
// (Windows passes an INTERNET_ASYNC_RESULT, Wine the bare handle).
void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR, DWORD status, void* info, DWORD infoSize) {
    if (status != INTERNET_STATUS_HANDLE_CREATED || !info || infoSize < sizeof(HINTERNET)) return;
    HINTERNET created = nullptr;
    std::memcpy(&created, info, sizeof created);
    if (created) SetTimeouts(created);
}

Transfer::Transfer(HINTERNET session, const Request& req, char* buffer, TransferReports& reports,
                   std::atomic<int64_t>& runBytes, int blockRanges)
    : session_(session),
      req_(req),
      buffer_(buffer),
      reports_(reports),
      runBytes_(runBytes),
      isFile_(req.expectedSize != -1),
      limit_(isFile_ ? int64_t(req.expectedSize) : kCatalogueStoreLimit),
      blockRanges_(blockRanges) {
    // The blocks are hashed as they arrive, so that a file whose bytes are not the signed ones
    // fails like a short one and never takes the old file's place.
    if (isFile_ && req.checkHash) hash_.emplace();
}

int32_t Transfer::Fetch() {
    // Only an HTTP reply has the status and headers the checks read.
    if (!IsHttpUrl(req_.url)) return DOWNLOAD_ERR_INTERNET;
    if (isFile_ && req_.resumeFrom > 0) TakeKeptBytes();
    if (blockRanges_ > 0 && isFile_ && received_ == 0 && req_.expectedSize >= kMinBlockMapFileSize) {
        if (AssembleFromBlocks() == BlockEnd::kAssembled) return Complete();
        StartOver();
    }
    DWORD pause = kRetryPauseMs;
    for (int retries = 0;; ++retries) {
        int32_t failure = 0;
        moved_ = 0;
        const TryEnd end = Try(&failure);
        if (end == TryEnd::kComplete) return Complete();
        if (end == TryEnd::kFailed) return failure;
        const bool canAsk = isFile_ && files_.isOpen() && files_.record().validatorKind != ValidatorKind::kNone;
        if (!canAsk || moved_ < kMinBytesPerWindow || retries >= kMaxRetries || reports_.Cancelled()) {
            // Only a file of the plan is kept: the scan never sees the catalogue's folder.
            if (isFile_ && received_ > 0) files_.Keep();
            return failure;
        }
        ::Sleep(pause);
        pause = pause * 2 < kMaxRetryPauseMs ? pause * 2 : kMaxRetryPauseMs;
    }
}

// The bytes an earlier run kept for this file, when its record still describes the request.
// A signed file's hash takes them in first, so that the whole file's SHA-256 still decides.
void Transfer::TakeKeptBytes() {
    const int64_t kept = req_.resumeStem[0] ? files_.Adopt(req_.resumeStem, EntryRecord(nullptr)) : -1;
    if (kept <= 0 || kept >= req_.expectedSize || (hash_ && !HashKeptBytes(kept))) {
        files_.Discard();
        return;
    }
    received_ = kept;
}

bool Transfer::HashKeptBytes(int64_t kept) {
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
void Transfer::StartOver() {
    files_.Discard();
    received_ = 0;
    if (hash_) hash_.emplace();
}

// One request for the bytes from received_ on (with the record's validator, so that a changed
// file comes whole) and its reply up to the end or a cut.
Transfer::TryEnd Transfer::Try(int32_t* failure) {
    char headers[kMaxRecordValidator + 64];
    const bool asking = isFile_ && received_ > 0 && files_.isOpen() &&
                        FormatResumeHeaders(received_, files_.record(), headers, sizeof headers);
    UniqueInternetHandle remote = OpenUrl(session_, req_.url, asking ? headers : nullptr);
    if (!remote) return Cut(failure, DOWNLOAD_ERR_INTERNET);

    // A connection that breaks before the reply can still give a handle, but without a status
    // line: that is no reply at all. An error page is never a file, whatever its length; the
    // catalogue's own header check turns error pages down.
    const DWORD status = ReplyStatus(remote.get());
    if (status == 0) return Cut(failure, DOWNLOAD_ERR_INTERNET);
    const int64_t announced = ReplyLength(remote.get(), buffer_);
    const bool hasLength = announced >= 0;
    // A 206 continues the kept bytes only when it starts exactly at their end, runs to the
    // file's end, announces just that many bytes and comes with the kept bytes' ETag. Any other
    // file reply must be a 200 with the file's length: a file without a length cannot be told
    // complete from cut short.
    bool continues = false;
    if (isFile_ && asking && status == HTTP_STATUS_PARTIAL_CONTENT) {
        char range[128] = {};
        DWORD rangeSize = sizeof range - 1;
        continues = ::HttpQueryInfoA(remote.get(), HTTP_QUERY_CONTENT_RANGE, range, &rangeSize, nullptr) &&
                    ContinuesPartial(range, received_, req_.expectedSize) &&
                    announced == req_.expectedSize - received_ && SameEntityTag(remote.get(), files_.record());
        if (!continues) return Fail(failure, DOWNLOAD_ERR_SIZE);
    } else if (isFile_ && (status != HTTP_STATUS_OK || !hasLength || announced != req_.expectedSize)) {
        return Fail(failure, DOWNLOAD_ERR_SIZE);
    }
    if (isFile_ && !continues && received_ > 0) StartOver();

    if (!started_) {
        started_ = true;
        reports_.Started();
        // The bars start where the kept bytes end.
        reports_.Received(received_, true);
        if (IsReadOnlyFile(req_.targetPath)) return Fail(failure, DOWNLOAD_ERR_CREATE);
    }
    // The reply goes to a file beside the target and replaces it only when complete, so a
    // failure never leaves a half-written target behind.
    if (!files_.isOpen() && !OpenPartial(remote.get())) return Fail(failure, DOWNLOAD_ERR_CREATE);

    bool capped = false;
    DWORD windowStart = ::GetTickCount();
    int64_t runBytesAtWindowStart = runBytes_.load(std::memory_order_relaxed);
    while (!capped) {
        if (reports_.Cancelled()) return Cut(failure, DOWNLOAD_ERR_INTERNET);
        // A read waits until its whole buffer is filled, so it asks only for what has arrived:
        // the wait for data is bounded by the receive time-out, and the loop sees the time pass.
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(remote.get(), &available, 0, 0)) return Cut(failure, DOWNLOAD_ERR_INTERNET);
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
        const int64_t runBytes = runBytes_.fetch_add(keep, std::memory_order_relaxed) + keep;
        reports_.Received(received_, false);
        // The last block of a file ends the transfer however long it took.
        if (isFile_ && received_ == limit_) break;
        const DWORD now = ::GetTickCount();
        if (now - windowStart >= kProgressWindowMs) {
            if (runBytes - runBytesAtWindowStart < kMinBytesPerWindow) return Cut(failure, DOWNLOAD_ERR_INTERNET);
            windowStart = now;
            runBytesAtWindowStart = runBytes;
        }
    }
    // The last report of a reply always carries every byte received.
    reports_.Received(received_, true);
    // The internet client ends a cut connection like a complete reply: only the count tells.
    if (isFile_ ? received_ != req_.expectedSize : (!capped && announced >= 0 && received_ < announced))
        return Cut(failure, DOWNLOAD_ERR_INTERNET);
    return TryEnd::kComplete;
}

TransferRecord Transfer::EntryRecord(HINTERNET reply) const {
    TransferRecord record;
    record.target = req_.targetPath;
    record.size = req_.expectedSize;
    record.writeTime = ToU64(req_.fileTime);
    if (reply) {
        const Validator validator = ReplyValidator(reply);
        record.validatorKind = validator.kind;
        record.validator = validator.text;
    }
    return record;
}

bool Transfer::OpenPartial(HINTERNET reply) { return files_.Open(EntryRecord(reply)); }

int32_t Transfer::Complete() {
    if (hash_ && !HashMatches(*hash_, req_.sha256)) return DOWNLOAD_ERR_INTERNET;
    if (ToU64(req_.fileTime) != 0) {
        const FILETIME time{req_.fileTime.low, req_.fileTime.high};
        if (!::SetFileTime(files_.partial(), nullptr, nullptr, &time)) return DOWNLOAD_ERR_FILE;
    }
    return 0;
}

}  // namespace tarn
