#pragma once
// UTF-16 conversions for the tool's Windows file work.
#include <string>

#include "platform/win32.h"

namespace tarn::tool {

// False when text is not valid in codePage or, towards a code page other than UTF-8, when a
// character has no exact mapping there.
bool WideFromCodePage(UINT codePage, const std::string& text, std::wstring* wide);
bool WideToCodePage(UINT codePage, const std::wstring& wide, std::string* text);

}  // namespace tarn::tool
