// CP949 <-> UTF-8 on Windows, through UTF-16. Code page 949 is named explicitly, so the result
// does not depend on the system's ANSI code page.
#include <string>

#include "platform/codepage.h"
#include "platform/win32.h"

namespace tarn {

namespace {

constexpr UINT kCp949 = 949;

bool ToWide(UINT codePage, const std::string& in, std::wstring* out) {
    out->clear();
    if (in.empty()) return true;
    const int n =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), &(*out)[0], n) ==
           n;
}

bool FromWide(UINT codePage, const std::wstring& in, std::string* out) {
    out->clear();
    if (in.empty()) return true;
    // UTF-8 takes no substitution flags; for CP949 a character without a mapping must fail
    // instead of turning into '?' or a look-alike.
    BOOL usedDefault = FALSE;
    BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n =
        WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    out->resize(static_cast<size_t>(n));
    return WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), &(*out)[0], n, nullptr, used) ==
               n &&
           !usedDefault;
}

}  // namespace

bool Utf8ToCp949(const std::string& utf8, std::string* cp949) {
    std::wstring wide;
    std::string result;
    if (!ToWide(CP_UTF8, utf8, &wide) || !FromWide(kCp949, wide, &result)) return false;
    *cp949 = result;
    return true;
}

bool Cp949ToUtf8(const std::string& cp949, std::string* utf8) {
    std::wstring wide;
    std::string result;
    if (!ToWide(kCp949, cp949, &wide) || !FromWide(CP_UTF8, wide, &result)) return false;
    *utf8 = result;
    return true;
}

}  // namespace tarn
