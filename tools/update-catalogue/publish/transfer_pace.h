#pragma once
// The updater's limits on a transfer, applied by verify so that it passes only what the updater
// takes: nothing received for 20 seconds ends a request (its receive time-out), and so do fewer
// than 16 KB in any of the consecutive 30-second windows from the request's start.
#include <cstdint>
#include <string>

namespace tarn::tool {

constexpr uint64_t kSilenceLimitMs = 20000;
constexpr uint64_t kPaceWindowMs = 30000;
constexpr uint64_t kMinBytesPerPaceWindow = 16 * 1024;

class TransferPace {
public:
    explicit TransferPace(uint64_t startMs) : lastByteMs_(startMs), windowStartMs_(startMs) {}
    // Called with the time and the bytes received so far; false, with why, once a limit is passed.
    bool Update(uint64_t nowMs, uint64_t received, std::string* why);

private:
    uint64_t lastByteMs_;
    uint64_t lastReceived_ = 0;
    uint64_t windowStartMs_;
    uint64_t windowReceived_ = 0;
};

}  // namespace tarn::tool
