#include "tools/update-catalogue/publish/served_layout.h"

#include <algorithm>
#include <cctype>

namespace tarn::tool {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    for (size_t i = 0; prefix[i]; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

}  // namespace

bool SplitHttpUrl(const std::string& url, std::string* origin, std::string* path, std::string* why) {
    size_t hostStart;
    if (StartsWithNoCase(url, "http://")) {
        hostStart = 7;
    } else if (StartsWithNoCase(url, "https://")) {
        hostStart = 8;
    } else {
        *why = "not an http:// or https:// URL";
        return false;
    }
    if (url.find_first_of("?#") != std::string::npos) {
        *why = "holds a query or a fragment ('?' or '#'), which is not part of the path a server looks up";
        return false;
    }
    const size_t slash = url.find('/', hostStart);
    const size_t hostEnd = slash == std::string::npos ? url.size() : slash;
    if (hostEnd == hostStart) {
        *why = "no host";
        return false;
    }
    *origin = url.substr(0, hostEnd);
    *path = url.substr(hostEnd);
    return true;
}

bool ServedFolders(const std::string& urlPath, std::vector<std::string>* folders, std::string* why) {
    folders->clear();
    if (urlPath.empty() || urlPath.front() != '/') {
        *why = "its path does not begin with '/'";
        return false;
    }
    if (urlPath.back() != '/') {
        *why = "its path does not end with '/', so file names would be glued to its last name";
        return false;
    }
    if (urlPath.size() == 1) return true;
    for (const std::string& segment : Split(urlPath.substr(1, urlPath.size() - 2), '/')) {
        std::string name;
        for (size_t i = 0; i < segment.size(); ++i) {
            if (segment[i] != '%') {
                name += segment[i];
                continue;
            }
            const int hi = i + 2 < segment.size() ? HexValue(segment[i + 1]) : -1;
            const int lo = hi >= 0 ? HexValue(segment[i + 2]) : -1;
            if (lo < 0) {
                *why = "broken percent escape in its path";
                return false;
            }
            name += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (name.empty() || name == "." || name == "..") {
            *why = "its path holds an empty, '.' or '..' segment, which a server rewrites before it looks for files";
            return false;
        }
        if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
            *why = "its path holds an escaped '/' or NUL, which no folder name can hold";
            return false;
        }
        folders->push_back(name);
    }
    return true;
}

std::string FileRequestTarget(const std::string& baseUrlPath, const std::string& cataloguePath) {
    std::string target = baseUrlPath;
    for (char c : cataloguePath) {
        if (c == '\\')
            target += '/';
        else if (c == ' ')
            target += "%20";
        else
            target += c;
    }
    return target;
}

std::vector<std::string> ServedLocation(const std::vector<std::string>& folders, const std::string& cataloguePath) {
    std::vector<std::string> location = folders;
    for (std::string& name : Split(cataloguePath, '\\')) location.push_back(std::move(name));
    return location;
}

std::vector<std::string> CatalogueLocation() {
    return Split(std::string(kCatalogueUrlPath).substr(1), '/');
}

std::vector<std::string> SignatureLocation() {
    std::vector<std::string> location = CatalogueLocation();
    location.back() += kSignatureSuffix;
    return location;
}

bool LocationsClash(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    const size_t n = std::min(a.size(), b.size());
    return std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin());
}

std::string JoinLocation(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
    return joined;
}

}  // namespace tarn::tool
