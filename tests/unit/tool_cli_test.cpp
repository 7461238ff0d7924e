// The catalogue tool's commands end to end inside the process, on real folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/update_engine.h"
#include "platform/platform.h"
#include "test_support.h"
#include "tools/update-catalogue/readonly_platform.h"
#include "tools/update-catalogue/tool.h"
#include "transfer/transfer_record.h"

namespace tarn::tool {
namespace {

using test::CatalogueBuilder;

const std::string kHangul = "\xC7\xD1\xB1\xDB";              // 한글 in CP949
const std::string kHangulUtf8 = "\xED\x95\x9C\xEA\xB8\x80";  // the same in UTF-8
const uint64_t kTime = test::UtcFileTime(2009, 3, 7, 5, 5, 8);

class ToolCliTest : public ::testing::Test {
protected:
    // Host path (what the tool takes on the command line) of a path below the test folder.
    std::string Host(const std::string& rel) const { return test::HostPath(rel.empty() ? dir.path() : dir.Join(rel)); }

    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return RunTool(args, out, err);
    }

    // Parses a catalogue file with the engine, touching nothing.
    std::unique_ptr<UpdateEngine> Parse(const std::string& rel) {
        auto engine = std::make_unique<UpdateEngine>(readOnly);
        test::LoadBytes(*engine, dir.Read(rel));
        EXPECT_TRUE(engine->ParseCatalogue()) << DescribeVerdict(engine->lastVerdict());
        return engine;
    }

    void WriteCatalogue(const std::string& rel, const std::string& bytes) const { dir.WriteFile(rel, bytes); }

    test::TempFolder dir;
    test::CurrentDirGuard cwd;  // after dir: the folder is left before it is removed
    ReadOnlyPlatform readOnly{SystemPlatform()};
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(ToolCliTest, BuildWritesACatalogueTheEngineReadsBackInPathOrder) {
    dir.MakeDir("rel");
    dir.MakeDir("rel\\sub");
    dir.MakeDir("rel\\" + kHangul);
    dir.MakeDir("out");
    dir.WriteFile("rel\\b.txt", "bb");
    dir.WriteFile("rel\\sub\\a.dll", "aaaa");
    dir.WriteFile("rel\\" + kHangul + "\\" + kHangul + ".dat", "123");
    dir.WriteFile("rel\\A.txt", "");
    for (const char* f : {"b.txt", "sub\\a.dll", "A.txt"}) dir.SetWriteTime(std::string("rel\\") + f, FromU64(kTime));
    ASSERT_EQ(Run({"build", Host("rel"), "--base-url", "http://h/files/", "-o", Host("out\\pim")}), 0) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_NE(out.str().find("4 files, 9 bytes in all"), std::string::npos) << out.str();
    // Only the catalogue: no temporary file stays behind.
    EXPECT_EQ(dir.List("out"), std::vector<std::string>{"pim"});

    auto engine = Parse("out\\pim");
    ASSERT_EQ(engine->baseUrlCount, 1);
    EXPECT_STREQ(engine->baseUrls[0], "http://h/files/");
    ASSERT_EQ(engine->serverCount, 4);
    const std::string order[] = {"A.txt", "b.txt", "sub\\a.dll", kHangul + "\\" + kHangul + ".dat"};
    const int32_t sizes[] = {0, 2, 4, 3};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(engine->serverList[i].path, order[i]);
        EXPECT_EQ(engine->serverList[i].size, sizes[i]);
        if (i < 3) {
            EXPECT_EQ(ToU64(engine->serverList[i].writeTime), kTime);
        }
    }
}

TEST_F(ToolCliTest, RefusedReleaseLeavesThePublishedCatalogueUntouched) {
    dir.MakeDir("rel");
    dir.MakeDir("out");
    dir.WriteFile("rel\\a#b.txt", "x");
    dir.WriteFile("rel\\fine.txt", "y");
    dir.WriteFile("out\\pim", "the published one");
    EXPECT_EQ(Run({"build", Host("rel"), "--base-url", "http://h/", "-o", Host("out\\pim")}), kExitFailed);
    EXPECT_NE(err.str().find("error: a#b.txt: '#'"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("refused: 1 error"), std::string::npos) << err.str();
    EXPECT_EQ(dir.Read("out\\pim"), "the published one");
    EXPECT_EQ(dir.List("out"), std::vector<std::string>{"pim"});
}

TEST_F(ToolCliTest, WarningsAreReportedAndTheCatalogueIsStillWritten) {
    dir.MakeDir("rel");
    dir.MakeDir("rel\\log");
    dir.WriteFile("rel\\log\\today.txt", "x");
    dir.WriteFile("rel\\setupIFU.dat", "y");
    ASSERT_EQ(Run({"build", Host("rel"), "--base-url=http://h/x", "--output", Host("pim")}), 0) << err.str();
    const std::string e = err.str();
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 3) << e;
    EXPECT_NE(e.find("warning: setupIFU.dat"), std::string::npos) << e;
    EXPECT_NE(e.find("'log'"), std::string::npos) << e;
    EXPECT_NE(e.find("does not end with '/'"), std::string::npos) << e;
    EXPECT_EQ(Parse("pim")->serverCount, 2);
}

TEST_F(ToolCliTest, CatalogueInsideTheReleaseIsRefused) {
    dir.MakeDir("rel");
    dir.WriteFile("rel\\a.txt", "x");
    EXPECT_EQ(Run({"build", Host("rel"), "--base-url", "http://h/", "-o", Host("rel\\pim")}), kExitFailed);
    EXPECT_NE(err.str().find("inside the release folder"), std::string::npos) << err.str();
    EXPECT_EQ(dir.List("rel"), std::vector<std::string>{"a.txt"});
}

TEST_F(ToolCliTest, EmptyReleaseNeedsNoBaseUrl) {
    dir.MakeDir("rel");
    dir.MakeDir("rel\\only-folders");
    ASSERT_EQ(Run({"build", Host("rel"), "-o", Host("pim")}), 0) << err.str();
    EXPECT_EQ(dir.Read("pim"), std::string("Update Info\0\0\0\0", 15));
}

TEST_F(ToolCliTest, WrongUsageAndHelp) {
    dir.MakeDir("rel");
    const std::vector<std::vector<std::string>> usage = {
        {},
        {"frobnicate"},
        {"build", Host("rel")},
        {"build", Host("rel"), "-o"},
        {"build", Host("rel"), "-o", "a", "-o", "b"},
        {"build", Host("rel"), Host("rel"), "-o", "a"},
        {"build", Host("rel"), "--verbose", "-o", "a"},
        {"show"},
        {"show", "a", "b"},
        {"plan", "a"},
        {"help", "nothing"},
        {"verify"},
        {"verify", "http://h/", "--timeout", "0"},
    };
    for (const auto& args : usage) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0] + " ... " + std::to_string(args.size()));
        EXPECT_EQ(Run(args), kExitUsage);
        EXPECT_NE(err.str().find("usage: update-catalogue"), std::string::npos) << err.str();
    }
    const std::vector<std::vector<std::string>> help = {
        {"--help"},         {"-h"},         {"help"},        {"help", "build"}, {"build", "--help"},
        {"show", "--help"}, {"plan", "-h"}, {"help", "plan"}};
    for (const auto& args : help) {
        EXPECT_EQ(Run(args), 0);
        EXPECT_NE(out.str().find("usage: update-catalogue"), std::string::npos);
        EXPECT_EQ(err.str(), "");
    }
    EXPECT_NE((Run({"build", "--help"}), out.str()).find("--base-url"), std::string::npos);
    // The top-level usage names, for each command, every option that command's own help describes.
    Run({"--help"});
    const std::string topLevel = out.str();
    for (const char* command :
         {"build", "show", "plan", "stage", "verify", "show-blocks", "diff-size", "keygen", "verify-signature"}) {
        const size_t begin = topLevel.find(std::string("\n  ") + command + " ");
        ASSERT_NE(begin, std::string::npos) << command;
        size_t end = begin + 1;  // the command's lines end where the next command's begins
        while ((end = topLevel.find("\n  ", end + 1)) != std::string::npos && topLevel[end + 3] == ' ') {
        }
        const std::string entry = topLevel.substr(begin, end - begin);
        Run({"help", command});
        const std::string own = out.str();
        for (size_t at = own.find("--"); at != std::string::npos; at = own.find("--", at + 2)) {
            const std::string option =
                own.substr(at, own.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2) - at);
            const bool shortForm = own.find(", " + option) != std::string::npos;  // "-o, --output" shows as -o
            if (option.size() > 2 && option != "--help" && !shortForm)
                EXPECT_NE(entry.find(option), std::string::npos) << command << " " << option;
        }
    }
    EXPECT_EQ(Run({"build", Host("missing"), "--base-url", "http://h/", "-o", Host("pim")}), kExitFailed);
    EXPECT_NE(err.str().find("not a folder"), std::string::npos);
    EXPECT_FALSE(dir.Exists("pim"));
}

TEST_F(ToolCliTest, ShowPrintsHeaderBaseUrlsAndEveryEntry) {
    WriteCatalogue("pim", CatalogueBuilder()
                              .Header()
                              .I32(2)
                              .Text("http://h/a/")
                              .Text("http://h/b/")
                              .Entry(kHangul + "\\x.dat", 1234, kTime)
                              .Entry("old.txt", 0, test::UtcFileTime(1975, 1, 1, 0, 0, 0))
                              .bytes());
    ASSERT_EQ(Run({"show", Host("pim")}), 0) << err.str();
    const std::string o = out.str();
    EXPECT_NE(o.find("header: Update Info"), std::string::npos) << o;
    EXPECT_NE(o.find("base URLs: 2"), std::string::npos) << o;
    EXPECT_NE(o.find("[1] http://h/b/"), std::string::npos) << o;
    EXPECT_NE(o.find("entries: 2, 1234 bytes in all"), std::string::npos) << o;
    EXPECT_NE(o.find("1234  2009-03-07 05:05:08"), std::string::npos) << o;
    EXPECT_NE(o.find(kHangulUtf8 + "\\x.dat"), std::string::npos) << o;
    // The local-time text is the plan's own, with this machine's offset; before 1980 it is empty.
    auto engine = std::make_unique<UpdateEngine>(readOnly);
    UpdateFileEntry entry{};
    entry.writeTime = FromU64(kTime);
    engine->FormatEntryTime(entry);
    ASSERT_NE(entry.timeText[0], '\0');
    EXPECT_NE(o.find(entry.timeText), std::string::npos) << o;
    EXPECT_NE(o.find("1975-01-01 00:00:00  -"), std::string::npos) << o;
}

TEST_F(ToolCliTest, ShowSaysWhatIsWrongWithABrokenCatalogueAndWhere) {
    const std::string good = CatalogueBuilder().Header().I32(1).Text("http://h/").bytes();  // 25 bytes
    const struct {
        std::string bytes;
        const char* reason;
        int offset;
    } cases[] = {
        {"<html>404</html>", "header", 0},
        {"Update Info", "data ends", 11},
        {CatalogueBuilder().Header().I32(2).Text("http://h/").Raw("http").bytes(), "data ends", 25},
        {CatalogueBuilder().Header().I32(301).bytes(), "more than 300 base URLs", 11},
        {good + CatalogueBuilder().Entry("a", 1, kTime).bytes().substr(0, 10), "data ends", 25},
        {good + CatalogueBuilder().Entry("a", 1, kTime).Entry("bb", -1, kTime).bytes(), "negative", 14 + 25 + 3},
        {good + CatalogueBuilder().Entry("a", 1, kTime).Entry("..\\x", 1, kTime).bytes(), "unsafe", 14 + 25},
        {good + std::string(300, 'p'), "longer than 259", 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        WriteCatalogue("bad", c.bytes);
        EXPECT_EQ(Run({"show", Host("bad")}), kExitFailed);
        EXPECT_EQ(out.str(), "");
        const std::string e = err.str();
        EXPECT_NE(e.find(c.reason), std::string::npos) << e;
        EXPECT_NE(e.find("at byte offset " + std::to_string(c.offset)), std::string::npos) << e;
        EXPECT_NE(e.find("bad: "), std::string::npos) << e;
    }
    // Larger than 300 base URLs and 300 entries at their longest: not read into memory whole.
    WriteCatalogue("bad", good + std::string(static_cast<size_t>(kMaxCatalogueBytes), 'z'));
    EXPECT_EQ(Run({"show", Host("bad")}), kExitFailed);
    EXPECT_NE(err.str().find("larger than any catalogue can be"), std::string::npos) << err.str();
    EXPECT_EQ(Run({"show", Host("missing")}), kExitFailed);
    EXPECT_NE(err.str().find("cannot open"), std::string::npos) << err.str();
    EXPECT_EQ(dir.List(), std::vector<std::string>{"bad"});
}

TEST_F(ToolCliTest, PlanComparesLikeTheUpdater) {
    dir.MakeDir("install");
    dir.WriteFile("install\\same.txt", "1234");
    dir.WriteFile("install\\size.txt", "12");
    dir.WriteFile("install\\time.txt", "1234");
    dir.WriteFile("install\\local-only.txt", "zz");
    // One second later is the same two-second text; two seconds later is not.
    dir.SetWriteTime("install\\same.txt", FromU64(kTime + 10000000ULL));
    dir.SetWriteTime("install\\size.txt", FromU64(kTime));
    dir.SetWriteTime("install\\time.txt", FromU64(kTime + 20000000ULL));
    WriteCatalogue("pim", CatalogueBuilder()
                              .Header()
                              .I32(1)
                              .Text("http://h/")
                              .Entry("same.txt", 4, kTime)
                              .Entry("size.txt", 3, kTime)
                              .Entry("time.txt", 4, kTime)
                              .Entry("SAME.txt", 4, kTime)
                              .Entry("new\\n.bin", 100, kTime)
                              .bytes());
    ASSERT_EQ(Run({"plan", Host("pim"), Host("install")}), 0) << err.str();
    const std::string o = out.str();
    EXPECT_NE(o.find("local files listed: 4"), std::string::npos) << o;
    EXPECT_NE(o.find("catalogue entries: 5, up to date: 1"), std::string::npos) << o;
    EXPECT_NE(o.find("to download: 4 files, 111 bytes"), std::string::npos) << o;
    EXPECT_NE(o.find("3  size    size.txt"), std::string::npos) << o;
    EXPECT_NE(o.find("4  time    time.txt"), std::string::npos) << o;
    EXPECT_NE(o.find("4  new     SAME.txt"), std::string::npos) << o;
    EXPECT_NE(o.find("100  new     new\\n.bin"), std::string::npos) << o;
    EXPECT_EQ(o.find("same.txt"), std::string::npos) << o;
    EXPECT_EQ(o.find("local-only"), std::string::npos) << o;
    // Catalogue order is download order.
    EXPECT_LT(o.find("size.txt"), o.find("time.txt"));
    EXPECT_LT(o.find("SAME.txt"), o.find("new\\n.bin"));
}

TEST_F(ToolCliTest, PlanCreatesAndDeletesNothing) {
    dir.MakeDir("install");
    dir.WriteFile("install\\a.dll.tarn-new", "half a download");
    dir.WriteFile("install\\b.dll.tarn-old", "moved aside");
    dir.SetWriteTime("install\\b.dll.tarn-old", FromU64(kTime));
    TransferRecord record;
    record.target = "c.dll";
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(EncodeTransferRecord(record, &bytes));
    dir.WriteFile("install\\~tn0000.rec", std::string(bytes.begin(), bytes.end()));
    dir.WriteFile("install\\~tn0000.old", "aside too");
    dir.SetWriteTime("install\\~tn0000.old", FromU64(kTime));
    // The updater moves an old copy whose file is missing back; the plan counts it as there.
    WriteCatalogue("pim", CatalogueBuilder()
                              .Header()
                              .I32(1)
                              .Text("http://h/")
                              .Entry("b.dll", 11, kTime)
                              .Entry("c.dll", 9, kTime)
                              .Entry("x\\y\\z.bin", 7, kTime)
                              .bytes());
    ASSERT_EQ(Run({"plan", Host("pim"), Host("install")}), 0) << err.str();
    EXPECT_EQ(dir.List("install"),
              (std::vector<std::string>{"a.dll.tarn-new", "b.dll.tarn-old", "~tn0000.old", "~tn0000.rec"}));
    EXPECT_NE(out.str().find("to download: 1 file, 7 bytes"), std::string::npos) << out.str();

    // A missing install folder: everything is downloaded, and it is not created.
    ASSERT_EQ(Run({"plan", Host("pim"), Host("nowhere\\deeper")}), 0) << err.str();
    EXPECT_NE(out.str().find("does not exist: every entry is downloaded"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("to download: 3 files, 27 bytes"), std::string::npos) << out.str();
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"install", "pim"}));

    // A rejected catalogue is reported before anything else, and still nothing is made.
    WriteCatalogue("bad", CatalogueBuilder().Header().I32(0).Entry("a\\b", 1, kTime).Entry("CON", 1, kTime).bytes());
    EXPECT_EQ(Run({"plan", Host("bad"), Host("install")}), kExitFailed);
    EXPECT_NE(err.str().find("unsafe"), std::string::npos) << err.str();
    EXPECT_EQ(dir.List("install").size(), 4u);
    EXPECT_EQ(Run({"plan", Host("pim"), Host("pim")}), kExitFailed);
    EXPECT_NE(err.str().find("not a folder"), std::string::npos) << err.str();
}

TEST_F(ToolCliTest, PlanSaysWhenTheUpdaterCannotCarryItOut) {
    const std::string base = CatalogueBuilder().Header().I32(1).Text("http://h/").bytes();
    const struct {
        std::string bytes;
        const char* expected;
    } cases[] = {
        {CatalogueBuilder().Header().I32(0).Entry("a", 1, kTime).bytes(), "no base URL"},
        {base + CatalogueBuilder().Entry("a", 0x7FFFFFFF, kTime).Entry("b", 1, kTime).bytes(), "2147483648 bytes\n"},
        {base + CatalogueBuilder().Entry("a", 1, kTime).Entry(std::string(247, 'p'), 1, kTime).bytes(),
         "would pass 255 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        WriteCatalogue("pim", c.bytes);
        ASSERT_EQ(Run({"plan", Host("pim"), Host("nowhere")}), 0) << err.str();
        EXPECT_NE(out.str().find(c.expected), std::string::npos) << out.str();
        EXPECT_NE(out.str().find("note: "), std::string::npos) << out.str();
    }
    WriteCatalogue("pim", base + CatalogueBuilder().Entry(std::string(246, 'p'), 1, kTime).bytes());
    ASSERT_EQ(Run({"plan", Host("pim"), Host("nowhere")}), 0) << err.str();
    EXPECT_EQ(out.str().find("note: "), std::string::npos) << out.str();
}

TEST_F(ToolCliTest, ReleasePlannedAgainstItselfDownloadsOnlyWhatTheScanSkips) {
    dir.MakeDir("rel");
    dir.MakeDir("rel\\bin");
    dir.MakeDir("rel\\log");
    dir.MakeDir("rel\\" + kHangul);
    dir.WriteFile("rel\\bin\\client.dll", "dll");
    dir.WriteFile("rel\\log\\keep.txt", "log");
    dir.WriteFile("rel\\" + kHangul + "\\" + kHangul + ".txt", "hangul");
    dir.WriteFile("rel\\setupIFU.dat", "ifu");
    ASSERT_EQ(Run({"build", Host("rel"), "--base-url", "http://h/", "-o", Host("pim")}), 0) << err.str();
    ASSERT_EQ(Run({"plan", Host("pim"), Host("rel")}), 0) << err.str();
    const std::string o = out.str();
    EXPECT_NE(o.find("catalogue entries: 4, up to date: 2"), std::string::npos) << o;
    EXPECT_NE(o.find("to download: 2 files, 6 bytes"), std::string::npos) << o;
    EXPECT_NE(o.find("log\\keep.txt"), std::string::npos) << o;
    EXPECT_NE(o.find("setupIFU.dat"), std::string::npos) << o;
}

}  // namespace
}  // namespace tarn::tool
