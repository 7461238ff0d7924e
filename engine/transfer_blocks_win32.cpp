// A file built from a block map: the blocks the old file already holds are copied from it, the
// others are asked for with Range, in the new file's order, into the transfer's partial file. The
// whole file's SHA-256 must then be the map's (and, signed, the signed one, which the map's must
// equal); anything amiss ends with BlockEnd::kWhole and the caller fetches the file whole.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "blockmap/block_map.h"
#include "blockmap/block_match.h"
#include "engine/download_job.h"
#include "engine/download_worker_win32.h"
#include "engine/transfer_win32.h"
#include "transfer/resume_rules.h"

namespace tarn {
namespace {

constexpr char kMapSuffix[] = ".tarnblocks";

// The old file as the matcher reads it, from where it stands.
class HandleSource final : public blockmap::ByteSource {
public:
    explicit HandleSource(HANDLE file) : file_(file) {}
    bool Read(uint8_t* data, size_t size, size_t* got, std::string* error) override {
        DWORD n = 0;
        if (!::ReadFile(file_, data, static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30)), &n, nullptr)) {
            *error = "the old file cannot be read";
            return false;
        }
        *got = n;
        return true;
    }

private:
    HANDLE file_;
};

bool SeekTo(HANDLE file, uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

Transfer::BlockEnd Transfer::AssembleFromBlocks() {
    // The old file stays readable, writable and renamable for others meanwhile: it is only read.
    UniqueFileHandle old(::CreateFileA(req_.targetPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    // A read-only target fails as it does without a map.
    if (IsReadOnlyFile(req_.targetPath) || !old || !::GetFileSizeEx(old.get(), &size) || size.QuadPart < kMinBlockMapFileSize) return BlockEnd::kWhole;
    return Assemble(old.get());
}

Transfer::BlockEnd Transfer::Assemble(HANDLE old) {
    std::vector<uint8_t> data;
    if (!FetchBlockMap(&data)) return BlockEnd::kWhole;
    blockmap::BlockMap map;
    if (blockmap::ParseBlockMap(data.data(), data.size(), &map) != blockmap::MapVerdict::kOk ||
        map.fileSize != static_cast<uint64_t>(req_.expectedSize) || (hash_ && map.wholeHash != req_.sha256))
        return BlockEnd::kWhole;
    data = {};
    blockmap::MatchResult match;
    HandleSource source(old);
    std::string error;
    // Nothing of the old file in the new one: the plain request costs no more.
    if (!blockmap::MatchBlocks(map, source, &match, &error) || match.copyBytes == 0) return BlockEnd::kWhole;

    started_ = true;
    reports_.Started();
    trust::Sha256Stream whole;
    for (const blockmap::Run& run : match.runs) {
        if (reports_.Cancelled()) return BlockEnd::kWhole;
        if (run.kind == blockmap::Run::kCopy) {
            if (!files_.isOpen() && !OpenPartial(nullptr)) return BlockEnd::kWhole;
            if (!CopyOldBytes(old, run.oldOffset, run.length, whole)) return BlockEnd::kWhole;
            continue;
        }
        bool wholeBody = false;
        if (FetchRange(run.newOffset, run.length, whole, &wholeBody) == BlockEnd::kWhole) return BlockEnd::kWhole;
        // The server sent the whole file instead of the range: that is the file.
        if (wholeBody) return BlockEnd::kAssembled;
    }
    reports_.Received(received_, true);
    trust::Digest digest;
    if (received_ != req_.expectedSize || !whole.Finish(&digest) || digest != map.wholeHash) return BlockEnd::kWhole;
    return BlockEnd::kAssembled;
}

bool Transfer::FetchBlockMap(std::vector<uint8_t>* map) {
    std::string url = req_.url;
    url += kMapSuffix;
    UniqueInternetHandle remote = OpenUrl(session_, url.c_str(), nullptr);
    if (!remote || ReplyStatus(remote.get()) != HTTP_STATUS_OK) return false;
    const int64_t length = ReplyLength(remote.get(), buffer_);
    if (length <= 0 || static_cast<uint64_t>(length) > blockmap::kMaxMapBytes) return false;
    map->resize(static_cast<size_t>(length));
    size_t have = 0;
    while (have < map->size()) {
        if (reports_.Cancelled()) return false;
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(map->size() - have < kBlockSize ? map->size() - have : kBlockSize);
        if (!::InternetReadFile(remote.get(), map->data() + have, want, &got) || got == 0) return false;
        have += got;
    }
    return true;
}

bool Transfer::CopyOldBytes(HANDLE old, uint64_t from, uint64_t length, trust::Sha256Stream& whole) {
    if (!SeekTo(old, from)) return false;
    while (length > 0) {
        const DWORD want = static_cast<DWORD>(length < kBlockSize ? length : kBlockSize);
        DWORD got = 0;
        DWORD written = 0;
        if (!::ReadFile(old, buffer_, want, &got, nullptr) || got != want) return false;
        if (!::WriteFile(files_.partial(), buffer_, got, &written, nullptr) || written != got) return false;
        if (hash_) hash_->Update(buffer_, got);
        whole.Update(buffer_, got);
        received_ += got;
        length -= got;
        reports_.Received(received_, false);
    }
    return true;
}

Transfer::BlockEnd Transfer::FetchRange(uint64_t first, uint64_t length, trust::Sha256Stream& whole, bool* wholeBody) {
    char headers[96];
    std::snprintf(headers, sizeof headers, "Range: bytes=%" PRIu64 "-%" PRIu64 "\r\n", first, first + length - 1);
    UniqueInternetHandle remote = OpenUrl(session_, req_.url, headers);
    if (!remote) return BlockEnd::kWhole;
    const DWORD status = ReplyStatus(remote.get());
    const int64_t announced = ReplyLength(remote.get(), buffer_);
    if (status == HTTP_STATUS_OK && announced == req_.expectedSize) {
        // Range ignored: the body is the whole file, from byte 0 into a new partial file that a
        // later run may continue.
        StartOver();
        if (!OpenPartial(remote.get()) || !ReadReply(remote.get(), static_cast<uint64_t>(req_.expectedSize), nullptr))
            return BlockEnd::kWhole;
        *wholeBody = true;
        return BlockEnd::kAssembled;
    }
    char range[128] = {};
    DWORD rangeSize = sizeof range - 1;
    ContentRange parsed;
    if (status != HTTP_STATUS_PARTIAL_CONTENT || announced != static_cast<int64_t>(length) ||
        !::HttpQueryInfoA(remote.get(), HTTP_QUERY_CONTENT_RANGE, range, &rangeSize, nullptr) ||
        !ParseContentRange(range, &parsed) || parsed.first != static_cast<int64_t>(first) ||
        parsed.last != static_cast<int64_t>(first + length - 1) || parsed.complete != req_.expectedSize)
        return BlockEnd::kWhole;
    // Bytes put together from the old file and ranges have no single reply's validator: a file
    // built from blocks is never continued by a later run, which builds it again.
    if (!files_.isOpen() && !OpenPartial(nullptr)) return BlockEnd::kWhole;
    return ReadReply(remote.get(), length, &whole) ? BlockEnd::kAssembled : BlockEnd::kWhole;
}

// Exactly `length` bytes of the reply at the partial file's end, under the same bounds as any
// transfer: the receive time-out for each wait, the slow-transfer bound over all transfers.
bool Transfer::ReadReply(HINTERNET remote, uint64_t length, trust::Sha256Stream* whole) {
    DWORD windowStart = ::GetTickCount();
    int64_t runBytesAtWindowStart = runBytes_.load(std::memory_order_relaxed);
    while (length > 0) {
        if (reports_.Cancelled()) return false;
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(remote, &available, 0, 0) || available == 0) return false;
        DWORD want = available < kBlockSize ? available : kBlockSize;
        if (want > length) want = static_cast<DWORD>(length);
        DWORD got = 0;
        DWORD written = 0;
        if (!::InternetReadFile(remote, buffer_, want, &got) || got == 0) return false;
        if (!::WriteFile(files_.partial(), buffer_, got, &written, nullptr) || written != got) return false;
        if (hash_) hash_->Update(buffer_, got);
        if (whole) whole->Update(buffer_, got);
        received_ += got;
        length -= got;
        const int64_t runBytes = runBytes_.fetch_add(got, std::memory_order_relaxed) + got;
        reports_.Received(received_, false);
        const DWORD now = ::GetTickCount();
        if (length > 0 && now - windowStart >= kProgressWindowMs) {
            if (runBytes - runBytesAtWindowStart < kMinBytesPerWindow) return false;
            windowStart = now;
            runBytesAtWindowStart = runBytes;
        }
    }
    return true;
}

}  // namespace tarn
