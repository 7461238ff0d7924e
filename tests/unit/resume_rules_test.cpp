// The rules of resuming a transfer: validators, the request headers, Content-Range of a 206
// reply, and which partial files the scan may keep.
#include "transfer/resume_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace tarn {
namespace {

TEST(ResumeValidator, StrongETagElseLastModifiedWeakOrBrokenGivesNone) {
    const char* kDate = "Wed, 21 Oct 2026 07:28:00 GMT";
    const struct {
        const char* etag;
        const char* lastModified;
        ValidatorKind kind;
        const char* text;
    } cases[] = {
        {"\"5f3a-18c2b\"", kDate, ValidatorKind::kStrongETag, "\"5f3a-18c2b\""},
        {"  \"abc\" ", nullptr, ValidatorKind::kStrongETag, "\"abc\""},
        {"\"\"", nullptr, ValidatorKind::kStrongETag, "\"\""},
        {nullptr, kDate, ValidatorKind::kLastModified, kDate},
        {"", kDate, ValidatorKind::kLastModified, kDate},
        // a weak tag: the bytes may differ between replies, whatever Last-Modified says
        {"W/\"abc\"", kDate, ValidatorKind::kNone, ""},
        {"W/\"abc\"", nullptr, ValidatorKind::kNone, ""},
        // not a quoted tag: as if there were none
        {"abc", kDate, ValidatorKind::kLastModified, kDate},
        {"\"a\"b\"", nullptr, ValidatorKind::kNone, ""},
        {"\"abc", nullptr, ValidatorKind::kNone, ""},
        // nothing that could go back into a header
        {"\"a\r\nX: 1\"", nullptr, ValidatorKind::kNone, ""},
        {nullptr, "Wed,\n21 Oct", ValidatorKind::kNone, ""},
        {nullptr, "   ", ValidatorKind::kNone, ""},
        {nullptr, nullptr, ValidatorKind::kNone, ""},
    };
    for (const auto& c : cases) {
        const Validator v = ChooseValidator(c.etag, c.lastModified);
        EXPECT_EQ(v.kind, c.kind) << (c.etag ? c.etag : "(none)");
        EXPECT_EQ(v.text, c.text) << (c.etag ? c.etag : "(none)");
    }
    const std::string longest = "\"" + std::string(253, 'e') + "\"";
    EXPECT_EQ(ChooseValidator(longest.c_str(), nullptr).kind, ValidatorKind::kStrongETag);
    const std::string over = "\"" + std::string(254, 'e') + "\"";
    EXPECT_EQ(ChooseValidator(over.c_str(), nullptr).kind, ValidatorKind::kNone);
}

TEST(ResumeHeaders, RangeAndIfRangeOnlyWithAValidator) {
    TransferRecord r;
    r.target = "a.bin";
    r.validatorKind = ValidatorKind::kStrongETag;
    r.validator = "\"v1\"";
    char out[128];
    ASSERT_TRUE(FormatResumeHeaders(4194304, r, out, sizeof out));
    EXPECT_STREQ(out, "Range: bytes=4194304-\r\nIf-Range: \"v1\"\r\n");
    r.validatorKind = ValidatorKind::kLastModified;
    r.validator = "Wed, 21 Oct 2026 07:28:00 GMT";
    ASSERT_TRUE(FormatResumeHeaders(3000000000LL, r, out, sizeof out));
    EXPECT_STREQ(out, "Range: bytes=3000000000-\r\nIf-Range: Wed, 21 Oct 2026 07:28:00 GMT\r\n");

    EXPECT_FALSE(FormatResumeHeaders(0, r, out, sizeof out));
    EXPECT_FALSE(FormatResumeHeaders(-5, r, out, sizeof out));
    char small[40];
    EXPECT_FALSE(FormatResumeHeaders(100, r, small, sizeof small));
    EXPECT_STREQ(small, "");
    r.validatorKind = ValidatorKind::kNone;
    r.validator.clear();
    EXPECT_FALSE(FormatResumeHeaders(100, r, out, sizeof out));
}

TEST(ContentRangeReply, OnlyTheExactContinuationContinues) {
    constexpr int64_t kSize = 25165824;
    const struct {
        const char* text;
        bool continues;
    } cases[] = {
        {"bytes 1000-25165823/25165824", true},
        {"BYTES 1000-25165823/25165824", true},
        {"  bytes 1000-25165823/25165824 ", true},
        {"bytes 0001000-25165823/25165824", true},
        {"bytes 999-25165823/25165824", false},  // another start
        {"bytes 1001-25165823/25165824", false},
        {"bytes 1000-25165822/25165824", false},  // stops short
        {"bytes 1000-25165823/25165825", false},  // another file size
        {"bytes 1000-25165823/*", false},         // size unknown
        {"bytes */25165824", false},              // an unsatisfied range
        {"bytes 1000-25165823", false},
        {"bytes=1000-25165823/25165824", false},
        {"bytes  1000-25165823/25165824", false},
        {"bytes 1000 - 25165823/25165824", false},
        {"bytes +1000-25165823/25165824", false},
        {"bytes -1000-25165823/25165824", false},
        {"bytes 1000-25165823/25165824x", false},
        {"bytes 1000-25165823/25165824, 0-1/2", false},
        {"items 1000-25165823/25165824", false},
        {"bytes 1000-99999999999999999999/25165824", false},  // overlong number
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ContinuesPartial(c.text, 1000, kSize), c.continues) << c.text;
    EXPECT_FALSE(ContinuesPartial(nullptr, 1000, kSize));

    ContentRange r;
    ASSERT_TRUE(ParseContentRange("bytes 0-0/1", &r));
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.last, 0);
    EXPECT_EQ(r.complete, 1);
    EXPECT_FALSE(ParseContentRange("bytes 5-4/10", &r));   // last before first
    EXPECT_FALSE(ParseContentRange("bytes 5-10/10", &r));  // past the end
}

TEST(ScanOfPartials, KeepsOnlyWhatCanBeContinued) {
    TransferRecord good;
    good.target = "big.pak";
    good.size = 1000;
    good.writeTime = 77;
    good.validatorKind = ValidatorKind::kStrongETag;
    good.validator = "\"v\"";
    TransferRecord weak = good;
    weak.validatorKind = ValidatorKind::kNone;
    weak.validator.clear();
    const ListedEntry same{1000, 77};
    const ListedEntry newTime{1000, 78};
    const ListedEntry newSize{1001, 77};
    const struct {
        const char* what;
        const TransferRecord* record;
        const ListedEntry* listed;
        int64_t length;
        PartialVerdict verdict;
    } cases[] = {
        {"resumable", &good, &same, 400, PartialVerdict::kKeep},
        {"one byte short", &good, &same, 999, PartialVerdict::kKeep},
        {"record missing or unreadable", nullptr, &same, 400, PartialVerdict::kNoRecord},
        {"target no longer listed", &good, nullptr, 400, PartialVerdict::kNotListed},
        {"republished with a new time", &good, &newTime, 400, PartialVerdict::kEntryChanged},
        {"republished with a new size", &good, &newSize, 400, PartialVerdict::kEntryChanged},
        {"no strong validator", &weak, &same, 400, PartialVerdict::kNoValidator},
        {"empty", &good, &same, 0, PartialVerdict::kNothingKept},
        {"every byte", &good, &same, 1000, PartialVerdict::kTooLong},
        {"longer than the file", &good, &same, 1001, PartialVerdict::kTooLong},
    };
    for (const auto& c : cases) EXPECT_EQ(DecidePartial(c.record, c.listed, c.length), c.verdict) << c.what;
}

}  // namespace
}  // namespace tarn
