#include "transfer/transfer_names.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace tarn {
namespace {

constexpr char kStemPrefix[] = "~tn";
constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuv";

const char* Extension(TransferFileKind kind) {
    switch (kind) {
        case TransferFileKind::kPartial:
            return ".new";
        case TransferFileKind::kAside:
            return ".old";
        case TransferFileKind::kRecord:
            return ".rec";
        case TransferFileKind::kNone:
            break;
    }
    return nullptr;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsStemDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'v');
}

}  // namespace

void TransferStem(const char* target, unsigned attempt, char* stem) {
    // FNV-1a over the target and the attempt; 20 bits of it name the stem.
    uint32_t h = 2166136261u;
    for (const char* p = target; *p; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
    for (int i = 0; i < 4; ++i) h = (h ^ ((attempt >> (8 * i)) & 0xFF)) * 16777619u;
    std::memcpy(stem, kStemPrefix, 3);
    for (int i = 0; i < 4; ++i) stem[3 + i] = kDigits[(h >> (5 * i)) & 31];
    stem[kTransferStemLength] = '\0';
}

TransferFileKind ClassifyTransferName(const char* name, char* stem) {
    if (std::strlen(name) != kTransferNameLength) return TransferFileKind::kNone;
    char lower[kTransferNameLength + 1];
    for (size_t i = 0; i <= kTransferNameLength; ++i) lower[i] = Lower(name[i]);
    if (std::memcmp(lower, kStemPrefix, 3) != 0) return TransferFileKind::kNone;
    for (size_t i = 3; i < kTransferStemLength; ++i)
        if (!IsStemDigit(lower[i])) return TransferFileKind::kNone;
    for (TransferFileKind kind : {TransferFileKind::kPartial, TransferFileKind::kAside, TransferFileKind::kRecord}) {
        if (std::strcmp(lower + kTransferStemLength, Extension(kind)) != 0) continue;
        std::memcpy(stem, lower, kTransferStemLength);
        stem[kTransferStemLength] = '\0';
        return kind;
    }
    return TransferFileKind::kNone;
}

bool TransferFileName(const char* stem, TransferFileKind kind, char* out, size_t cap) {
    const char* extension = Extension(kind);
    if (!extension || cap == 0) return false;
    const int n = std::snprintf(out, cap, "%s%s", stem, extension);
    return n >= 0 && static_cast<size_t>(n) < cap;
}

size_t FolderPartLength(const char* path) {
    // '\' and '/' are never trail bytes of a CP949 character, so a byte scan finds them.
    size_t folder = 0;
    for (size_t i = 0; path[i]; ++i)
        if (path[i] == '\\' || path[i] == '/') folder = i + 1;
    return folder;
}

}  // namespace tarn
