#include <gtest/gtest.h>

#include "engine/path_rules.h"
#include "base/text.h"

namespace tarn {
namespace {

TEST(PathRules, ExcludedFolderNamesAreExactAndCaseSensitive) {
    for (const char* n : {"part", "log", "archive_temp", "database", "previewtemp"}) EXPECT_TRUE(IsExcludedFolderName(n)) << n;
    for (const char* n : {"Log", "LOG", "parts", "logs", "Database", "previewTemp", ""}) EXPECT_FALSE(IsExcludedFolderName(n)) << n;
}

TEST(PathRules, IfuIsFoundByCharactersNotBytes) {
    EXPECT_TRUE(ContainsIfu("setupIFU.dat"));
    EXPECT_TRUE(ContainsIfu("IFU"));
    EXPECT_FALSE(ContainsIfu("setupifu.dat"));
    EXPECT_FALSE(ContainsIfu("IF U"));
    // 0xB0 0x49 is one double-byte character whose trail byte is 'I': "FU" after it is no match.
    EXPECT_FALSE(ContainsIfu("\xB0\x49" "FU.dat"));
    EXPECT_TRUE(ContainsIfu("\xB0\x49IFU.dat"));
}

TEST(PathRules, LastBackslashSkipsTrailBytes) {
    const char path[] = "C:\\\xC7\xD1\\a";
    EXPECT_EQ(FindLastBackslash(path), path + 5);
    EXPECT_EQ(FindLastBackslash("noslash"), nullptr);
    // A lone lead byte at the end must not step over the terminator.
    const char odd[] = "a\\\xC7";
    EXPECT_EQ(FindLastBackslash(odd), odd + 1);
}

TEST(PathRules, FolderPrefixesMatchAsWindowsComparesNames) {
    struct Case {
        const char* path;
        const char* folder;
        int rest;  // offset of the rest in path, -1: no match
    };
    const Case cases[] = {
        {"a.dll", "", 0},
        {"Bin/Sub\\a.dll", "bin\\SUB\\", 8},
        {"bin\\a.dll", "bin/", 4},
        {"\xC7\xD1\\a", "\xC7\xD1\\", 3},
        {"bin", "bin\\", -1},
        {"bin2\\a", "bin\\", -1},
        // Trail bytes are neither letters nor separators: 0xB1 0x5A is not 0xB1 0x7A, and 0x81
        // 0x5C is one character, never a folder's end.
        {"\xB1\x7A\\a", "\xB1\x5A\\", -1},
        {"\x81\\a", "\x81/", -1},
        {"\x81/a", "\x81\\", -1},
        {"A\\a", "\xC1\x41\\", -1},
    };
    for (const Case& c : cases) {
        const char* rest = SkipFolderPrefix(c.path, c.folder);
        EXPECT_EQ(rest ? rest - c.path : -1, c.rest) << c.path << " | " << c.folder;
    }
}

TEST(PathRules, ReasonIsGivenForUnsafePaths) {
    const char* why = nullptr;
    EXPECT_TRUE(IsUnsafeCataloguePath("..\\x", &why));
    EXPECT_STREQ(why, "'..' component");
    EXPECT_FALSE(IsUnsafeCataloguePath("sub\\file.dll", &why));
}

TEST(PathRules, TheReleaseStateIsNamedAtTheTopInAnyCaseOrByItsShortName) {
    for (const char* p : {"TarnFileUpdater.state", "TARNFILEUPDATER.STATE", "tarnfileupdater.state\\x",
                          "TarnFileUpdater.state/x", "TARNFI~1.STA", "tarnfi~2.sta\\x", "TA1B2C~5.STA"})
        EXPECT_TRUE(IsReleaseStateName(p)) << p;
    for (const char* p : {"sub\\TarnFileUpdater.state", "TarnFileUpdater.state2", "TARNFI~1.STB", "TA12.STA",
                          "TARNFI~.STA", "XARNFI~1.STA", "TARNFIL~1X.STA", ""})
        EXPECT_FALSE(IsReleaseStateName(p)) << p;
}

TEST(Text, CopyAndFormatNeverOverrun) {
    char small[5];
    EXPECT_FALSE(CopyText(small, "abcdefgh"));
    EXPECT_STREQ(small, "abcd");
    EXPECT_TRUE(CopyText(small, "abcd"));
    EXPECT_FALSE(FormatText(small, sizeof small, "%s%d", "ab", 123));
    EXPECT_STREQ(small, "ab12");
    char guard[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(CopyBytesAsText(guard, 4, "123456", 6));
    EXPECT_STREQ(guard, "123");
    EXPECT_EQ(guard[4], 'x');
}

}  // namespace
}  // namespace tarn
