#include "engine/path_rules.h"

#include <cctype>
#include <cstring>

#include "base/text.h"
#include "trust/release_state.h"

namespace tarn {

namespace {

const char* const kExcludedFolders[] = {"part", "log", "archive_temp", "database", "previewtemp"};

bool EqualsIgnoreAsciiCase(const char* a, size_t len, const char* b) {
    if (std::strlen(b) != len) return false;
    for (size_t i = 0; i < len; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$: Windows opens the device whatever folder
// or extension is given. The base name ends at the first dot; blanks before it are ignored too.
bool IsReservedDeviceName(const char* component, size_t len) {
    size_t base = 0;
    while (base < len && component[base] != '.') ++base;
    while (base > 0 && component[base - 1] == ' ') --base;
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : kNames)
        if (EqualsIgnoreAsciiCase(component, base, name)) return true;
    if (base == 4 && (EqualsIgnoreAsciiCase(component, 3, "COM") || EqualsIgnoreAsciiCase(component, 3, "LPT")))
        return component[3] >= '1' && component[3] <= '9';
    return false;
}

char FoldNameByte(char c) {
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    return c == '/' ? '\\' : c;
}

}  // namespace

const char* SkipFolderPrefix(const char* path, const char* folder) {
    const char* p = path;
    for (const char* f = folder; *f != '\0';) {
        const char* nextF = NextChar(f);
        const char* nextP = NextChar(p);
        if (nextF - f != nextP - p) return nullptr;
        if (nextF - f == 2 ? (f[0] != p[0] || f[1] != p[1]) : FoldNameByte(*f) != FoldNameByte(*p)) return nullptr;
        f = nextF;
        p = nextP;
    }
    return p;
}

bool IsExcludedFolderName(const char* name) {
    for (const char* excluded : kExcludedFolders)
        if (std::strcmp(name, excluded) == 0) return true;
    return false;
}

bool ContainsIfu(const char* name) { return FindTextByChars(name, "IFU") != nullptr; }

bool IsUnsafeCataloguePath(const char* path, const char** why) {
    const char* dummy;
    if (!why) why = &dummy;
    if (path[0] == '\0') return *why = "empty path", true;
    if (path[0] == '\\' || path[0] == '/') return *why = "absolute path", true;
    // A colon anywhere: drive letters ("C:x"), alternate data streams ("a:stream").
    for (const char* p = path; *p; p = NextChar(p))
        if (*p == ':') return *why = "':' in path (drive or data stream)", true;

    const char* start = path;
    for (const char* p = path;; p = NextChar(p)) {
        if (*p != '\\' && *p != '/' && *p != '\0') continue;
        const size_t len = static_cast<size_t>(p - start);
        if (len == 0) return *why = "empty path component", true;
        if (len == 2 && start[0] == '.' && start[1] == '.') return *why = "'..' component", true;
        if (start[len - 1] == '.' || start[len - 1] == ' ')
            return *why = "component ending in '.' or ' '", true;
        if (IsReservedDeviceName(start, len)) return *why = "reserved device name", true;
        if (*p == '\0') break;
        start = p + 1;
    }
    return false;
}

bool IsReleaseStateName(const char* path) {
    size_t len = 0;
    while (path[len] != '\0' && path[len] != '\\' && path[len] != '/') ++len;
    if (EqualsIgnoreAsciiCase(path, len, trust::kReleaseStateFileName)) return true;
    // Its 8.3 short name, "TARNFI~1.STA" or, after many like names, "TA" with a hash and "~5".
    if (len < 8 || !EqualsIgnoreAsciiCase(path + len - 4, 4, ".STA") || !EqualsIgnoreAsciiCase(path, 2, "TA"))
        return false;
    const size_t base = len - 4;
    size_t tilde = base;
    while (tilde > 2 && path[tilde - 1] >= '0' && path[tilde - 1] <= '9') --tilde;
    return base <= 8 && tilde < base && path[tilde - 1] == '~';
}

}  // namespace tarn
