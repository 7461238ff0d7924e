#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "base/text.h"
#include "engine/update_engine.h"
#include "transfer/transfer_record.h"
#include "test_support.h"

namespace tarn::test {
namespace {

std::vector<std::string> Paths(const UpdateEngine& e) {
    std::vector<std::string> paths;
    for (int i = 0; i < e.localCount; ++i) paths.push_back(e.localList[i].path);
    return paths;
}

class InventoryTest : public ::testing::Test {
protected:
    InventoryTest() : engine(std::make_unique<UpdateEngine>(SystemPlatform())) { engine->InstallDir = dir.path(); }
    CurrentDirGuard cwd;
    TempFolder dir;
    std::unique_ptr<UpdateEngine> engine;
};

TEST_F(InventoryTest, ListsRelativePathsSizesAndTimes) {
    dir.WriteFile("a.txt", "hello");
    dir.MakeDir("sub");
    dir.WriteFile("sub\\b.txt", "xy");
    const uint64_t t = UtcFileTime(2015, 6, 1, 10, 20, 30);
    dir.SetWriteTime("sub\\b.txt", FromU64(t));
    ASSERT_TRUE(engine->BuildLocalInventory());
    auto paths = Paths(*engine);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"a.txt", "sub\\b.txt"}));
    for (int i = 0; i < engine->localCount; ++i) {
        const UpdateFileEntry& r = engine->localList[i];
        if (std::strcmp(r.path, "sub\\b.txt") == 0) {
            EXPECT_EQ(r.size, 2);
            EXPECT_EQ(ToU64(r.writeTime), t);
        } else {
            EXPECT_EQ(r.size, 5);
        }
        EXPECT_EQ(r.matched, 0);
        EXPECT_EQ(r.timeText[0], '\0');
    }
    EXPECT_EQ(engine->scanDepth, 0);
    EXPECT_EQ(engine->scanPrefix[0], '\0');
    // The install folder is left as the current directory.
    EXPECT_TRUE(SystemPlatform().PathExists("a.txt"));
}

TEST_F(InventoryTest, ExcludedFoldersAtAnyDepthButOnlyInThatCase) {
    // Windows names are case-insensitive: "Log" lives in a folder of its own.
    for (const char* d : {"log", "part", "archive_temp", "database", "previewtemp", "other", "other\\Log", "deep",
                          "deep\\database", "deep\\keep"}) {
        dir.MakeDir(d);
    }
    for (const char* f : {"log\\x", "part\\x", "archive_temp\\x", "database\\x", "previewtemp\\x", "other\\Log\\kept.txt",
                          "deep\\database\\x", "deep\\keep\\kept.txt"}) {
        dir.WriteFile(f, "1");
    }
    ASSERT_TRUE(engine->BuildLocalInventory());
    auto paths = Paths(*engine);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"deep\\keep\\kept.txt", "other\\Log\\kept.txt"}));
}

TEST_F(InventoryTest, IfuNamesAndEverythingInIfuFoldersAreLeftOut) {
    dir.WriteFile("setupIFU.dat", "1");
    dir.WriteFile("lowerifu.dat", "1");
    dir.MakeDir("myIFUdir");
    dir.WriteFile("myIFUdir\\inner.txt", "1");
    ASSERT_TRUE(engine->BuildLocalInventory());
    EXPECT_EQ(Paths(*engine), (std::vector<std::string>{"lowerifu.dat"}));
}

TEST_F(InventoryTest, FoldersAreListedDepthFirstWhereTheyAreMet) {
    dir.MakeDir("f1");
    dir.MakeDir("f1\\f2");
    dir.WriteFile("f1\\f2\\c.txt", "1");
    dir.WriteFile("f1\\b.txt", "1");
    dir.WriteFile("z.txt", "1");
    dir.MakeDir("empty");
    ASSERT_TRUE(engine->BuildLocalInventory());
    auto paths = Paths(*engine);
    ASSERT_EQ(paths.size(), 3u);
    // Whatever the listing order, the files of one folder are contiguous: a sub-folder's files
    // come between its parent's entries, never after the parent has finished.
    auto pos = [&](const std::string& p) { return std::find(paths.begin(), paths.end(), p) - paths.begin(); };
    EXPECT_EQ(std::abs(pos("f1\\b.txt") - pos("f1\\f2\\c.txt")), 1);
    EXPECT_NE(pos("z.txt"), 1);
}

TEST_F(InventoryTest, LeftoversOfInterruptedDownloadsAreRemovedNotListed) {
    dir.MakeDir("bin");
    dir.WriteFile("bin\\a.dll.tarn-new", "half");
    dir.WriteFile("bin\\a.dll.tarn-old", "old");
    dir.WriteFile("bin\\a.dll", "whole");
    ASSERT_TRUE(engine->BuildLocalInventory());
    EXPECT_EQ(Paths(*engine), (std::vector<std::string>{"bin\\a.dll"}));
    EXPECT_FALSE(dir.Exists("bin\\a.dll.tarn-new"));
    EXPECT_FALSE(dir.Exists("bin\\a.dll.tarn-old"));
}

TEST_F(InventoryTest, FileMovedAsideWithoutItsTargetIsMovedBackAndListed) {
    dir.MakeDir("bin");
    dir.WriteFile("bin\\b.dll.tarn-old", "the only copy");
    dir.SetWriteTime("bin\\b.dll.tarn-old", FromU64(UtcFileTime(2021, 1, 2, 3, 4, 6)));
    dir.WriteFile("bin\\b.dll.tarn-new", "new, whole or not");
    ASSERT_TRUE(engine->BuildLocalInventory());
    EXPECT_EQ(dir.Read("bin\\b.dll"), "the only copy");
    EXPECT_EQ(dir.List("bin"), std::vector<std::string>{"b.dll"});
    ASSERT_EQ(Paths(*engine), (std::vector<std::string>{"bin\\b.dll"}));
    EXPECT_EQ(engine->localList[0].size, 13);
    EXPECT_EQ(ToU64(engine->localList[0].writeTime), UtcFileTime(2021, 1, 2, 3, 4, 6));
}

std::string RecordBytes(const std::string& target, int64_t size = 4, const char* etag = nullptr) {
    TransferRecord r;
    r.target = target;
    r.size = size;
    r.writeTime = 7;
    if (etag) r.validatorKind = ValidatorKind::kStrongETag, r.validator = etag;
    std::vector<uint8_t> bytes;
    EncodeTransferRecord(r, &bytes);
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(InventoryTest, TransferFilesAreHandledByTheirRecord) {
    dir.MakeDir("bin");
    // A partial download with a readable record naming a target here is kept with its record
    // until the catalogue is known; without one, or naming another folder, it goes.
    dir.WriteFile("bin\\~tn0001.new", "half");
    dir.WriteFile("bin\\~tn0001.rec", RecordBytes("bin\\a.dll"));
    dir.WriteFile("bin\\~tn0007.new", "no record");
    dir.WriteFile("bin\\~tn0008.new", "elsewhere");
    dir.WriteFile("bin\\~tn0008.rec", RecordBytes("a.dll"));
    // A copy aside whose target exists goes, with its record.
    dir.WriteFile("bin\\b.dll", "new b");
    dir.WriteFile("bin\\~tn0002.old", "old b");
    dir.WriteFile("bin\\~tn0002.rec", RecordBytes("bin\\b.dll"));
    // The only copy of c.dll is moved back and listed with its own size and time.
    dir.WriteFile("bin\\~tn0003.old", "old c");
    dir.SetWriteTime("bin\\~tn0003.old", FromU64(UtcFileTime(2021, 1, 2, 3, 4, 6)));
    dir.WriteFile("bin\\~tn0003.new", "new c, whole or not");
    dir.WriteFile("bin\\~tn0003.rec", RecordBytes("bin\\c.dll"));
    // Without a readable record, or with one naming another folder, a copy aside may be the only
    // copy of something unknown: it stays, unlisted, and so does its record.
    dir.WriteFile("bin\\~tn0004.old", "unknown");
    dir.WriteFile("bin\\~tn0004.rec", RecordBytes("bin\\d.dll").substr(1));
    dir.WriteFile("bin\\~tn0005.old", "elsewhere");
    dir.WriteFile("bin\\~tn0005.rec", RecordBytes("other\\e.dll"));
    // A record alone goes.
    dir.WriteFile("bin\\~tn0006.rec", RecordBytes("bin\\f.dll"));
    ASSERT_TRUE(engine->BuildLocalInventory());
    auto paths = Paths(*engine);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"bin\\b.dll", "bin\\c.dll"}));
    EXPECT_EQ(dir.Read("bin\\c.dll"), "old c");
    for (int i = 0; i < engine->localCount; ++i) {
        if (std::strcmp(engine->localList[i].path, "bin\\c.dll") != 0) continue;
        EXPECT_EQ(engine->localList[i].size, 5);
        EXPECT_EQ(ToU64(engine->localList[i].writeTime), UtcFileTime(2021, 1, 2, 3, 4, 6));
    }
    EXPECT_EQ(dir.List("bin"),
              (std::vector<std::string>{"b.dll", "c.dll", "~tn0001.new", "~tn0001.rec", "~tn0003.new", "~tn0003.rec",
                                        "~tn0004.old", "~tn0004.rec", "~tn0005.old", "~tn0005.rec"}));
    std::vector<std::string> kept;
    for (const auto& k : engine->keptPartials) kept.push_back(k.folder + k.stem + "=" + std::to_string(k.length));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"bin\\~tn0001=4", "bin\\~tn0003=19"}));
}

// The record keeps the catalogue's spelling of the folders; the listed names may differ in letter
// case and separators, and the scan still puts the only copy back and keeps the partial.
TEST_F(InventoryTest, RecordsNameTheirFolderInAnyCaseOrSeparator) {
    dir.MakeDir("Data");
    dir.MakeDir("Data\\Sub");
    dir.MakeDir("\xB1\x5A");
    const struct {
        const char* folder;
        const char* target;
        const char* name;
        bool found;
    } cases[] = {
        {"Data\\", "data/a.dll", "a.dll", true},
        {"Data\\Sub\\", "DATA\\sub/b.dll", "b.dll", true},
        {"\xB1\x5A\\", "\xB1\x5A/c.dll", "c.dll", true},
        {"\xB1\x5A\\", "\xB1\x7A\\d.dll", "d.dll", false},  // another character: its trail byte is no letter
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string stem = std::string(c.folder) + "~tn000" + std::to_string(++n);
        dir.WriteFile(stem + ".old", "old");
        dir.WriteFile(stem + ".new", "half");
        dir.WriteFile(stem + ".rec", RecordBytes(c.target, 10, "\"e\""));
    }
    ASSERT_TRUE(engine->BuildLocalInventory());
    n = 0;
    for (const auto& c : cases) {
        const std::string stem = std::string(c.folder) + "~tn000" + std::to_string(++n);
        EXPECT_EQ(dir.Exists(std::string(c.folder) + c.name), c.found) << c.target;
        EXPECT_EQ(dir.Exists(stem + ".old"), !c.found) << c.target;
        EXPECT_EQ(dir.Exists(stem + ".new"), c.found) << c.target;
    }
    std::vector<std::string> kept;
    for (const auto& k : engine->keptPartials) kept.push_back(k.record.target);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"DATA\\sub/b.dll", "data/a.dll", "\xB1\x5A/c.dll"}));
}

// After the plan each kept partial is continued by its planned download or goes with its record.
TEST_F(InventoryTest, KeptPartialsAreSettledAgainstThePlan) {
    struct Case {
        const char* stem;
        const char* target;
        int64_t recordedSize;
        const char* etag;
        const char* bytes;
        bool kept;
    };
    const Case cases[] = {
        {"~tn0001", "a.bin", 10, "\"a\"", "abc", true},
        {"~tn0002", "b.bin", 11, "\"b\"", "abc", false},         // the entry's size changed
        {"~tn0003", "gone.bin", 10, "\"c\"", "abc", false},      // not planned any more
        {"~tn0004", "d.bin", 10, nullptr, "abc", false},         // no validator to ask with
        {"~tn0005", "e.bin", 10, "\"e\"", "0123456789", false},  // as long as the file
    };
    for (const Case& c : cases) {
        dir.WriteFile(std::string(c.stem) + ".new", c.bytes);
        dir.WriteFile(std::string(c.stem) + ".rec", RecordBytes(c.target, c.recordedSize, c.etag));
    }
    ASSERT_TRUE(engine->BuildLocalInventory());
    ASSERT_EQ(engine->keptPartials.size(), 5u);
    for (const char* planned : {"a.bin", "b.bin", "d.bin", "e.bin"}) {
        UpdateFileEntry& entry = engine->downloadList[engine->downloadCount++];
        CopyText(entry.path, planned);
        entry.size = 10;
        entry.writeTime = FromU64(7);
    }
    engine->SettleKeptPartials();
    EXPECT_TRUE(engine->keptPartials.empty());
    for (const Case& c : cases) {
        EXPECT_EQ(dir.Exists(std::string(c.stem) + ".new"), c.kept) << c.stem;
        EXPECT_EQ(dir.Exists(std::string(c.stem) + ".rec"), c.kept) << c.stem;
    }
    EXPECT_STREQ(engine->downloadResume[0].stem, "~tn0001");
    EXPECT_EQ(engine->downloadResume[0].from, 3);
    for (int i = 1; i < engine->downloadCount; ++i) EXPECT_EQ(engine->downloadResume[i].from, 0) << i;
}

TEST_F(InventoryTest, MissingInstallFolderIsCreatedWithItsParents) {
    engine->InstallDir = dir.Join("one\\two\\three");
    ASSERT_TRUE(engine->BuildLocalInventory());
    EXPECT_TRUE(dir.IsDir("one\\two\\three"));
    EXPECT_EQ(engine->localCount, 0);
}

TEST_F(InventoryTest, SizesOfFourGiBAndMoreKeepTheirLow32Bits) {
    dir.WriteSized("big.bin", (1ULL << 32) + 7);
    ASSERT_TRUE(engine->BuildLocalInventory());
    ASSERT_EQ(engine->localCount, 1);
    EXPECT_EQ(engine->localList[0].size, 7);
}

TEST_F(InventoryTest, MoreThan300FilesStopAtTheListsEnd) {
    dir.MakeDir("many");
    for (int i = 0; i < 320; ++i) dir.WriteFile("many\\f" + std::to_string(i), "");
    dir.WriteFile("after.txt", "");
    ASSERT_TRUE(engine->BuildLocalInventory());
    EXPECT_EQ(engine->localCount, 300);
    EXPECT_EQ(engine->localSkipped, 21);
    EXPECT_EQ(engine->scanDepth, 0);
    const auto paths = Paths(*engine);
    std::set<std::string> unique(paths.begin(), paths.end());
    EXPECT_EQ(unique.size(), 300u);
}

TEST_F(InventoryTest, PathsThatDoNotFitAreSkippedWithoutOverrun) {
#ifdef _WIN32
    GTEST_SKIP() << "the ANSI file API cannot make a relative path this long below a temporary folder";
#endif
    // Build a chain of folders whose relative path passes 259 bytes.
    std::string rel;
    const std::string part(50, 'd');
    for (int i = 0; i < 5; ++i) {
        rel += (rel.empty() ? "" : "\\") + part;
        dir.MakeDir(rel);
    }
    dir.WriteFile(rel + "\\" + std::string(6, 'f'), "");  // 5*51+6 = 261 bytes: too long
    dir.WriteFile(part + "\\ok.txt", "");
    ASSERT_TRUE(engine->BuildLocalInventory());
    EXPECT_EQ(Paths(*engine), (std::vector<std::string>{part + "\\ok.txt"}));
    EXPECT_GE(engine->localSkipped, 1);
    EXPECT_EQ(engine->scanPrefix[0], '\0');
    EXPECT_EQ(engine->scanDepth, 0);
}

}  // namespace
}  // namespace tarn::test
