#pragma once
// Turning the bytes the tool meets (CP949 catalogue texts, host file names) into UTF-8 lines.
#include <cstdint>
#include <string>

#include "engine/update_types.h"

namespace tarn::tool {

// Valid UTF-8 is kept; invalid bytes and control characters are written as \xNN.
std::string SanitizeUtf8(const std::string& bytes);

// A CP949 text in UTF-8; bytes that are not CP949 are written as \xNN.
std::string Cp949ForDisplay(const std::string& cp949);

// "2009-03-07 05:05:08" for a file time, in UTC.
std::string FormatUtc(FileTime time);

}  // namespace tarn::tool
