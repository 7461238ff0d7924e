#pragma once
// Several file transfers of the plan in flight: the file the driver asks for and the next ones,
// each on a thread of its own into its own partial file, so that a distant server's round trips
// overlap. Nothing is placed here and nothing reaches the window: the worker takes each file in
// the plan's order, reports it and places it. Memory: one block buffer per transfer in flight.
// Windows only.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/transfer_win32.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace tarn {

// The most transfers a worker keeps in flight.
constexpr int kMaxTransfersInFlight = 8;

// One file transfer on its own thread. The worker's thread reads its state; the transfer's thread
// writes it.
class FileSlot final : public TransferReports {
public:
    FileSlot(HINTERNET session, const Request& req, int32_t index, std::atomic<int64_t>& runBytes, int blockRanges);
    ~FileSlot();
    bool Start();

    // Signalled when the transfer has started and when it has ended.
    HANDLE changed() const { return changed_.get(); }
    bool started() const { return started_.load(std::memory_order_acquire); }
    int64_t received() const { return received_.load(std::memory_order_relaxed); }
    bool done() const { return done_.load(std::memory_order_acquire); }
    // Once done: 0 when the file is ready to be placed, else the failure sub-code.
    int32_t failure() const { return failure_; }
    // Once done.
    Transfer& transfer() { return transfer_; }
    const Request& request() const { return req_; }
    int32_t index() const { return index_; }
    void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    // Whether the thread has ended, waiting at most `ms`.
    bool Join(DWORD ms);

    void Started() override;
    void Received(int64_t received, bool last) override;
    bool Cancelled() override { return cancelled_.load(std::memory_order_relaxed); }

private:
    static unsigned __stdcall Run(void* self);

    const Request req_;
    const int32_t index_;
    std::unique_ptr<char[]> buffer_;
    Transfer transfer_;
    UniqueKernelHandle changed_;
    UniqueKernelHandle thread_;
    std::atomic<bool> started_{false};
    std::atomic<int64_t> received_{0};
    std::atomic<bool> done_{false};
    std::atomic<bool> cancelled_{false};
    int32_t failure_ = 0;
};

class TransferScheduler {
public:
    // `inFlight`: 1 to kMaxTransfersInFlight; 1 fetches each file only when it is asked for.
    // With `blockMaps`, each file transfer may build its file from a block map (Transfer), with up
    // to `inFlight` requests for its changed blocks at once.
    TransferScheduler(HINTERNET session, int inFlight, bool blockMaps);
    TransferScheduler(const TransferScheduler&) = delete;
    TransferScheduler& operator=(const TransferScheduler&) = delete;
    // Cancels every transfer still in flight; each keeps what it has for a later run.
    ~TransferScheduler();

    // The transfer of `req`, the plan's entry `index` (-1: none), started now unless one is
    // already under way for it; null when no thread could be started. Then starts the plan's next
    // entries, as many as there is room for.
    FileSlot* Take(const Request& req, int32_t index);
    // Frees a slot Take gave, once it is done.
    void Release(FileSlot* slot);

private:
    void FillAhead(const Request& current, int32_t index);
    std::unique_ptr<FileSlot> NewSlot(const Request& req, int32_t index);

    HINTERNET session_;
    const int inFlight_;
    const bool blockMaps_;
    std::atomic<int64_t> runBytes_{0};
    std::vector<std::unique_ptr<FileSlot>> slots_;
};

}  // namespace tarn
