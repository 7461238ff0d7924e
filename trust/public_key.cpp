#include "trust/public_key.h"

namespace tarn::trust {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool ParsePublicKeyText(const std::string& text, PublicKey* key) {
    const size_t prefix = sizeof kPublicKeyPrefix - 1;
    if (text.size() != kPublicKeyTextLength || text.compare(0, prefix, kPublicKeyPrefix) != 0) return false;
    PublicKey parsed;
    for (size_t i = 0; i < kPublicKeySize; ++i) {
        const int high = HexValue(text[prefix + 2 * i]);
        const int low = HexValue(text[prefix + 2 * i + 1]);
        if (high < 0 || low < 0) return false;
        parsed[i] = static_cast<uint8_t>(high << 4 | low);
    }
    *key = parsed;
    return true;
}

std::string HexText(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0xF]);
    }
    return out;
}

std::string FormatPublicKeyText(const PublicKey& key) {
    return kPublicKeyPrefix + HexText(key.data(), key.size());
}

}  // namespace tarn::trust
