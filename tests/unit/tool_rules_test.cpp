// What the catalogue tool refuses and warns about, on made-up releases (no disk involved).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/update-catalogue/release_rules.h"

namespace tarn::tool {
namespace {

const std::vector<std::string> kBase = {"http://h/"};

ReleaseFile File(const std::string& path, uint64_t size = 1) {
    return ReleaseFile{path, path, size, FileTime{0x12345678u, 0x01C99E9Eu}};
}

Findings Check(const std::vector<ReleaseFile>& files, const std::vector<std::string>& baseUrls = kBase) {
    Findings findings;
    CheckRelease(files, baseUrls, &findings);
    return findings;
}

std::string Dump(const Findings& findings) {
    std::string s;
    for (const Finding& f : findings)
        s += std::string(f.kind == Finding::kError ? "error: " : "warning: ") + f.subject + ": " + f.text + "\n";
    return s.empty() ? "(no findings)" : s;
}

// Exactly one finding, of the given kind, whose text contains needle.
void ExpectOnly(const Findings& findings, Finding::Kind kind, const std::string& needle) {
    ASSERT_EQ(findings.size(), 1u) << Dump(findings);
    EXPECT_EQ(findings[0].kind, kind) << Dump(findings);
    EXPECT_NE(findings[0].text.find(needle), std::string::npos) << "wanted '" << needle << "' in\n" << Dump(findings);
}

bool Has(const Findings& findings, Finding::Kind kind, const std::string& subject, const std::string& needle) {
    for (const Finding& f : findings)
        if (f.kind == kind && f.subject == subject && f.text.find(needle) != std::string::npos) return true;
    return false;
}

struct PathCase {
    std::string path;
    const char* needle;
};

TEST(ToolRulesTest, PathsTheUpdaterCannotServeAreErrorsNamingTheFile) {
    const PathCase cases[] = {
        // the updater's own temporary names: its scan would delete them
        {"a.tarn-new", ".tarn-new"},
        {"sub\\b.dll.tarn-old", ".tarn-old"},
        {"~tn0a1v.new", "~tnXXXX"},
        {"sub\\~TN0000.REC", "~tnXXXX"},
        // the file in which a signed updater records the last release it accepted
        {"tarnFileUpdater.STATE", "last signed release"},
        {"TarnFileUpdater.state\\x", "last signed release"},
        {"TARNFI~1.STA", "last signed release"},
        // the engine's unsafe-path rules
        {"..\\x.dll", "'..' component"},
        {"a\\..\\..\\x", "'..' component"},
        {"CON.txt", "reserved device name"},
        {"bin\\aux", "reserved device name"},
        {"x:stream", "':'"},
        {"a\\\\b", "empty path component"},
        {"dir.\\f", "ending in '.' or ' '"},
        {"name ", "ending in '.' or ' '"},
        // characters Windows refuses in names
        {"a<b", "Windows cannot create"},
        {"a>b", "Windows cannot create"},
        {"say\"hi\"", "Windows cannot create"},
        {"pipe|d", "Windows cannot create"},
        {"what?", "Windows cannot create"},
        {"star*", "Windows cannot create"},
        {std::string("ctl\x01.txt"), "control character"},
        // characters that change the requested URL
        {"a#b.txt", "'#'"},
        {"100%.txt", "'%'"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.path);
        const Findings f = Check({File("ok.txt"), File(c.path)});
        ExpectOnly(f, Finding::kError, c.needle);
        if (!f.empty()) {
            EXPECT_EQ(f[0].subject, c.path);
        }
    }
}

TEST(ToolRulesTest, PathLengthsAreBoundByTheCatalogueTheRequestAndTheUrl) {
    // Without base URLs (an empty list is checked on its own) only the path limits apply: 255
    // bytes fit the download request, 256 do not, and 260 do not fit the catalogue either.
    Findings f;
    CheckRelease({File(std::string(255, 'p'))}, {}, &f);
    EXPECT_EQ(CountErrors(f), 1) << Dump(f);  // only "no base URL"
    f.clear();
    CheckRelease({File(std::string(256, 'p'))}, {}, &f);
    EXPECT_TRUE(Has(f, Finding::kError, std::string(256, 'p'), "download request holds at most 255")) << Dump(f);
    f.clear();
    CheckRelease({File(std::string(260, 'p'))}, {}, &f);
    EXPECT_TRUE(Has(f, Finding::kError, std::string(260, 'p'), "catalogue holds at most 259")) << Dump(f);

    // URL = first base URL + path: 9 + 246 = 255 is the longest the updater can request.
    const std::string longest(246, 'q');
    for (const Finding& x : Check({File(longest)}))
        EXPECT_EQ(x.kind, Finding::kWarning) << Dump(Check({File(longest)}));
    const Findings over = Check({File(longest + "r")});
    EXPECT_EQ(CountErrors(over), 1) << Dump(over);
    EXPECT_NE(Dump(over).find("would be 256 bytes"), std::string::npos) << Dump(over);
    // Only the first base URL is used for downloads, so only it counts.
    const Findings second = Check({File(longest)}, {"http://h/", "http://a-much-longer-host.example/"});
    EXPECT_EQ(CountErrors(second), 0) << Dump(second);
}

TEST(ToolRulesTest, LongPathsWarnHowLongTheInstallFolderMayBe) {
    // Windows: install folder + '\' + path within 259 bytes, and the folder holds an 11-byte
    // temporary name.
    const Findings f = Check({File(std::string(200, 'w'))});
    ExpectOnly(f, Finding::kWarning, "install folder may be at most 58 bytes");
    EXPECT_TRUE(Check({File(std::string(194, 'w'))}).empty()) << Dump(Check({File(std::string(194, 'w'))}));
    const std::string deep = std::string(190, 'd') + "\\x";
    ExpectOnly(Check({File(deep)}), Finding::kWarning, "install folder may be at most 56 bytes");
}

TEST(ToolRulesTest, SizesAreBoundBySigned32Bits) {
    EXPECT_TRUE(Check({File("big.bin", 0x7FFFFFFFULL)}).empty());
    // A file of 2 GiB is refused by name (and the total with it).
    const Findings big = Check({File("big.bin", 0x80000000ULL)});
    EXPECT_TRUE(Has(big, Finding::kError, "big.bin", "2147483648 bytes")) << Dump(big);
    // 4 GiB: not mistaken for 0 by a 32-bit cut.
    const Findings huge = Check({File("huge.bin", 0x100000000ULL)});
    EXPECT_TRUE(Has(huge, Finding::kError, "huge.bin", "4294967296 bytes")) << Dump(huge);
    // Every file fits, but the run's total does not.
    ExpectOnly(Check({File("a.bin", 0x40000000ULL), File("b.bin", 0x40000000ULL)}), Finding::kError,
               "2147483648 bytes in all");
    EXPECT_TRUE(Check({File("a.bin", 0x40000000ULL), File("b.bin", 0x3FFFFFFFULL)}).empty());
}

TEST(ToolRulesTest, AtMost300Files) {
    std::vector<ReleaseFile> files;
    for (int i = 0; i < 300; ++i) files.push_back(File("f" + std::to_string(i)));
    EXPECT_TRUE(Check(files).empty());
    files.push_back(File("one-too-many"));
    ExpectOnly(Check(files), Finding::kError, "301 files");
}

TEST(ToolRulesTest, FilesDownloadedOnEveryRunAreWarnings) {
    const PathCase cases[] = {
        {"setupIFU.dat", "\"IFU\""},
        {"IFU", "\"IFU\""},
        {"dataIFU\\a.txt", "\"IFU\""},
        {"log\\a.txt", "'log'"},
        {"x\\part\\y.bin", "'part'"},
        {"archive_temp\\z", "'archive_temp'"},
        {"a\\b\\database\\c.db", "'database'"},
        {"previewtemp\\p.png", "'previewtemp'"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.path);
        ExpectOnly(Check({File(c.path)}), Finding::kWarning, c.needle);
    }
    // The updater's comparisons are case-sensitive, and only folders are excluded.
    const char* const fine[] = {"ifu.dat", "Ifu\\x", "Log\\a.txt", "LOG\\a", "log", "part.bin", "database.db"};
    for (const char* path : fine) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(Check({File(path)}).empty()) << Dump(Check({File(path)}));
    }
}

TEST(ToolRulesTest, LegitimateOddNamesPass) {
    const std::string hangul = "\xC7\xD1\xB1\xDB\\\xC6\xC4\xC0\xCF.txt";  // 한글\파일.txt
    const char* const names[] = {"..foo",
                                 "a.b.c",
                                 "with blank.txt",
                                 "CONSOLE.txt",
                                 "COM10",
                                 "x\\.hidden",
                                 "file..name",
                                 "d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8\\leaf.bin",
                                 "(1)[2]{3}+&=;,'!~@$^.txt"};
    std::vector<ReleaseFile> files{File(hangul)};
    for (const char* n : names) files.push_back(File(n));
    EXPECT_TRUE(Check(files).empty()) << Dump(Check(files));
}

TEST(ToolRulesTest, NamesThatWindowsFoldsTogether) {
    ExpectOnly(Check({File("A.txt"), File("a.txt")}), Finding::kError, "only in letter case");
    ExpectOnly(Check({File("bin"), File("BIN\\x.dll")}), Finding::kError, "only in letter case");
    // Two spellings of one folder: both land in it, but one never matches the scan's spelling.
    ExpectOnly(Check({File("Bin\\a.dll"), File("bin\\b.dll"), File("bin\\c.dll")}), Finding::kWarning,
               "downloaded on every run");
    EXPECT_TRUE(Check({File("Bin\\a.dll"), File("Bin\\b.dll")}).empty());
    // Hangul has no letter case; the same bytes after a lead byte must not be folded.
    EXPECT_TRUE(Check({File("\xB0\x61.txt"), File("\xB0\x41.txt")}).empty());
}

TEST(ToolRulesTest, BaseUrls) {
    ExpectOnly(Check({File("a")}, {}), Finding::kError, "nowhere to fetch from");
    EXPECT_TRUE(Check({}, {}).empty()) << "an empty release needs no base URL";
    ExpectOnly(Check({File("a")}, {""}), Finding::kError, "empty base URL");
    ExpectOnly(Check({}, {"http://h/" + std::string(250, 'u') + "/"}), Finding::kError, "260 bytes");
    EXPECT_TRUE(Check({}, {"http://h/" + std::string(249, 'u') + "/"}).empty());
    ExpectOnly(Check({}, {"http://h/a b/"}), Finding::kError, "percent-encode");
    ExpectOnly(Check({}, {"http://h/\xED\x95\x9C/"}), Finding::kError, "percent-encode");
    ExpectOnly(Check({File("a")}, {"http://h/files"}), Finding::kWarning, "does not end with '/'");
    ExpectOnly(Check({}, {"ftp://h/"}), Finding::kWarning, "http://");
    EXPECT_TRUE(Check({}, {"https://h/x/"}).empty());
    ExpectOnly(Check({File("a")}, {"http://a/", "http://b/"}), Finding::kWarning, "first one only");

    std::vector<std::string> many(301, "http://h/");
    const Findings f = Check({File("a")}, many);
    EXPECT_EQ(CountErrors(f), 1) << Dump(f);
    EXPECT_NE(Dump(f).find("301 given"), std::string::npos);
}

TEST(ToolRulesTest, EveryProblemIsReportedNotJustTheFirst) {
    const Findings f = Check({File("a#b"), File("CON"), File("log\\x"), File("big", 0x80000000ULL)}, {"http://h"});
    EXPECT_EQ(CountErrors(f), 4) << Dump(f);
    EXPECT_TRUE(Has(f, Finding::kError, "release", "bytes in all")) << Dump(f);
    EXPECT_EQ(static_cast<int>(f.size()) - CountErrors(f), 2) << Dump(f);
}

TEST(ToolRulesTest, EntriesAreOrderedByPathBytes) {
    std::vector<ReleaseFile> files{File("\xC7\xD1.txt"), File("b"), File("B"), File("a\\z"), File("a.txt"), File("a")};
    SortByPath(&files);
    std::vector<std::string> order;
    for (const ReleaseFile& f : files) order.push_back(f.path);
    // Bytes compare unsigned: upper case before lower, '.' (0x2E) before '\' (0x5C), CP949 last.
    EXPECT_EQ(order, (std::vector<std::string>{"B", "a", "a.txt", "a\\z", "b", "\xC7\xD1.txt"}));
}

}  // namespace
}  // namespace tarn::tool
