// The portable pieces of a transfer: the names of its files and its durable record.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "transfer/transfer_names.h"
#include "transfer/transfer_record.h"

namespace tarn {
namespace {

TEST(TransferNames, StemsAreShortStableAndSpreadOverAttempts) {
    char a[kTransferStemLength + 1];
    char b[kTransferStemLength + 1];
    TransferStem("bin\\tool.dll", 0, a);
    TransferStem("bin\\tool.dll", 0, b);
    EXPECT_STREQ(a, b);
    std::set<std::string> seen;
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        TransferStem("bin\\tool.dll", attempt, a);
        char name[kTransferNameLength + 1];
        ASSERT_TRUE(TransferFileName(a, TransferFileKind::kRecord, name, sizeof name));
        char stem[kTransferStemLength + 1];
        EXPECT_EQ(ClassifyTransferName(name, stem), TransferFileKind::kRecord) << name;
        EXPECT_STREQ(stem, a);
        seen.insert(a);
    }
    EXPECT_EQ(seen.size(), 16u);
    char small[kTransferNameLength];
    EXPECT_FALSE(TransferFileName(a, TransferFileKind::kPartial, small, sizeof small));
}

TEST(TransferNames, OnlyTheThreeFormsAreTheUpdatersFiles) {
    const struct {
        const char* name;
        TransferFileKind kind;
    } cases[] = {
        {"~tn0a1v.new", TransferFileKind::kPartial},
        {"~tn0a1v.old", TransferFileKind::kAside},
        {"~tn0a1v.rec", TransferFileKind::kRecord},
        {"~TN0A1V.NEW", TransferFileKind::kPartial},  // Windows ignores letter case
        {"~tn0a1w.new", TransferFileKind::kNone},     // 'w' is no stem digit
        {"~tn0a1.new", TransferFileKind::kNone},
        {"~tn0a1vv.new", TransferFileKind::kNone},
        {"~tn0a1v.tmp", TransferFileKind::kNone},
        {"~tn0a1v.new ", TransferFileKind::kNone},
        {"xtn0a1v.new", TransferFileKind::kNone},
        {"a.dll.tarn-new", TransferFileKind::kNone},
        {"", TransferFileKind::kNone},
    };
    for (const auto& c : cases) {
        char stem[kTransferStemLength + 1] = {};
        EXPECT_EQ(ClassifyTransferName(c.name, stem), c.kind) << c.name;
        if (c.kind != TransferFileKind::kNone) {
            EXPECT_STREQ(stem, "~tn0a1v");
        }
    }
}

TEST(TransferNames, FolderPartEndsAtTheLastSeparator) {
    EXPECT_EQ(FolderPartLength("a.dll"), 0u);
    EXPECT_EQ(FolderPartLength("bin\\a.dll"), 4u);
    EXPECT_EQ(FolderPartLength("bin\\deep/a.dll"), 9u);
    EXPECT_EQ(FolderPartLength("C:\\x\\"), 5u);
    // A Hangul name whose trail byte looks like a letter is not split.
    EXPECT_EQ(FolderPartLength("\xC7\xD1\\\xB1\x5A.txt"), 3u);
}

TransferRecord Sample() {
    TransferRecord r;
    r.target = "bin\\\xC7\xD1\xB1\xDB.dll";
    r.size = 24 * 1024 * 1024 + 5;
    r.writeTime = 0x01D7123456789ABCull;
    r.validatorKind = ValidatorKind::kStrongETag;
    r.validator = "\"5f3a-18c2b\"";
    return r;
}

void ExpectSame(const TransferRecord& a, const TransferRecord& b) {
    EXPECT_EQ(a.target, b.target);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.writeTime, b.writeTime);
    EXPECT_EQ(a.validatorKind, b.validatorKind);
    EXPECT_EQ(a.validator, b.validator);
}

TEST(TransferRecord, ValidRecordsReadBackAsWritten) {
    std::vector<TransferRecord> records(5, Sample());
    records[1].validatorKind = ValidatorKind::kNone;
    records[1].validator.clear();
    records[1].size = -1;
    records[1].writeTime = 0;
    records[2].validatorKind = ValidatorKind::kLastModified;
    records[2].validator = "Wed, 21 Oct 2026 07:28:00 GMT";
    records[3].target = std::string(kMaxRecordTarget, 't');
    records[3].validator = std::string(kMaxRecordValidator, 'v');
    records[4].target = "x";
    records[4].size = 0;
    for (const TransferRecord& r : records) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(EncodeTransferRecord(r, &bytes));
        EXPECT_EQ(bytes.size(), kRecordFixedBytes + r.target.size() + r.validator.size());
        TransferRecord back;
        ASSERT_TRUE(DecodeTransferRecord(bytes.data(), bytes.size(), &back));
        ExpectSame(back, r);
    }
}

TEST(TransferRecord, FieldsOutsideTheFormatAreNotWritten) {
    std::vector<TransferRecord> bad(8, Sample());
    bad[0].target.clear();
    bad[1].target = std::string(kMaxRecordTarget + 1, 't');
    bad[2].target = std::string("a\0b", 3);
    bad[3].validator = std::string(kMaxRecordValidator + 1, 'v');
    bad[4].validator = "\"a\"\r\nX-Injected: 1";
    bad[5].validatorKind = ValidatorKind::kNone;  // kind none with a text
    bad[6].validator.clear();                     // a kind without text
    bad[7].size = -2;
    for (const TransferRecord& r : bad) {
        std::vector<uint8_t> bytes{1, 2, 3};
        EXPECT_FALSE(EncodeTransferRecord(r, &bytes));
        EXPECT_EQ(bytes.size(), 3u);
    }
}

TEST(TransferRecord, BrokenBytesAreUnreadable) {
    std::vector<uint8_t> good;
    ASSERT_TRUE(EncodeTransferRecord(Sample(), &good));
    const size_t n = good.size();
    struct Damage {
        const char* what;
        size_t at;  // byte to change, or n for none
        uint8_t value;
        size_t length;
    };
    const Damage cases[] = {
        {"empty", n, 0, 0},
        {"fixed part only", n, 0, kRecordFixedBytes - 1},
        {"cut by one (torn write)", n, 0, n - 1},
        {"cut in the middle", n, 0, n / 2},
        {"magic", 0, 'X', n},
        {"reserved byte", 9, 1, n},
        {"unknown validator kind", 8, 3, n},
        {"target length beyond the record", 11, 0x7F, n},
        {"validator length beyond the record", 13, 0x7F, n},
        {"size field", 15, 0x55, n},
        {"time field", 25, 0x55, n},
        {"a byte of the target", 31, 'Z', n},
        {"checksum", n - 1, 0, n},
    };
    for (const Damage& d : cases) {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + std::min(d.length, n));
        if (d.at < bytes.size()) bytes[d.at] = bytes[d.at] == d.value ? uint8_t(d.value + 1) : d.value;
        TransferRecord out = Sample();
        out.target = "untouched";
        EXPECT_FALSE(DecodeTransferRecord(bytes.data(), bytes.size(), &out)) << d.what;
        EXPECT_EQ(out.target, "untouched") << d.what;
    }
    // One byte more than the record, even with a matching length field, is not a record.
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    TransferRecord out;
    EXPECT_FALSE(DecodeTransferRecord(longer.data(), longer.size(), &out));
}

}  // namespace
}  // namespace tarn
