// The files of one transfer on Windows: the record is on disk before the partial file, nothing
// is left when the transfer ends without placing, and placing leaves only the target.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/transfer_files_win32.h"
#include "test_support.h"

namespace tarn {
namespace {

class TransferFilesTest : public ::testing::Test {
protected:
    TransferRecord RecordFor(const std::string& rel) const {
        TransferRecord r;
        r.target = dir.Join(rel);
        r.size = 3;
        r.validatorKind = ValidatorKind::kStrongETag;
        r.validator = "\"v1\"";
        return r;
    }
    static void Write(TransferFiles& files, const char* text) {
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(files.partial(), text, DWORD(std::strlen(text)), &written, nullptr));
    }
    std::vector<std::string> TransferNames() const {
        std::vector<std::string> names;
        for (const std::string& name : dir.List()) {
            char stem[kTransferStemLength + 1];
            if (ClassifyTransferName(name.c_str(), stem) != TransferFileKind::kNone) names.push_back(name);
        }
        return names;
    }

    test::TempFolder dir;
};

TEST_F(TransferFilesTest, RecordAndPartialExistWhileOpenAndGoWithoutPlacing) {
    {
        TransferFiles files;
        ASSERT_TRUE(files.Open(RecordFor("a.bin")));
        Write(files, "abc");
        const std::vector<std::string> names = TransferNames();
        ASSERT_EQ(names.size(), 2u);
        const std::string record = dir.Read(names[1]);
        TransferRecord back;
        ASSERT_TRUE(DecodeTransferRecord(reinterpret_cast<const uint8_t*>(record.data()), record.size(), &back));
        EXPECT_EQ(back.target, dir.Join("a.bin"));
        EXPECT_EQ(back.validator, "\"v1\"");
        EXPECT_EQ(names[0].substr(7), ".new");
    }
    EXPECT_TRUE(dir.List().empty());
}

TEST_F(TransferFilesTest, PlacingLeavesOnlyTheTarget) {
    dir.WriteFile("a.bin", "old");
    TransferFiles files;
    ASSERT_TRUE(files.Open(RecordFor("a.bin")));
    Write(files, "new");
    ASSERT_TRUE(files.Place());
    EXPECT_EQ(dir.Read("a.bin"), "new");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.bin"});
}

TEST_F(TransferFilesTest, CopyAsideThatCannotGoKeepsItsRecord) {
    // A loaded program image can be renamed but not deleted: its copy aside stays, and the
    // record stays with it so that the next run's scan knows whose copy it is.
    char self[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    ASSERT_TRUE(::CopyFileA(self, dir.Join("prog.exe").c_str(), FALSE));
    HMODULE image = ::LoadLibraryExA(dir.Join("prog.exe").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    ScopeExit unload([&] { ::FreeLibrary(image); });
    {
        TransferFiles files;
        ASSERT_TRUE(files.Open(RecordFor("prog.exe")));
        Write(files, "new");
        ASSERT_TRUE(files.Place());
    }
    EXPECT_EQ(dir.Read("prog.exe"), "new");
    const std::vector<std::string> names = TransferNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].substr(7), ".old");
    EXPECT_EQ(names[1].substr(7), ".rec");
}

TEST_F(TransferFilesTest, StemStillInUseIsPassedOver) {
    TransferFiles first;
    ASSERT_TRUE(first.Open(RecordFor("a.bin")));
    TransferFiles second;
    ASSERT_TRUE(second.Open(RecordFor("a.bin")));
    EXPECT_EQ(TransferNames().size(), 4u);
}

TEST_F(TransferFilesTest, LeftoversOfTheSameTargetAreTakenBackNotPassedOver) {
    // A run that ended without its clean-up leaves files where no scan may look (the catalogue's
    // folder); were they passed over, the target could not be fetched once every stem held some.
    for (int i = 0; i < 20; ++i) {
        TransferFiles left;
        ASSERT_TRUE(left.Open(RecordFor("a.bin"))) << i;
        left.Keep();
    }
    EXPECT_EQ(TransferNames().size(), 2u);
}

// Kept files are taken over only while their record still describes the request; files that
// cannot be continued go. Kept files stay after the object ends.
TEST_F(TransferFilesTest, KeptFilesAreAdoptedOnlyForTheSameEntry) {
    auto keep = [&](std::string* stem) {
        TransferFiles files;
        ASSERT_TRUE(files.Open(RecordFor("a.bin")));
        Write(files, "ab");
        files.Keep();
        *stem = TransferNames()[0].substr(0, kTransferStemLength);
    };
    TransferRecord otherTime = RecordFor("a.bin");
    otherTime.writeTime = 1;
    TransferRecord otherSize = RecordFor("a.bin");
    otherSize.size = 4;
    for (const TransferRecord& mismatch : {RecordFor("b.bin"), otherTime, otherSize}) {
        std::string stem;
        keep(&stem);
        ASSERT_EQ(TransferNames().size(), 2u);
        {
            TransferFiles files;
            EXPECT_EQ(files.Adopt(stem.c_str(), mismatch), -1) << mismatch.target << " " << mismatch.size;
        }
        EXPECT_TRUE(TransferNames().empty());
    }
    std::string stem;
    keep(&stem);
    TransferFiles files;
    ASSERT_EQ(files.Adopt(stem.c_str(), RecordFor("a.bin")), 2);
    Write(files, "c");
    ASSERT_TRUE(files.Place());
    EXPECT_EQ(dir.Read("a.bin"), "abc");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.bin"});
}

}  // namespace
}  // namespace tarn
#endif
