#include "base/text.h"

#include <cstdio>
#include <cstring>

namespace tarn {

bool CopyText(char* dst, size_t cap, const char* src) {
    return CopyBytesAsText(dst, cap, src, std::strlen(src));
}

bool CopyBytesAsText(char* dst, size_t cap, const char* src, size_t len) {
    if (cap == 0) return false;
    const bool fits = len < cap;
    const size_t n = fits ? len : cap - 1;
    std::memmove(dst, src, n);
    dst[n] = '\0';
    return fits;
}

bool FormatTextV(char* dst, size_t cap, const char* format, va_list args) {
    if (cap == 0) return false;
    const int n = std::vsnprintf(dst, cap, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<size_t>(n) < cap;
}

bool FormatText(char* dst, size_t cap, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool ok = FormatTextV(dst, cap, format, args);
    va_end(args);
    return ok;
}

const char* FindLastBackslash(const char* text) {
    const char* last = nullptr;
    for (const char* p = text; *p; p = NextChar(p))
        if (*p == '\\') last = p;
    return last;
}

const char* FindBackslash(const char* text) {
    for (const char* p = text; *p; p = NextChar(p))
        if (*p == '\\') return p;
    return nullptr;
}

const char* FindTextByChars(const char* text, const char* needle) {
    const size_t n = std::strlen(needle);
    for (const char* p = text; *p; p = NextChar(p))
        if (std::strncmp(p, needle, n) == 0) return p;
    return n == 0 ? text : nullptr;
}

}  // namespace tarn
