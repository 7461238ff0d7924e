#include "tools/update-catalogue/publish/transfer_pace.h"

namespace tarn::tool {

bool TransferPace::Update(uint64_t nowMs, uint64_t received, std::string* why) {
    if (received > lastReceived_) {
        lastReceived_ = received;
        lastByteMs_ = nowMs;
    }
    if (nowMs - lastByteMs_ >= kSilenceLimitMs) {
        *why = "nothing received for 20 seconds: the updater's receive time-out ends the transfer";
        return false;
    }
    if (nowMs - windowStartMs_ < kPaceWindowMs) return true;
    if (received - windowReceived_ < kMinBytesPerPaceWindow) {
        *why = "fewer than 16 KB in 30 seconds: the updater ends a transfer that slow";
        return false;
    }
    windowStartMs_ = nowMs;
    windowReceived_ = received;
    return true;
}

}  // namespace tarn::tool
