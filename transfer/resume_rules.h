#pragma once
// The rules of resuming a transfer, apart from any I/O: which validator a reply gives, the
// request headers that continue a partial file, whether a 206 reply continues it, and whether a
// partial file found by the scan may be kept for the catalogue entry that lists its target.
#include <cstddef>
#include <cstdint>
#include <string>

#include "transfer/transfer_record.h"

namespace tarn {

struct Validator {
    ValidatorKind kind = ValidatorKind::kNone;
    std::string text;
};

// The validator a reply's ETag and Last-Modified header values (null when absent) give: a strong
// ETag, else Last-Modified. A weak ETag ("W/...") means the bytes may differ between replies (a
// compressing filter, a proxy), so it gives none at all. A value that cannot go back into a
// request header (not printable ASCII, over 255 bytes) counts as absent; so does an ETag that is
// not a quoted tag.
Validator ChooseValidator(const char* etag, const char* lastModified);

// The request headers that ask for the bytes from `from` on, only if the file is still the one
// `record` describes: "Range: bytes=N-\r\nIf-Range: V\r\n". False when the record has no
// validator, `from` is not positive, or out[cap] is too small.
bool FormatResumeHeaders(int64_t from, const TransferRecord& record, char* out, size_t cap);

// A Content-Range value as a 206 reply sends it: "bytes first-last/complete".
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t complete = 0;
};

// Reads exactly that form (unit "bytes" in any letter case, decimal digits, blanks only around
// the whole value); false for anything else, an unknown complete length ("*") included.
bool ParseContentRange(const char* text, ContentRange* out);

// Whether a 206 reply with this Content-Range continues a file of `size` bytes kept up to
// `from`: exactly from-(size-1)/size.
bool ContinuesPartial(const char* contentRange, int64_t from, int64_t size);

// What the scan does with a partial file of `partialLength` bytes, given its record (null when
// missing or unreadable) and the catalogue entry listing the record's target (null when no
// entry lists it). Everything but kKeep deletes the partial file together with its record.
enum class PartialVerdict {
    kKeep,
    kNoRecord,      // record missing or unreadable
    kNotListed,     // the catalogue no longer lists the target
    kEntryChanged,  // the entry's size or time is not the recorded one
    kNoValidator,   // the reply had no strong validator: it cannot be asked for again
    kNothingKept,   // no byte to continue from
    kTooLong,       // as long as the file or longer: not a prefix of it
};

struct ListedEntry {
    int64_t size;
    uint64_t writeTime;
};

PartialVerdict DecidePartial(const TransferRecord* record, const ListedEntry* listed, int64_t partialLength);

}  // namespace tarn
