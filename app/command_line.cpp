#include "app/command_line.h"

#include <cstring>

#include "app/app_names.h"

namespace tarn {

const char* CommandLineTail(const char* commandLine) {
    if (commandLine == nullptr) return "";
    // Unsigned, so that CP949 bytes (0x81 and above) count as part of a word. A quote or a blank
    // is never the trail byte of a CP949 character, so a byte walk finds the same boundaries.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p > ' ') ++p;
    }
    while (*p != '\0' && *p <= ' ') ++p;
    return reinterpret_cast<const char*>(p);
}

bool IsRestartTail(const char* tail) {
    return tail != nullptr && std::strcmp(tail, kRestartArgument) == 0;
}

}  // namespace tarn
