// Reading the update catalogue: "Update Info", a 32-bit base URL count, the NUL-terminated base
// URLs, then entries (path with NUL, 32-bit size, 64-bit file time) to the end of the data.
#include <cstring>

#include "engine/path_rules.h"
#include "engine/release_gate.h"
#include "base/text.h"
#include "engine/update_engine.h"

namespace tarn {

namespace {

constexpr char kHeader[] = "Update Info";
constexpr int32_t kHeaderLength = 11;

int32_t ReadI32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                uint32_t(p[3]) << 24);
}

uint32_t ReadU32(const uint8_t* p) { return static_cast<uint32_t>(ReadI32(p)); }

// Length of the NUL-terminated text at data[pos], looked for among the first kPathSize bytes
// and never past length; -1 when there is no NUL there.
int32_t TextLength(const uint8_t* data, int32_t length, int32_t pos) {
    const int32_t limit = (length - pos < kPathSize) ? length - pos : kPathSize;
    for (int32_t i = 0; i < limit; ++i)
        if (data[pos + i] == 0) return i;
    return -1;
}

}  // namespace

const char* DescribeVerdict(CatalogueVerdict verdict) {
    switch (verdict) {
        case CatalogueVerdict::kAccepted: return "accepted";
        case CatalogueVerdict::kBadHeader: return "does not begin with the header \"Update Info\"";
        case CatalogueVerdict::kTruncated: return "data ends inside a count, base URL or entry";
        case CatalogueVerdict::kTooManyBaseUrls: return "more than 300 base URLs";
        case CatalogueVerdict::kTooManyEntries: return "more than 300 file entries";
        case CatalogueVerdict::kTextTooLong: return "base URL or path longer than 259 bytes";
        case CatalogueVerdict::kNegativeSize: return "negative file size";
        case CatalogueVerdict::kUnsafePath: return "unsafe path (outside the folder or a device name)";
        case CatalogueVerdict::kNotSigned: return "refused by the release signature check";
    }
    return "unknown";
}

void UpdateEngine::RejectCatalogue(CatalogueVerdict verdict, int32_t offset) {
    verdict_ = verdict;
    verdictOffset_ = offset;
    baseUrlCount = 0;
    serverCount = 0;
    if (host_) host_->ShowMessage("Check update info", "File check error");
}

bool UpdateEngine::ParseCatalogue() {
    const uint8_t* data = catalogueData.get();
    const int32_t length = data ? catalogueLength : 0;
    verdict_ = CatalogueVerdict::kAccepted;
    verdictOffset_ = 0;

    // The header: the first 11 bytes, compared case-sensitively with "Update Info".
    char header[kPathSize] = {};
    if (length >= kHeaderLength) std::memcpy(header, data, kHeaderLength);
    if (length < kHeaderLength || std::strcmp(header, kHeader) != 0) {
        RejectCatalogue(CatalogueVerdict::kBadHeader, 0);
        return false;
    }
    int32_t pos = kHeaderLength;

    // Everything is checked before anything is kept or created: a catalogue that does not hold
    // what it promises is turned down whole, like one with a wrong header.
    if (length - pos < 4) {
        RejectCatalogue(CatalogueVerdict::kTruncated, pos);
        return false;
    }
    const int32_t urlCount = ReadI32(data + pos);
    if (urlCount > kMaxEntries) {
        RejectCatalogue(CatalogueVerdict::kTooManyBaseUrls, pos);
        return false;
    }
    pos += 4;
    baseUrlCount = urlCount;
    for (int32_t i = 0; i < urlCount; ++i) {
        const int32_t len = TextLength(data, length, pos);
        if (len < 0) {
            RejectCatalogue(length - pos < kPathSize ? CatalogueVerdict::kTruncated : CatalogueVerdict::kTextTooLong,
                            pos);
            return false;
        }
        std::memcpy(baseUrls[i], data + pos, static_cast<size_t>(len) + 1);
        pos += len + 1;
    }

    totalBytes = 0;
    bytesDone = 0;

    int32_t count = 0;
    while (pos < length) {
        const int32_t len = TextLength(data, length, pos);
        if (len < 0) {
            RejectCatalogue(length - pos < kPathSize ? CatalogueVerdict::kTruncated : CatalogueVerdict::kTextTooLong,
                            pos);
            return false;
        }
        if (length - pos - len - 1 < 12) {
            RejectCatalogue(CatalogueVerdict::kTruncated, pos);
            return false;
        }
        if (count == kMaxEntries) {
            RejectCatalogue(CatalogueVerdict::kTooManyEntries, pos);
            return false;
        }
        UpdateFileEntry& entry = serverList[count];
        std::memset(&entry, 0, sizeof entry);
        std::memcpy(entry.path, data + pos, static_cast<size_t>(len) + 1);
        entry.size = ReadI32(data + pos + len + 1);
        entry.writeTime.low = ReadU32(data + pos + len + 5);
        entry.writeTime.high = ReadU32(data + pos + len + 9);
        if (entry.size < 0) {
            RejectCatalogue(CatalogueVerdict::kNegativeSize, pos + len + 1);
            return false;
        }
        if (IsUnsafeCataloguePath(entry.path)) {
            RejectCatalogue(CatalogueVerdict::kUnsafePath, pos);
            return false;
        }
        ++count;
        pos += len + 13;
    }
    serverCount = count;
    catalogueCursor = data + pos;

    // A signed release's entries are the ones its signature file hashes, or nothing is created.
    if (gate_ && !gate_->Covers(serverList, serverCount)) {
        RejectCatalogue(CatalogueVerdict::kNotSigned, 0);
        return false;
    }

    // Create every folder an entry names, outermost first, relative to the current directory
    // (the install folder). Only backslashes separate folders here; results are ignored since
    // the folders usually exist already.
    // A folder the previous entry's path already named was just created (or found) and is not
    // asked for again: catalogues list the files of one folder together.
    const char* previous = "";
    for (int32_t i = 0; i < serverCount; ++i) {
        char folder[kPathSize];
        CopyText(folder, serverList[i].path);
        for (char* p = folder; *p; ++p) {
            if (*p != '\\') continue;
            const size_t length = static_cast<size_t>(p - folder);
            if (std::strncmp(previous, folder, length) == 0 && previous[length] == '\\') continue;
            *p = '\0';
            platform_.CreateDir(folder);
            *p = '\\';
        }
        previous = serverList[i].path;
    }
    return true;
}

}  // namespace tarn
