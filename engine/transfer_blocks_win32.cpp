// A file built from a block map: the blocks the old file already holds are copied from it, the
// others are asked for with Range, several requests in flight, each written at its place in the
// transfer's partial file. The bytes are hashed in the new file's order as the copying reaches
// them; the whole file's SHA-256 must then be the map's (and, signed, the signed one, which the
// map's must equal); anything amiss ends with BlockEnd::kWhole and the caller fetches the file
// whole.
#include <process.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "blockmap/block_map.h"
#include "blockmap/block_match.h"
#include "engine/download_job.h"
#include "engine/download_worker_win32.h"
#include "engine/transfer_win32.h"
#include "transfer/resume_rules.h"

namespace tarn {
namespace {

constexpr char kMapSuffix[] = ".tarnblocks";
// How often the assembling thread, waiting for a range, reports the bytes in place.
constexpr DWORD kWaitReportMs = 30;

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

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// Writes and reads at a place of the file, whatever its file pointer: the partial file is written
// by several threads at once.
bool WriteAt(HANDLE file, uint64_t offset, const char* data, DWORD size) {
    OVERLAPPED at = At(offset);
    DWORD written = 0;
    return ::WriteFile(file, data, size, &written, &at) && written == size;
}

bool ReadAt(HANDLE file, uint64_t offset, char* data, DWORD size) {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    return ::ReadFile(file, data, size, &got, &at) && got == size;
}

// Exactly `length` bytes of a reply, handed to `take` as they arrive, under the bounds every
// transfer keeps: the receive time-out for each wait, the slow-transfer bound over all transfers.
template <typename Stop, typename Take>
bool ReadExactly(HINTERNET remote, uint64_t length, char* buffer, std::atomic<int64_t>& runBytes, Stop stop,
                 Take take) {
    DWORD windowStart = ::GetTickCount();
    int64_t runBytesAtWindowStart = runBytes.load(std::memory_order_relaxed);
    while (length > 0) {
        if (stop()) return false;
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(remote, &available, 0, 0) || available == 0) return false;
        DWORD want = available < kBlockSize ? available : kBlockSize;
        if (want > length) want = static_cast<DWORD>(length);
        DWORD got = 0;
        if (!::InternetReadFile(remote, buffer, want, &got) || got == 0 || !take(buffer, got)) return false;
        length -= got;
        const int64_t moved = runBytes.fetch_add(got, std::memory_order_relaxed) + got;
        const DWORD now = ::GetTickCount();
        if (length > 0 && now - windowStart >= kProgressWindowMs) {
            if (moved - runBytesAtWindowStart < kMinBytesPerWindow) return false;
            windowStart = now;
            runBytesAtWindowStart = moved;
        }
    }
    return true;
}

enum class RangeReply { kPart, kWholeFile, kOther };

// Asks for bytes first..first+length-1 of the file; kPart only for a 206 of exactly those bytes.
RangeReply AskRange(HINTERNET session, const char* url, int64_t fileSize, uint64_t first, uint64_t length,
                    char* buffer, UniqueInternetHandle* remote) {
    char headers[96];
    std::snprintf(headers, sizeof headers, "Range: bytes=%" PRIu64 "-%" PRIu64 "\r\n", first, first + length - 1);
    *remote = OpenUrl(session, url, headers);
    if (!*remote) return RangeReply::kOther;
    const DWORD status = ReplyStatus(remote->get());
    const int64_t announced = ReplyLength(remote->get(), buffer);
    if (status == HTTP_STATUS_OK && announced == fileSize) return RangeReply::kWholeFile;
    char range[128] = {};
    DWORD rangeSize = sizeof range - 1;
    ContentRange parsed;
    if (status != HTTP_STATUS_PARTIAL_CONTENT || announced != static_cast<int64_t>(length) ||
        !::HttpQueryInfoA(remote->get(), HTTP_QUERY_CONTENT_RANGE, range, &rangeSize, nullptr) ||
        !ParseContentRange(range, &parsed) || parsed.first != static_cast<int64_t>(first) ||
        parsed.last != static_cast<int64_t>(first + length - 1) || parsed.complete != fileSize)
        return RangeReply::kOther;
    return RangeReply::kPart;
}

// Bytes first..first+length-1 of the file into their place in `partial`, from `reply` (a 206 for
// them, already asked for) when given, else from a request of its own. A reply cut after it moved
// bytes is followed by a request for the rest, as a whole file's transfer is. `placed` learns of
// every block written.
template <typename Stop, typename Placed>
bool FetchRangeInto(HINTERNET session, const char* url, int64_t fileSize, HANDLE partial, uint64_t first,
                    uint64_t length, char* buffer, std::atomic<int64_t>& runBytes, Stop stop, Placed placed,
                    UniqueInternetHandle reply = UniqueInternetHandle()) {
    uint64_t at = first;
    const uint64_t end = first + length;
    DWORD pause = kRetryPauseMs;
    for (int retries = 0;; ++retries) {
        const uint64_t from = at;
        UniqueInternetHandle remote(std::move(reply));
        if (!remote && AskRange(session, url, fileSize, at, end - at, buffer, &remote) != RangeReply::kPart)
            return false;
        if (ReadExactly(remote.get(), end - at, buffer, runBytes, stop, [&](const char* data, DWORD size) {
                if (!WriteAt(partial, at, data, size)) return false;
                at += size;
                placed(size);
                return true;
            }))
            return true;
        if (stop() || at - from < static_cast<uint64_t>(kMinBytesPerWindow) || retries >= kMaxRetries) return false;
        ::Sleep(pause);
        pause = pause * 2 < kMaxRetryPauseMs ? pause * 2 : kMaxRetryPauseMs;
    }
}

// The fetch runs of one file, asked for by up to `threads` threads at once in the new file's
// order, each run written at its place in the partial file. The assembling thread waits for each
// run in turn. Memory: one read buffer per thread.
class RangeFetches {
public:
    RangeFetches(HINTERNET session, const char* url, int64_t fileSize, HANDLE partial, std::atomic<int64_t>& runBytes)
        : session_(session), url_(url), fileSize_(fileSize), partial_(partial), runBytes_(runBytes),
          changed_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    RangeFetches(const RangeFetches&) = delete;
    RangeFetches& operator=(const RangeFetches&) = delete;
    ~RangeFetches() { StopAndJoin(); }

    void Add(uint64_t first, uint64_t length) { runs_.push_back(std::make_unique<Run>(first, length)); }
    // The run of index `i` needs no thread: it is already in place.
    void MarkDone(size_t i) { runs_[i]->state.store(kDone, std::memory_order_release); }

    // Starts the threads; false when not one could start (the caller gives up on blocks).
    bool Start(int threads) {
        if (!changed_) return false;
        for (int i = 0; i < threads; ++i) {
            // Counted as running before it starts, so that a wait never sees it missing.
            running_.fetch_add(1, std::memory_order_acq_rel);
            const uintptr_t thread = ::_beginthreadex(nullptr, 0, Work, this, 0, nullptr);
            if (thread == 0) {
                running_.fetch_sub(1, std::memory_order_acq_rel);
                break;
            }
            threads_.emplace_back(reinterpret_cast<HANDLE>(thread));
        }
        return !threads_.empty();
    }

    // Waits for run `i`; false when it failed, or nothing will fill it, or `cancelled` says so.
    // `report` is called every few steps while it waits.
    template <typename Cancelled, typename Report>
    bool Wait(size_t i, Cancelled cancelled, Report report) {
        for (;;) {
            const int state = runs_[i]->state.load(std::memory_order_acquire);
            if (state == kDone) return true;
            if (state == kFailed || cancelled() || Idle()) return false;
            ::WaitForSingleObject(changed_.get(), kWaitReportMs);
            report();
        }
    }

    int64_t fetched() const { return fetched_.load(std::memory_order_relaxed); }

    void StopAndJoin() {
        stop_.store(true, std::memory_order_relaxed);
        for (auto& thread : threads_) ::WaitForSingleObject(thread.get(), INFINITE);
        threads_.clear();
    }

private:
    enum : int { kPending, kDone, kFailed };
    struct Run {
        Run(uint64_t f, uint64_t l) : first(f), length(l) {}
        const uint64_t first;
        const uint64_t length;
        std::atomic<int> state{kPending};
    };

    // Every thread has ended although a run is still pending: nothing will fill it.
    bool Idle() const { return running_.load(std::memory_order_acquire) == 0 && !threads_.empty(); }

    static unsigned __stdcall Work(void* self) {
        auto* fetches = static_cast<RangeFetches*>(self);
        try {
            fetches->Fetch();
        } catch (...) {
            // Nothing may leave the thread; the runs it held stay failed.
            fetches->stop_.store(true, std::memory_order_relaxed);
        }
        fetches->running_.fetch_sub(1, std::memory_order_acq_rel);
        ::SetEvent(fetches->changed_.get());
        return 0;
    }

    void Fetch() {
        std::unique_ptr<char[]> buffer(new char[kBlockSize]);
        for (;;) {
            const size_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= runs_.size() || stop_.load(std::memory_order_relaxed)) return;
            Run& run = *runs_[i];
            if (run.state.load(std::memory_order_acquire) == kDone) continue;
            const bool ok = FetchRun(run, buffer.get());
            run.state.store(ok ? kDone : kFailed, std::memory_order_release);
            ::SetEvent(changed_.get());
            // One failed run ends the build: the file comes whole.
            if (!ok) stop_.store(true, std::memory_order_relaxed);
        }
    }

    // A server that answered the first range with 206 and then sends the whole file is not
    // followed: the file comes whole.
    bool FetchRun(const Run& run, char* buffer) {
        return FetchRangeInto(
            session_, url_, fileSize_, partial_, run.first, run.length, buffer, runBytes_,
            [this] { return stop_.load(std::memory_order_relaxed); },
            [this](DWORD size) { fetched_.fetch_add(size, std::memory_order_relaxed); });
    }

    HINTERNET session_;
    const char* url_;
    const int64_t fileSize_;
    HANDLE partial_;
    std::atomic<int64_t>& runBytes_;
    UniqueKernelHandle changed_;
    std::vector<std::unique_ptr<Run>> runs_;
    std::vector<UniqueKernelHandle> threads_;
    std::atomic<size_t> next_{0};
    std::atomic<int> running_{0};
    std::atomic<int64_t> fetched_{0};
    std::atomic<bool> stop_{false};
};

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
    // Bytes put together from the old file and ranges have no single reply's validator: a file
    // built from blocks is never continued by a later run, which builds it again.
    if (!OpenPartial(nullptr)) return BlockEnd::kWhole;
    RangeFetches fetches(session_, req_.url, req_.expectedSize, files_.partial(), runBytes_);
    std::vector<size_t> fetchIndex(match.runs.size(), 0);
    size_t firstFetch = match.runs.size();
    size_t fetchRuns = 0;
    for (size_t i = 0; i < match.runs.size(); ++i) {
        const blockmap::Run& run = match.runs[i];
        if (run.kind == blockmap::Run::kCopy) continue;
        if (firstFetch == match.runs.size()) firstFetch = i;
        fetchIndex[i] = fetchRuns++;
        fetches.Add(run.newOffset, run.length);
    }
    // The bars show the bytes in place, copied or fetched, in whatever order they come.
    int64_t copied = 0;
    int64_t probed = 0;
    int64_t shown = 0;
    const auto report = [&] {
        const int64_t inPlace = copied + probed + fetches.fetched();
        if (inPlace > shown) reports_.Received(shown = inPlace, false);
    };
    if (fetchRuns > 0) {
        // The first range is asked for here, before the others: a server that answers it with the
        // whole file (it ignores Range) has sent the file.
        const blockmap::Run& run = match.runs[firstFetch];
        UniqueInternetHandle remote;
        const RangeReply reply =
            AskRange(session_, req_.url, req_.expectedSize, run.newOffset, run.length, buffer_, &remote);
        if (reply == RangeReply::kWholeFile) {
            StartOver();
            if (!OpenPartial(remote.get())) return BlockEnd::kWhole;
            const bool whole = ReadExactly(remote.get(), static_cast<uint64_t>(req_.expectedSize), buffer_, runBytes_,
                                           [this] { return reports_.Cancelled(); },
                                           [this](const char* data, DWORD size) {
                                               DWORD written = 0;
                                               if (!::WriteFile(files_.partial(), data, size, &written, nullptr) ||
                                                   written != size)
                                                   return false;
                                               if (hash_) hash_->Update(data, size);
                                               received_ += size;
                                               reports_.Received(received_, false);
                                               return true;
                                           });
            return whole ? BlockEnd::kAssembled : BlockEnd::kWhole;
        }
        if (reply != RangeReply::kPart ||
            !FetchRangeInto(
                session_, req_.url, req_.expectedSize, files_.partial(), run.newOffset, run.length, buffer_,
                runBytes_, [this] { return reports_.Cancelled(); },
                [&](DWORD size) {
                    probed += size;
                    report();
                },
                std::move(remote)))
            return BlockEnd::kWhole;
        fetches.MarkDone(0);
        const int threads = static_cast<int>(fetchRuns - 1 < size_t(blockRanges_) ? fetchRuns - 1 : blockRanges_);
        if (threads > 0 && !fetches.Start(threads)) return BlockEnd::kWhole;
    }

    // The file's bytes in order: copied from the old file, or read back where a range put them.
    trust::Sha256Stream whole;
    for (size_t i = 0; i < match.runs.size(); ++i) {
        const blockmap::Run& run = match.runs[i];
        if (reports_.Cancelled()) return BlockEnd::kWhole;
        if (run.kind == blockmap::Run::kCopy) {
            if (!CopyOldBytes(old, run.oldOffset, run.newOffset, run.length, whole, [&](DWORD size) {
                    copied += size;
                    report();
                }))
                return BlockEnd::kWhole;
            continue;
        }
        if (i != firstFetch && !fetches.Wait(fetchIndex[i], [this] { return reports_.Cancelled(); }, report))
            return BlockEnd::kWhole;
        if (!HashFetchedBytes(run.newOffset, run.length, whole)) return BlockEnd::kWhole;
    }
    fetches.StopAndJoin();
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

// The bytes every copy or fetched run adds, in the new file's order, to the hashes and the count.
void Transfer::TakeInOrder(const char* data, DWORD size, trust::Sha256Stream& whole) {
    if (hash_) hash_->Update(data, size);
    whole.Update(data, size);
    received_ += size;
}

bool Transfer::CopyOldBytes(HANDLE old, uint64_t from, uint64_t to, uint64_t length, trust::Sha256Stream& whole,
                            const std::function<void(DWORD)>& copied) {
    if (!SeekTo(old, from)) return false;
    while (length > 0) {
        const DWORD want = static_cast<DWORD>(length < kBlockSize ? length : kBlockSize);
        DWORD got = 0;
        if (!::ReadFile(old, buffer_, want, &got, nullptr) || got != want) return false;
        if (!WriteAt(files_.partial(), to, buffer_, got)) return false;
        TakeInOrder(buffer_, got, whole);
        to += got;
        length -= got;
        copied(got);
    }
    return true;
}

bool Transfer::HashFetchedBytes(uint64_t from, uint64_t length, trust::Sha256Stream& whole) {
    while (length > 0) {
        const DWORD want = static_cast<DWORD>(length < kBlockSize ? length : kBlockSize);
        if (!ReadAt(files_.partial(), from, buffer_, want)) return false;
        TakeInOrder(buffer_, want, whole);
        from += want;
        length -= want;
    }
    return true;
}

}  // namespace tarn
