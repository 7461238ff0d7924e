#include "tools/update-catalogue/release_rules.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "engine/path_rules.h"
#include "base/text.h"
#include "engine/update_types.h"
#include "tools/update-catalogue/display_text.h"
#include "transfer/transfer_names.h"

namespace tarn::tool {

namespace {

bool EndsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Splits a catalogue path into its components by CP949 characters.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    const char* start = path.c_str();
    for (const char* p = start;; p = NextChar(p)) {
        if (*p != '\\' && *p != '\0') continue;
        parts.emplace_back(start, static_cast<size_t>(p - start));
        if (*p == '\0') break;
        start = p + 1;
    }
    return parts;
}

// The first character of path (by CP949 characters) that Windows refuses in a file name, or
// that would change the URL the updater requests; 0 when there is none.
char ForbiddenCharacter(const std::string& path) {
    for (const char* p = path.c_str(); *p; p = NextChar(p)) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || std::strchr("<>\"|?*#%", c)) return static_cast<char>(c);
    }
    return 0;
}

std::string DescribeForbidden(char c) {
    switch (c) {
        case '#':
            return "'#' in a name: the URL the updater requests would end there";
        case '%':
            return "'%' in a name: the server would read it as the start of an escape";
        default:
            break;
    }
    if (static_cast<unsigned char>(c) < 0x20) return "control character in a name: Windows cannot create the file";
    return std::string("'") + c + "' in a name: Windows cannot create the file";
}

// Windows folds letter case in names; ASCII letters are the ones a release usually differs in.
std::string FoldCase(const std::string& path) {
    std::string folded = path;
    for (char* p = &folded[0]; *p; p = const_cast<char*>(NextChar(p)))
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    return folded;
}

void CheckCaseCollisions(const std::vector<ReleaseFile>& files, Findings* findings) {
    struct Seen {
        std::string spelling;  // as first met, CP949
        bool isFolder;
    };
    std::map<std::string, Seen> seen;
    std::map<std::string, bool> reported;
    for (const ReleaseFile& file : files) {
        // The file's own path, then each folder above it.
        std::vector<std::pair<std::string, bool>> names{{file.path, false}};
        for (const char* p = file.path.c_str(); *p; p = NextChar(p))
            if (*p == '\\') names.emplace_back(file.path.substr(0, static_cast<size_t>(p - file.path.c_str())), true);
        for (const auto& [name, isFolder] : names) {
            const std::string key = FoldCase(name);
            auto [it, inserted] = seen.emplace(key, Seen{name, isFolder});
            if (inserted || it->second.spelling == name) continue;
            const std::string pair = it->second.spelling + '\n' + name;
            if (reported[pair]) continue;
            reported[pair] = true;
            const std::string other = Cp949ForDisplay(it->second.spelling);
            if (isFolder && it->second.isFolder) {
                AddWarning(findings, file.shown,
                           "folder '" + Cp949ForDisplay(name) + "' differs from '" + other +
                               "' only in letter case: on Windows both are one folder, and the files of one of "
                               "them never match and are downloaded on every run");
            } else {
                AddError(findings, file.shown,
                         "'" + Cp949ForDisplay(name) + "' differs from '" + other +
                             "' only in letter case: Windows keeps only one of them");
            }
        }
    }
}

void CheckFile(const ReleaseFile& file, const std::string& firstBaseUrl, Findings* findings) {
    const std::string& path = file.path;
    const std::string& who = file.shown;
    char stem[kTransferStemLength + 1];
    if (ClassifyTransferName(path.c_str() + FolderPartLength(path.c_str()), stem) != TransferFileKind::kNone) {
        AddError(findings, who,
                 "the updater uses names of the form ~tnXXXX.new, .old and .rec for its own "
                 "temporary files and deletes them");
    }
    if (EndsWith(path, kLegacyPartialSuffix) || EndsWith(path, kLegacyAsideSuffix)) {
        AddError(findings, who,
                 std::string("name ends in '") +
                     (EndsWith(path, kLegacyPartialSuffix) ? kLegacyPartialSuffix : kLegacyAsideSuffix) +
                     "', which the updater uses for its own temporary files and deletes");
    }
    if (IsReleaseStateName(path.c_str())) {
        AddError(findings, who,
                 "the updater keeps the last signed release it accepted in TarnFileUpdater.state at the top of "
                 "the install folder; a signed updater refuses a release that would overwrite it, reach it by its "
                 "short name or put a folder in its place");
    }
    if (path.size() > kMaxPathText) {
        AddError(findings, who,
                 "path is " + std::to_string(path.size()) + " bytes in CP949; the catalogue holds at most " +
                     std::to_string(kMaxPathText));
    } else if (path.size() > kMaxRequestText) {
        AddError(findings, who,
                 "path is " + std::to_string(path.size()) +
                     " bytes in CP949; the updater's download request holds "
                     "at most " +
                     std::to_string(kMaxRequestText));
    }
    const char* why = nullptr;
    if (IsUnsafeCataloguePath(path.c_str(), &why)) {
        AddError(findings, who, std::string("the updater rejects this path: ") + why);
    }
    if (const char c = ForbiddenCharacter(path)) AddError(findings, who, DescribeForbidden(c));
    if (file.size > kMaxFileBytes) {
        AddError(findings, who,
                 std::to_string(file.size) + " bytes: the updater handles files of at most 2147483647 bytes");
    }
    // The updater requests the first base URL followed directly by the path, '\' turned to '/'.
    if (!firstBaseUrl.empty() && path.size() <= kMaxRequestText &&
        firstBaseUrl.size() + path.size() > kMaxRequestText) {
        AddError(findings, who,
                 "its URL (first base URL + path) would be " + std::to_string(firstBaseUrl.size() + path.size()) +
                     " bytes; the updater cannot request more than " + std::to_string(kMaxRequestText));
    }
    // On the client the file is written as InstallDir\path, and downloaded under a short name of
    // its own in the same folder; Windows paths hold 259 bytes.
    const size_t used = 1 + std::max(path.size(), FolderPartLength(path.c_str()) + kTransferNameLength);
    if (path.size() <= kMaxRequestText && used + kInstallDirRoomWarning > kMaxPathText) {
        const size_t room = used < kMaxPathText ? kMaxPathText - used : 0;
        AddWarning(findings, who,
                   "long path: on the client the install folder may be at most " + std::to_string(room) +
                       " bytes long, or Windows cannot write this file");
    }

    const std::vector<std::string> parts = Components(path);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (ContainsIfu(parts[i].c_str())) {
            AddWarning(findings, who,
                       "'" + Cp949ForDisplay(parts[i]) +
                           "' contains \"IFU\": the updater never lists such files, so this one is downloaded on "
                           "every run");
            break;
        }
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (IsExcludedFolderName(parts[i].c_str())) {
            AddWarning(findings, who,
                       "inside a folder named '" + parts[i] +
                           "', which the updater never lists, so this file is downloaded on every run");
            break;
        }
    }
}

void CheckBaseUrls(const std::vector<std::string>& baseUrls, bool haveFiles, Findings* findings) {
    if (baseUrls.empty()) {
        if (haveFiles) AddError(findings, "--base-url", "none given: the updater would have nowhere to fetch from");
        return;
    }
    if (baseUrls.size() > static_cast<size_t>(kMaxEntries)) {
        AddError(findings, "--base-url",
                 std::to_string(baseUrls.size()) + " given; the updater holds at most " + std::to_string(kMaxEntries));
    }
    for (const std::string& url : baseUrls) {
        const std::string who = "--base-url " + SanitizeUtf8(url);
        if (url.empty()) {
            AddError(findings, "--base-url", "empty base URL");
            continue;
        }
        if (url.size() > kMaxPathText) {
            AddError(
                findings, who,
                std::to_string(url.size()) + " bytes; the catalogue holds at most " + std::to_string(kMaxPathText));
        }
        bool plain = true;
        for (unsigned char c : url)
            if (c <= 0x20 || c >= 0x7F) plain = false;
        if (!plain) {
            AddError(findings, who,
                     "contains a blank, a control character or a non-ASCII character; percent-encode it, the "
                     "updater sends the URL byte for byte");
        }
        if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0)
            AddWarning(findings, who, "does not begin with http:// or https://");
        if (url.back() != '/') {
            AddWarning(findings, who,
                       "does not end with '/': the updater appends file paths directly, so \"" + SanitizeUtf8(url) +
                           "a.dll\" would be requested for a.dll");
        }
    }
    if (baseUrls.size() > 1) {
        AddWarning(findings, "--base-url",
                   std::to_string(baseUrls.size()) +
                       " given: they are all written, but the updater fetches from the first one only");
    }
}

}  // namespace

int CountErrors(const Findings& findings) {
    return static_cast<int>(
        std::count_if(findings.begin(), findings.end(), [](const Finding& f) { return f.kind == Finding::kError; }));
}

void SortByPath(std::vector<ReleaseFile>* files) {
    std::sort(files->begin(), files->end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
}

void CheckRelease(const std::vector<ReleaseFile>& unsorted, const std::vector<std::string>& baseUrls,
                  Findings* findings) {
    std::vector<ReleaseFile> files = unsorted;
    SortByPath(&files);
    const std::string firstBaseUrl = baseUrls.empty() ? std::string() : baseUrls.front();
    for (const ReleaseFile& file : files) CheckFile(file, firstBaseUrl, findings);
    CheckCaseCollisions(files, findings);

    if (files.size() > static_cast<size_t>(kMaxEntries)) {
        AddError(findings, "release",
                 std::to_string(files.size()) + " files; the updater holds at most " + std::to_string(kMaxEntries));
    }
    uint64_t total = 0;
    for (const ReleaseFile& file : files) total += file.size;
    if (total > kMaxFileBytes) {
        AddError(findings, "release",
                 std::to_string(total) + " bytes in all; the updater handles at most 2147483647 bytes per run");
    }
    CheckBaseUrls(baseUrls, !files.empty(), findings);
}

}  // namespace tarn::tool
