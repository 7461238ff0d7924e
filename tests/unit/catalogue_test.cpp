#include <gtest/gtest.h>

#include <cstring>

#include "engine/update_engine.h"
#include "platform/platform.h"
#include "test_support.h"

namespace tarn::test {
namespace {

const uint64_t kTime = UtcFileTime(2009, 3, 7, 5, 5, 8);

class CatalogueTest : public ::testing::Test {
protected:
    CatalogueTest() : engine(std::make_unique<UpdateEngine>(SystemPlatform(), &host)) {
        SystemPlatform().SetCurrentDir(dir.path().c_str());
    }

    bool Parse(const std::string& bytes) {
        LoadBytes(*engine, bytes);
        return engine->ParseCatalogue();
    }

    CurrentDirGuard cwd;
    TempFolder dir;
    RecordingHost host;
    std::unique_ptr<UpdateEngine> engine;
};

TEST_F(CatalogueTest, ReadsBaseUrlsAndEntriesByteForByte) {
    CatalogueBuilder c;
    c.Header().I32(2).Text("http://h/a/").Text("http://h/b/");
    c.Entry("a.txt", 10, kTime).Entry("bin\\tool.dll", 0x7FFFFFFF, 0x0123456789ABCDEFULL);
    ASSERT_TRUE(Parse(c.bytes()));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(engine->baseUrlCount, 2);
    EXPECT_STREQ(engine->baseUrls[0], "http://h/a/");
    EXPECT_STREQ(engine->baseUrls[1], "http://h/b/");
    ASSERT_EQ(engine->serverCount, 2);
    EXPECT_STREQ(engine->serverList[0].path, "a.txt");
    EXPECT_EQ(engine->serverList[0].size, 10);
    EXPECT_EQ(ToU64(engine->serverList[0].writeTime), kTime);
    EXPECT_STREQ(engine->serverList[1].path, "bin\\tool.dll");
    EXPECT_EQ(engine->serverList[1].size, 0x7FFFFFFF);
    EXPECT_EQ(engine->serverList[1].writeTime.low, 0x89ABCDEFu);
    EXPECT_EQ(engine->serverList[1].writeTime.high, 0x01234567u);
    EXPECT_EQ(engine->serverList[1].matched, 0);
    EXPECT_EQ(engine->totalBytes, 0);
    EXPECT_EQ(engine->bytesDone, 0);
}

TEST_F(CatalogueTest, HeaderAndZeroCountIsAnEmptyCatalogue) {
    ASSERT_TRUE(Parse(CatalogueBuilder().Header().I32(0).bytes()));
    EXPECT_EQ(engine->baseUrlCount, 0);
    EXPECT_EQ(engine->serverCount, 0);
}

TEST_F(CatalogueTest, NegativeBaseUrlCountReadsNoUrl) {
    ASSERT_TRUE(Parse(CatalogueBuilder().Header().I32(-5).Entry("x.bin", 3, kTime).bytes()));
    EXPECT_EQ(engine->serverCount, 1);
    EXPECT_STREQ(engine->serverList[0].path, "x.bin");
}

TEST_F(CatalogueTest, CreatesTheFoldersOfEveryEntryButNotTheFile) {
    ASSERT_TRUE(Parse(CatalogueBuilder().Header().I32(1).Text("u/").Entry("x\\y\\z.bin", 1, kTime).bytes()));
    EXPECT_TRUE(dir.IsDir("x"));
    EXPECT_TRUE(dir.IsDir("x\\y"));
    EXPECT_FALSE(dir.Exists("x\\y\\z.bin"));
}

TEST_F(CatalogueTest, FoldersSharedWithThePreviousEntryAndLookAlikesAreAllCreated) {
    ASSERT_TRUE(Parse(CatalogueBuilder().Header().I32(0).Entry("a\\b\\x", 1, kTime).Entry("a\\b\\y", 1, kTime)
                          .Entry("a\\bc\\z", 1, kTime).Entry("a\\c\\w", 1, kTime).Entry("ab\\v", 1, kTime)
                          .Entry("a\\b\\d\\u", 1, kTime).bytes()));
    for (const char* folder : {"a", "a\\b", "a\\bc", "a\\c", "ab", "a\\b\\d"}) EXPECT_TRUE(dir.IsDir(folder)) << folder;
}

TEST_F(CatalogueTest, ForwardSlashPathCreatesNoFolder) {
    ASSERT_TRUE(Parse(CatalogueBuilder().Header().I32(0).Entry("p/q.bin", 1, kTime).bytes()));
    EXPECT_EQ(engine->serverCount, 1);
    EXPECT_TRUE(dir.List().empty());
}

TEST_F(CatalogueTest, DuplicatePathsStaySeparateInOrder) {
    ASSERT_TRUE(Parse(CatalogueBuilder().Header().I32(0).Entry("d.bin", 1, kTime).Entry("d.bin", 2, kTime).bytes()));
    ASSERT_EQ(engine->serverCount, 2);
    EXPECT_EQ(engine->serverList[0].size, 1);
    EXPECT_EQ(engine->serverList[1].size, 2);
}

TEST_F(CatalogueTest, FullCatalogueAtEveryLimitIsAccepted) {
    CatalogueBuilder c;
    c.Header().I32(300);
    for (int i = 0; i < 300; ++i) c.Text(std::string(258, 'u') + char('0' + i % 10));
    for (int i = 0; i < 300; ++i) {
        std::string path = "f" + std::to_string(i) + "_";
        path += std::string(259 - path.size(), 'p');
        c.Entry(path, i, kTime);
    }
    ASSERT_TRUE(Parse(c.bytes()));
    EXPECT_EQ(engine->baseUrlCount, 300);
    EXPECT_EQ(engine->serverCount, 300);
    EXPECT_EQ(std::strlen(engine->serverList[299].path), 259u);
}

struct BrokenCase {
    const char* name;
    std::string bytes;
    CatalogueVerdict verdict;
};

TEST_F(CatalogueTest, BrokenCataloguesAreRejectedWithTheHeaderBoxAndCreateNothing) {
    const std::string good = CatalogueBuilder().Header().I32(1).Text("http://h/").bytes();
    const std::string entry = CatalogueBuilder().Entry("dir\\f.bin", 5, kTime).bytes();
    std::string tooManyUrls = CatalogueBuilder().Header().I32(301).bytes();
    for (int i = 0; i < 301; ++i) tooManyUrls += "u" + std::string(1, '\0');
    std::string tooManyEntries = good;
    for (int i = 0; i < 301; ++i) tooManyEntries += CatalogueBuilder().Entry("dir\\f.bin", 5, kTime).bytes();

    const BrokenCase cases[] = {
        {"empty", "", CatalogueVerdict::kBadHeader},
        {"short header", "Update Inf", CatalogueVerdict::kBadHeader},
        {"lower-case header", CatalogueBuilder().Header("update info").I32(0).bytes(), CatalogueVerdict::kBadHeader},
        {"html page", "<html><body>404</body></html>", CatalogueVerdict::kBadHeader},
        {"header only", "Update Info", CatalogueVerdict::kTruncated},
        {"count cut short", "Update Info\x01\x00", CatalogueVerdict::kTruncated},
        {"base url past end", CatalogueBuilder().Header().I32(2).Text("http://h/").Raw("http://").bytes(),
         CatalogueVerdict::kTruncated},
        {"too many base urls", tooManyUrls, CatalogueVerdict::kTooManyBaseUrls},
        {"base url of 260 bytes", CatalogueBuilder().Header().I32(1).Text(std::string(260, 'u')).bytes(),
         CatalogueVerdict::kTextTooLong},
        {"entry cut in its time", good + entry.substr(0, entry.size() - 1), CatalogueVerdict::kTruncated},
        {"entry path without nul", good + "dir\\f.bin", CatalogueVerdict::kTruncated},
        {"path of 260 bytes", good + CatalogueBuilder().Entry(std::string(260, 'p'), 1, kTime).bytes(),
         CatalogueVerdict::kTextTooLong},
        {"too many entries", tooManyEntries, CatalogueVerdict::kTooManyEntries},
        {"negative size", good + CatalogueBuilder().Entry("dir\\g.bin", -1, kTime).bytes(),
         CatalogueVerdict::kNegativeSize},
        {"unsafe path after good entries", good + entry + CatalogueBuilder().Entry("..\\evil.dll", 1, kTime).bytes(),
         CatalogueVerdict::kUnsafePath},
    };
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh = std::make_unique<UpdateEngine>(SystemPlatform(), &host);
        host.boxes.clear();
        LoadBytes(*fresh, c.bytes);
        EXPECT_FALSE(fresh->ParseCatalogue());
        EXPECT_EQ(fresh->lastVerdict(), c.verdict);
        ASSERT_EQ(host.boxes.size(), 1u);
        EXPECT_EQ(host.boxes[0], "File check error|Check update info");
        EXPECT_EQ(fresh->serverCount, 0);
        EXPECT_TRUE(dir.List().empty()) << "a rejected catalogue created something";
    }
}

TEST_F(CatalogueTest, HostilePathsRejectTheWholeCatalogueBeforeAnyFolderIsMade) {
    const char* const hostile[] = {
        "\\windows\\x.dll", "/etc/x", "C:\\x.dll", "c:x.dll", "\\\\server\\share\\x", "\\\\?\\C:\\x",
        "\\\\.\\PhysicalDrive0", "..\\x.dll", "a\\..\\..\\x.dll", "a/../x", "..", "a\\b:stream", "a\\\\b", "a\\",
        "CON", "con.txt", "a\\NUL", "Aux.dll", "COM1", "lpt9.log", "CONIN$", "conout$.x", "a\\b.", "a \\b", "dir.\\b",
        "prn .txt",
    };
    for (const char* path : hostile) {
        SCOPED_TRACE(path);
        auto fresh = std::make_unique<UpdateEngine>(SystemPlatform(), &host);
        host.boxes.clear();
        // A legitimate entry first: its folder must not be created either.
        LoadBytes(*fresh, CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("ok\\a.bin", 1, kTime)
                              .Entry(path, 1, kTime).bytes());
        EXPECT_FALSE(fresh->ParseCatalogue());
        EXPECT_EQ(fresh->lastVerdict(), CatalogueVerdict::kUnsafePath);
        EXPECT_EQ(host.boxes.size(), 1u);
        EXPECT_TRUE(dir.List().empty());
    }
}

TEST_F(CatalogueTest, LegitimateOddNamesAreAccepted) {
    const std::string deep = "d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8\\d9\\d10\\leaf.bin";
    const std::string hangul = "\xC7\xD1\xB1\xDB\\\xC6\xC4\xC0\xCF.txt";  // 한글\파일.txt
    const char* const names[] = {"..foo", "a.b.c", "with blank.txt", "CONSOLE.txt", "COM10", "nul_file", "x\\.hidden",
                                 "LPT", "file..name"};
    CatalogueBuilder c;
    c.Header().I32(0).Entry(deep, 1, kTime).Entry(hangul, 2, kTime);
    for (const char* n : names) c.Entry(n, 3, kTime);
    ASSERT_TRUE(Parse(c.bytes())) << DescribeVerdict(engine->lastVerdict());
    EXPECT_EQ(engine->serverCount, 2 + static_cast<int>(sizeof names / sizeof names[0]));
    EXPECT_TRUE(dir.IsDir("d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8\\d9\\d10"));
    EXPECT_TRUE(dir.IsDir("\xC7\xD1\xB1\xDB"));
    EXPECT_TRUE(host.boxes.empty());
}

}  // namespace
}  // namespace tarn::test
