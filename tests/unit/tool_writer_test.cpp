// The catalogue tool's writer against hand-built bytes and the engine's own parser, and the
// texts the tool prints.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "platform/platform.h"
#include "test_support.h"
#include "tools/update-catalogue/catalogue_writer.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/readonly_platform.h"

namespace tarn::tool {
namespace {

using test::CatalogueBuilder;

const std::string kHangulPath = "\xC7\xD1\xB1\xDB\\\xC6\xC4\xC0\xCF.txt";  // 한글\파일.txt in CP949

ReleaseFile File(const std::string& path, uint64_t size, uint64_t time) {
    return ReleaseFile{path, path, size, FromU64(time)};
}

TEST(ToolWriterTest, BytesMatchAHandBuiltCatalogue) {
    const uint64_t t1 = test::UtcFileTime(2009, 3, 7, 5, 5, 8);
    const uint64_t t2 = 0x0123456789ABCDEFULL;
    const std::string bytes =
        EncodeCatalogue({"http://h/a/", "http://h/b/"}, {File("a.txt", 10, t1), File(kHangulPath, 0x7FFFFFFF, t2)});
    const std::string expected = CatalogueBuilder()
                                     .Header()
                                     .I32(2)
                                     .Text("http://h/a/")
                                     .Text("http://h/b/")
                                     .Entry("a.txt", 10, t1)
                                     .Entry(kHangulPath, 0x7FFFFFFF, t2)
                                     .bytes();
    EXPECT_EQ(bytes, expected);
    // Spelled out once, so that the builder above is not the only witness of the layout.
    const std::string literal(
        "Update Info\x01\x00\x00\x00u/\x00"
        "a\x00\x05\x00\x00\x00\xEF\xCD\xAB\x89\x67\x45\x23\x01",
        11 + 4 + 3 + 2 + 12);
    EXPECT_EQ(EncodeCatalogue({"u/"}, {File("a", 5, t2)}), literal);
}

TEST(ToolWriterTest, EmptyReleaseIsHeaderAndZeroCount) {
    EXPECT_EQ(EncodeCatalogue({}, {}), std::string("Update Info\0\0\0\0", 15));
}

class ToolRoundTripTest : public ::testing::Test {
protected:
    ToolRoundTripTest() { SystemPlatform().SetCurrentDir(dir.path().c_str()); }

    test::CurrentDirGuard cwd;
    test::TempFolder dir;
    ReadOnlyPlatform platform{SystemPlatform()};
    std::unique_ptr<UpdateEngine> engine = std::make_unique<UpdateEngine>(platform);
};

TEST_F(ToolRoundTripTest, EngineReadsBackEveryEntryAtEveryLimit) {
    std::vector<std::string> urls;
    for (int i = 0; i < 300; ++i) urls.push_back("http://h/" + std::string(249, 'a' + i % 26) + "/");
    std::vector<ReleaseFile> files;
    for (int i = 0; i < 300; ++i) {
        std::string path = (i % 3 == 0 ? kHangulPath.substr(0, 5) : std::string("d")) + std::to_string(i) + "\\f";
        path += std::string(static_cast<size_t>(40 + i % 216) - path.size(), 'x');
        const uint64_t time = 0x01C99E9E00000000ULL + static_cast<uint64_t>(i) * 0x1000000FFULL;
        files.push_back(File(path, static_cast<uint64_t>(i) * 7000000ULL, time));
    }
    const std::string bytes = EncodeCatalogue(urls, files);
    test::LoadBytes(*engine, bytes);
    ASSERT_TRUE(engine->ParseCatalogue())
        << DescribeVerdict(engine->lastVerdict()) << " at " << engine->lastVerdictOffset();
    ASSERT_EQ(engine->baseUrlCount, 300);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(engine->baseUrls[i], urls[i]);
    ASSERT_EQ(engine->serverCount, 300);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(engine->serverList[i].path, files[i].path);
        EXPECT_EQ(static_cast<uint64_t>(engine->serverList[i].size), files[i].size);
        EXPECT_EQ(ToU64(engine->serverList[i].writeTime), ToU64(files[i].writeTime));
    }
    // Read through the read-only platform: the folders the entries name were not made.
    EXPECT_TRUE(dir.List().empty());
}

TEST(ToolDisplayTest, Cp949TextIsShownInUtf8AndStrayBytesAreEscaped) {
    EXPECT_EQ(Cp949ForDisplay(kHangulPath), "\xED\x95\x9C\xEA\xB8\x80\\\xED\x8C\x8C\xEC\x9D\xBC.txt");
    EXPECT_EQ(Cp949ForDisplay("plain\\a.txt"), "plain\\a.txt");
    // A lead byte at the end, and a byte pair that is no character, do not hide the rest.
    EXPECT_EQ(Cp949ForDisplay("\xC7\xD1x\xC7"), "\xED\x95\x9Cx\\xC7");
    EXPECT_EQ(Cp949ForDisplay("a\x01"
                              "b"),
              "a\\x01b");
}

TEST(ToolDisplayTest, InvalidUtf8AndControlCharactersAreEscaped) {
    EXPECT_EQ(SanitizeUtf8("\xED\x95\x9C.txt"), "\xED\x95\x9C.txt");
    EXPECT_EQ(SanitizeUtf8("a\xFF"
                           "b"),
              "a\\xFFb");
    EXPECT_EQ(SanitizeUtf8("line\nbreak\t"), "line\\x0Abreak\\x09");
    EXPECT_EQ(SanitizeUtf8("\xC0\x80"), "\\xC0\\x80");           // overlong NUL
    EXPECT_EQ(SanitizeUtf8("\xED\xA0\x80"), "\\xED\\xA0\\x80");  // surrogate
    EXPECT_EQ(SanitizeUtf8("\xE2\x82"), "\\xE2\\x82");           // cut short
    EXPECT_EQ(SanitizeUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(ToolDisplayTest, FileTimesAreShownInUtc) {
    EXPECT_EQ(FormatUtc(FromU64(test::UtcFileTime(2009, 3, 7, 14, 5, 9))), "2009-03-07 14:05:09");
    EXPECT_EQ(FormatUtc(FromU64(test::UtcFileTime(2000, 2, 29, 23, 59, 59))), "2000-02-29 23:59:59");
    EXPECT_EQ(FormatUtc(FromU64(0)), "1601-01-01 00:00:00");
    EXPECT_EQ(FormatUtc(FromU64(test::UtcFileTime(1979, 12, 31, 0, 0, 0))), "1979-12-31 00:00:00");
    EXPECT_EQ(FormatUtc(FromU64(0x7FFFFFFFFFFFFFFFULL)), "30828-09-14 02:48:05");  // the largest Windows shows
}

}  // namespace
}  // namespace tarn::tool
