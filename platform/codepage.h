#pragma once
// CP949 <-> UTF-8 conversion for hosts whose file names are UTF-8 (POSIX builds, the
// publisher's tool). Both return false when the text cannot be converted or does not fit.
#include <string>

namespace tarn {

bool Utf8ToCp949(const std::string& utf8, std::string* cp949);
bool Cp949ToUtf8(const std::string& cp949, std::string* utf8);

}  // namespace tarn
