#pragma once
// Names of the files a transfer keeps beside its target while it runs. A target may have a full
// path of up to 259 bytes, so no name may grow from the target's: every transfer gets a short
// stem of its own in the target's folder, and the durable record under that stem says which
// target the files belong to.
//   <stem>.new  the bytes received so far
//   <stem>.old  the target moved aside because it was in use
//   <stem>.rec  the record (transfer_record.h)
// A stem is "~tn" and four characters of 0-9a-v: names are 11 bytes, shorter than an 8.3 name,
// so they fit in every folder Windows creates (CreateDirectoryA leaves room for an 8.3 name).
#include <cstddef>
#include <cstdint>

namespace tarn {

enum class TransferFileKind { kNone, kPartial, kAside, kRecord };

constexpr size_t kTransferStemLength = 7;
constexpr size_t kTransferNameLength = kTransferStemLength + 4;  // ".new", ".old", ".rec"
// Earlier versions named their files <target>.tarn-new and <target>.tarn-old.
constexpr char kLegacyPartialSuffix[] = ".tarn-new";
constexpr char kLegacyAsideSuffix[] = ".tarn-old";

// The stem to try for a target (its path as the request names it) at the given attempt: the
// same target gives the same sequence; the caller takes the first stem with none of its files
// present. stem holds kTransferStemLength + 1 bytes.
void TransferStem(const char* target, unsigned attempt, char* stem);

// What a bare file name is: one of the three transfer files (then *stem receives its stem,
// kTransferStemLength + 1 bytes) or kNone. Letter case is ignored, as Windows ignores it.
TransferFileKind ClassifyTransferName(const char* name, char* stem);

// stem plus the kind's extension into out[cap]; false when it does not fit.
bool TransferFileName(const char* stem, TransferFileKind kind, char* out, size_t cap);

// Length of the folder part of a path: up to and including its last '\' or '/', 0 without one.
size_t FolderPartLength(const char* path);

}  // namespace tarn
