#pragma once
// Bounded text helpers for the fixed-size text fields of the engine, and CP949 (Korean ANSI code
// page) character walks. Nothing else writes into a fixed-size text field.
#include <cstddef>
#include <cstdarg>

namespace tarn {

// Copies src into dst[cap] and always terminates it. Returns false (and copies a cut,
// terminated prefix) when src does not fit.
bool CopyText(char* dst, size_t cap, const char* src);

// Copies the first len bytes of src (which need not be terminated) into dst[cap].
bool CopyBytesAsText(char* dst, size_t cap, const char* src, size_t len);

// printf-style formatting into dst[cap]; false when the result was cut.
bool FormatText(char* dst, size_t cap, const char* format, ...) __attribute__((format(printf, 3, 4)));
bool FormatTextV(char* dst, size_t cap, const char* format, va_list args);

template <size_t N> bool CopyText(char (&dst)[N], const char* src) { return CopyText(dst, N, src); }

// CP949: a lead byte 0x81..0xFE starts a double-byte character; its trail byte may be anything
// but NUL. Everything else is a single-byte character.
inline bool IsCp949LeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Advances past one character; never steps over the terminating NUL.
inline const char* NextChar(const char* p) {
    if (IsCp949LeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') return p + 2;
    return *p ? p + 1 : p;
}

// Last backslash character of text (a backslash byte that is a trail byte does not count),
// or nullptr.
const char* FindLastBackslash(const char* text);
// First backslash character at or after text, or nullptr.
const char* FindBackslash(const char* text);
// Whether needle occurs in text starting on a character boundary of text.
const char* FindTextByChars(const char* text, const char* needle);

}  // namespace tarn
