#include <errno.h>
#include <iconv.h>

#include "platform/codepage.h"

namespace tarn {

namespace {

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string result(in.size() * 4 + 4, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = &result[0];
    size_t dstLeft = result.size();
    const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || srcLeft != 0) return false;
    result.resize(result.size() - dstLeft);
    *out = result;
    return true;
}

}  // namespace

bool Utf8ToCp949(const std::string& utf8, std::string* cp949) { return Convert("CP949", "UTF-8", utf8, cp949); }
bool Cp949ToUtf8(const std::string& cp949, std::string* utf8) { return Convert("UTF-8", "CP949", cp949, utf8); }

}  // namespace tarn
