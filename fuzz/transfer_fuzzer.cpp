// libFuzzer target: a transfer's record as the scan reads it from disk, and the reply headers a
// resumed transfer reads (Content-Range, ETag, Last-Modified). Input: one selector byte, then
// the bytes. A record that reads must write back to the same bytes.
#include <cstdlib>
#include <string>
#include <vector>

#include "transfer/resume_rules.h"
#include "transfer/transfer_names.h"
#include "transfer/transfer_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarn;
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;
    if (selector % 2 == 0) {
        // Exactly `size` bytes: a parser that reads one byte more trips AddressSanitizer.
        std::vector<uint8_t> bytes(data, data + size);
        TransferRecord record;
        if (!DecodeTransferRecord(bytes.data(), bytes.size(), &record)) return 0;
        std::vector<uint8_t> again;
        if (!EncodeTransferRecord(record, &again) || again != bytes) std::abort();
        const ListedEntry listed{record.size, record.writeTime};
        const PartialVerdict verdict = DecidePartial(&record, &listed, record.size / 2);
        char headers[kMaxRecordValidator + 64];
        if (verdict == PartialVerdict::kKeep && !FormatResumeHeaders(record.size / 2, record, headers, sizeof headers))
            std::abort();
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* value = text.c_str();
    ContentRange range;
    if (ParseContentRange(value, &range) && !(range.first <= range.last && range.last < range.complete)) std::abort();
    ContinuesPartial(value, 1, 100);
    const Validator validator = ChooseValidator(value, value + text.size() / 2);
    for (char c : validator.text)
        if (c < 0x20 || c > 0x7E) std::abort();
    char stem[kTransferStemLength + 1];
    ClassifyTransferName(value, stem);
    FolderPartLength(value);
    return 0;
}
