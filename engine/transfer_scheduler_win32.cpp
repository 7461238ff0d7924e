#include "engine/transfer_scheduler_win32.h"

#include <process.h>
#include <cstring>

#include "base/text.h"
#include "engine/download_job.h"

namespace tarn {
namespace {

// How long the end of a run waits for cancelled transfers to keep their bytes; a transfer still
// waiting for its server then is left to the process's end, like a kill.
constexpr DWORD kCancelWaitMs = 2000;

// The plan's entry as a request of the worker's.
bool PlannedFileRequest(int32_t index, HWND window, Request* out) {
    const PlannedRequest& p = g_downloadPlan.requests[index];
    if (p.url[0] == '\0') return false;
    out->window = window;
    CopyBytesAsText(out->url, sizeof out->url, p.url, strnlen(p.url, sizeof p.url - 1));
    CopyBytesAsText(out->targetPath, sizeof out->targetPath, p.targetPath,
                    strnlen(p.targetPath, sizeof p.targetPath - 1));
    out->expectedSize = p.expectedSize;
    out->fileTime = p.fileTime;
    out->checkHash = p.checkHash != 0;
    std::memcpy(out->sha256.data(), p.sha256, out->sha256.size());
    out->resumeFrom = p.resumeFrom;
    CopyBytesAsText(out->resumeStem, sizeof out->resumeStem, p.resumeStem,
                    strnlen(p.resumeStem, sizeof p.resumeStem - 1));
    return true;
}

}  // namespace

FileSlot::FileSlot(HINTERNET session, const Request& req, int32_t index, std::atomic<int64_t>& runBytes,
                   int blockRanges)
    : req_(req),
      index_(index),
      buffer_(new char[kBlockSize]),
      transfer_(session, req_, buffer_.get(), *this, runBytes, blockRanges),
      changed_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

FileSlot::~FileSlot() = default;

bool FileSlot::Start() {
    if (!changed_) return false;
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, Run, this, 0, nullptr);
    if (thread == 0) return false;
    thread_.reset(reinterpret_cast<HANDLE>(thread));
    return true;
}

unsigned __stdcall FileSlot::Run(void* self) {
    auto* slot = static_cast<FileSlot*>(self);
    int32_t failure = DOWNLOAD_ERR_FILE;
    try {
        failure = slot->transfer_.Fetch();
    } catch (...) {
        // Nothing may leave the thread; the request has failed.
    }
    slot->failure_ = failure;
    slot->done_.store(true, std::memory_order_release);
    ::SetEvent(slot->changed_.get());
    return 0;
}

bool FileSlot::Join(DWORD ms) { return !thread_ || ::WaitForSingleObject(thread_.get(), ms) == WAIT_OBJECT_0; }

void FileSlot::Started() {
    started_.store(true, std::memory_order_release);
    ::SetEvent(changed_.get());
}

void FileSlot::Received(int64_t received, bool) { received_.store(received, std::memory_order_relaxed); }

TransferScheduler::TransferScheduler(HINTERNET session, int inFlight, bool blockMaps)
    : session_(session),
      inFlight_(inFlight < 1 ? 1 : inFlight > kMaxTransfersInFlight ? kMaxTransfersInFlight : inFlight),
      blockMaps_(blockMaps) {}

TransferScheduler::~TransferScheduler() {
    for (auto& slot : slots_) slot->Cancel();
    const DWORD begin = ::GetTickCount();
    for (auto& slot : slots_) {
        const DWORD spent = ::GetTickCount() - begin;
        // A thread still running owns its slot until the process ends.
        if (!slot->Join(spent < kCancelWaitMs ? kCancelWaitMs - spent : 0)) (void)slot.release();
    }
}

std::unique_ptr<FileSlot> TransferScheduler::NewSlot(const Request& req, int32_t index) {
    auto slot = std::make_unique<FileSlot>(session_, req, index, runBytes_, blockMaps_ ? inFlight_ : 0);
    if (!slot->Start()) return nullptr;
    return slot;
}

FileSlot* TransferScheduler::Take(const Request& req, int32_t index) {
    FileSlot* taken = nullptr;
    for (auto& slot : slots_)
        if (index >= 0 && slot->index() == index && SameRequest(slot->request(), req)) taken = slot.get();
    if (!taken) {
        // Whatever was fetched ahead for this entry is not what is asked for now.
        for (auto& slot : slots_)
            if (slot->index() == index) slot->Cancel();
        auto slot = NewSlot(req, index);
        if (!slot) return nullptr;
        taken = slot.get();
        slots_.push_back(std::move(slot));
    }
    FillAhead(req, index);
    return taken;
}

void TransferScheduler::Release(FileSlot* slot) {
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        if (it->get() != slot) continue;
        if (!slot->Join(INFINITE)) (void)it->release();
        slots_.erase(it);
        return;
    }
}

void TransferScheduler::FillAhead(const Request& current, int32_t index) {
    const int32_t planned = g_downloadPlan.count.load(std::memory_order_acquire);
    if (index < 0 || index >= planned) return;
    // Only a request that is the plan's own entry shows that the plan is the one being served.
    Request entry;
    if (!PlannedFileRequest(index, current.window, &entry) || !SameRequest(entry, current)) return;
    for (int32_t next = index + 1; next < planned && next < index + inFlight_; ++next) {
        if (static_cast<int>(slots_.size()) >= inFlight_) return;
        bool present = false;
        for (auto& slot : slots_) present = present || slot->index() == next;
        if (present || !PlannedFileRequest(next, current.window, &entry)) continue;
        auto slot = NewSlot(entry, next);
        if (!slot) return;
        slots_.push_back(std::move(slot));
    }
}

}  // namespace tarn
