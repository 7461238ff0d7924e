#include "tools/update-catalogue/display_text.h"

#include <cstdio>

#include "base/text.h"
#include "platform/codepage.h"

namespace tarn::tool {

namespace {

void AppendEscaped(std::string* out, unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    *out += buf;
}

// Length of the valid UTF-8 sequence at s[i], or 0 (no overlongs, surrogates or values past
// U+10FFFF).
size_t Utf8SequenceLength(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

std::string SanitizeUtf8(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                AppendEscaped(&out, c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t n = Utf8SequenceLength(bytes, i);
        if (n == 0) {
            AppendEscaped(&out, c);
            ++i;
            continue;
        }
        out.append(bytes, i, n);
        i += n;
    }
    return out;
}

std::string Cp949ForDisplay(const std::string& cp949) {
    std::string utf8;
    if (Cp949ToUtf8(cp949, &utf8)) return SanitizeUtf8(utf8);
    // Character by character, so that one stray byte does not hide the rest of the text.
    std::string out;
    for (size_t i = 0; i < cp949.size();) {
        const size_t n = (IsCp949LeadByte(static_cast<unsigned char>(cp949[i])) && i + 1 < cp949.size()) ? 2 : 1;
        const std::string one = cp949.substr(i, n);
        std::string converted;
        if (Cp949ToUtf8(one, &converted)) {
            out += SanitizeUtf8(converted);
        } else {
            for (char c : one) AppendEscaped(&out, static_cast<unsigned char>(c));
        }
        i += n;
    }
    return out;
}

std::string FormatUtc(FileTime time) {
    const uint64_t seconds = ToU64(time) / 10000000ULL;
    // Days since 1970-01-01 (1601 to 1970 is 134774 days), then the civil-from-days algorithm.
    int64_t z = static_cast<int64_t>(seconds / 86400) - 134774 + 719468;
    const int64_t secondOfDay = static_cast<int64_t>(seconds % 86400);
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return buf;
}

}  // namespace tarn::tool
