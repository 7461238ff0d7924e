#pragma once
// The durable record a transfer keeps beside its files (<stem>.rec): which target the files
// belong to, the catalogue entry they were fetched for, and the reply's validator, so that a
// later run can tell whether the bytes kept may be continued. Portable bytes, little-endian:
//    0  8  magic "TARNREC1"
//    8  1  validator kind (0 none, 1 strong ETag, 2 Last-Modified)
//    9  1  reserved, 0
//   10  2  target length T, 1..259: the path as the request names it (install-relative)
//   12  2  validator length V, 0..255, 0 exactly when the kind is none
//   14  8  size of the catalogue entry (signed; -1 for a request of unknown size)
//   22  8  write time of the catalogue entry (FILETIME, 0 when none)
//   30  T  target, no NUL byte
//   30+T V validator text as the server sent it, printable ASCII only (it goes into If-Range)
//   ..  4  FNV-1a of every byte before it
// A record is whole or it is nothing: any other length, an unknown kind or a checksum that does
// not match makes the record unreadable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn {

enum class ValidatorKind : uint8_t { kNone = 0, kStrongETag = 1, kLastModified = 2 };

struct TransferRecord {
    std::string target;
    int64_t size = 0;
    uint64_t writeTime = 0;
    ValidatorKind validatorKind = ValidatorKind::kNone;
    std::string validator;
};

constexpr size_t kMaxRecordTarget = 259;
constexpr size_t kMaxRecordValidator = 255;
constexpr size_t kRecordFixedBytes = 34;
constexpr size_t kMaxRecordBytes = kRecordFixedBytes + kMaxRecordTarget + kMaxRecordValidator;

// The record's bytes; false (out untouched) when a field breaks the format's bounds.
bool EncodeTransferRecord(const TransferRecord& record, std::vector<uint8_t>* out);

// Reads a record from exactly `length` bytes; never reads past them. False for anything but a
// whole, well-formed record.
bool DecodeTransferRecord(const uint8_t* data, size_t length, TransferRecord* out);

}  // namespace tarn
