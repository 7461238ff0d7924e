#include "transfer/resume_rules.h"

#include <cstdio>
#include <cstring>

namespace tarn {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The value without blanks around it, if it may be sent back in a header.
bool HeaderText(const char* value, std::string* out) {
    if (!value) return false;
    while (IsBlank(*value)) ++value;
    size_t n = std::strlen(value);
    while (n > 0 && IsBlank(value[n - 1])) --n;
    if (n == 0 || n > kMaxRecordValidator) return false;
    for (size_t i = 0; i < n; ++i)
        if (value[i] < 0x20 || value[i] > 0x7E) return false;
    out->assign(value, n);
    return true;
}

// Decimal digits at *p, at most 18 of them (no overflow); advances *p past them.
bool ReadNumber(const char** p, int64_t* out) {
    int64_t value = 0;
    int digits = 0;
    for (; **p >= '0' && **p <= '9'; ++*p) {
        if (++digits > 18) return false;
        value = value * 10 + (**p - '0');
    }
    *out = value;
    return digits > 0;
}

}  // namespace

Validator ChooseValidator(const char* etag, const char* lastModified) {
    Validator v;
    std::string text;
    if (HeaderText(etag, &text)) {
        if (text.compare(0, 2, "W/") == 0) return v;
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"' && text.find('"', 1) == text.size() - 1) {
            v.kind = ValidatorKind::kStrongETag;
            v.text = text;
            return v;
        }
    }
    if (HeaderText(lastModified, &text)) {
        v.kind = ValidatorKind::kLastModified;
        v.text = text;
    }
    return v;
}

bool FormatResumeHeaders(int64_t from, const TransferRecord& record, char* out, size_t cap) {
    if (from <= 0 || record.validatorKind == ValidatorKind::kNone || record.validator.empty() || cap == 0) return false;
    const int n = std::snprintf(out, cap, "Range: bytes=%lld-\r\nIf-Range: %s\r\n", static_cast<long long>(from),
                                record.validator.c_str());
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool ParseContentRange(const char* text, ContentRange* out) {
    const char* p = text;
    while (IsBlank(*p)) ++p;
    static const char kUnit[] = "bytes";
    for (size_t i = 0; i < sizeof kUnit - 1; ++i, ++p) {
        const char c = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
        if (c != kUnit[i]) return false;
    }
    if (*p++ != ' ') return false;
    ContentRange r;
    if (!ReadNumber(&p, &r.first) || *p++ != '-' || !ReadNumber(&p, &r.last) || *p++ != '/' ||
        !ReadNumber(&p, &r.complete))
        return false;
    while (IsBlank(*p)) ++p;
    if (*p != '\0' || r.last < r.first || r.last >= r.complete) return false;
    *out = r;
    return true;
}

bool ContinuesPartial(const char* contentRange, int64_t from, int64_t size) {
    ContentRange r;
    return contentRange && ParseContentRange(contentRange, &r) && r.first == from && r.last == size - 1 &&
           r.complete == size;
}

PartialVerdict DecidePartial(const TransferRecord* record, const ListedEntry* listed, int64_t partialLength) {
    if (!record) return PartialVerdict::kNoRecord;
    if (!listed) return PartialVerdict::kNotListed;
    if (record->size != listed->size || record->writeTime != listed->writeTime) return PartialVerdict::kEntryChanged;
    if (record->validatorKind == ValidatorKind::kNone) return PartialVerdict::kNoValidator;
    if (partialLength <= 0) return PartialVerdict::kNothingKept;
    if (partialLength >= listed->size) return PartialVerdict::kTooLong;
    return PartialVerdict::kKeep;
}

}  // namespace tarn
