#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/update_engine.h"
#include "platform/forwarding_platform.h"
#include "test_support.h"

namespace tarn::test {
namespace {

// The system platform with the local-time conversion pinned to UTC+9, so texts are known.
class FixedOffsetPlatform final : public ForwardingPlatform {
public:
    FixedOffsetPlatform() : ForwardingPlatform(SystemPlatform()) {}
    bool FileTimeToLocalDosDateTime(FileTime utc, uint16_t* d, uint16_t* t) override {
        return PackDosDateTime(ToU64(utc) + 9ULL * 3600 * 10000000, d, t);
    }
    bool StartProcess(const char*, const char*, const char*) override { return false; }
    bool RunCommandLine(const char*) override { return false; }
};

class PlanTest : public ::testing::Test {
protected:
    PlanTest() : engine(std::make_unique<UpdateEngine>(platform)) {}

    void Local(const char* path, int32_t size, uint64_t time) {
        UpdateFileEntry& r = engine->localList[engine->localCount++];
        CopyTextInto(r.path, path);
        r.size = size;
        r.writeTime = FromU64(time);
    }
    void Server(const char* path, int32_t size, uint64_t time) {
        UpdateFileEntry& r = engine->serverList[engine->serverCount++];
        CopyTextInto(r.path, path);
        r.size = size;
        r.writeTime = FromU64(time);
    }
    static void CopyTextInto(char (&dst)[kPathSize], const char* src) { std::strncpy(dst, src, kPathSize - 1); }
    std::vector<std::string> Downloads() const {
        std::vector<std::string> v;
        for (int i = 0; i < engine->downloadCount; ++i) v.push_back(engine->downloadList[i].path);
        return v;
    }

    FixedOffsetPlatform platform;
    std::unique_ptr<UpdateEngine> engine;
};

TEST_F(PlanTest, TimeTextHasTwoSecondResolution) {
    // 05:05:08 UTC is 14:05:08 at UTC+9.
    Local("a.dll", 10, UtcFileTime(2009, 3, 7, 5, 5, 8));
    Server("a.dll", 10, UtcFileTime(2009, 3, 7, 5, 5, 9));
    Local("b.dll", 10, UtcFileTime(2009, 3, 7, 5, 5, 8));
    Server("b.dll", 10, UtcFileTime(2009, 3, 7, 5, 5, 10));
    engine->BuildUpdatePlan();
    EXPECT_STREQ(engine->serverList[0].timeText, "3/7/2009 14:05:08");
    EXPECT_STREQ(engine->serverList[1].timeText, "3/7/2009 14:05:10");
    EXPECT_STREQ(engine->localList[0].timeText, "3/7/2009 14:05:08");
    EXPECT_EQ(engine->serverList[0].matched, 1);
    EXPECT_EQ(engine->serverList[1].matched, 0);
    EXPECT_EQ(Downloads(), (std::vector<std::string>{"b.dll"}));
    EXPECT_EQ(engine->totalBytes, 10);
    EXPECT_STREQ(engine->downloadList[0].timeText, "3/7/2009 14:05:10");
    EXPECT_EQ(ToU64(engine->downloadList[0].writeTime), UtcFileTime(2009, 3, 7, 5, 5, 10));
}

TEST_F(PlanTest, PathsCompareCaseSensitivelyAndSizesMustMatch) {
    const uint64_t t = UtcFileTime(2020, 1, 2, 3, 4, 6);
    Local("Bin\\a.dll", 5, t);
    Server("bin\\a.dll", 5, t);
    Local("c.dat", 7, t);
    Server("c.dat", 8, t);
    engine->BuildUpdatePlan();
    EXPECT_EQ(Downloads(), (std::vector<std::string>{"bin\\a.dll", "c.dat"}));
    EXPECT_EQ(engine->totalBytes, 13);
}

TEST_F(PlanTest, DuplicateEntriesMatchAtMostOnceEach) {
    const uint64_t t = UtcFileTime(2020, 1, 2, 3, 4, 6);
    Local("d.bin", 4, t);
    Server("d.bin", 9, t);
    Server("d.bin", 4, t);
    engine->BuildUpdatePlan();
    EXPECT_EQ(engine->serverList[0].matched, 0);
    EXPECT_EQ(engine->serverList[1].matched, 1);
    ASSERT_EQ(engine->downloadCount, 1);
    EXPECT_EQ(engine->downloadList[0].size, 9);
}

TEST_F(PlanTest, ZeroSizeEntriesArePlannedButAddNothing) {
    const uint64_t t = UtcFileTime(2020, 1, 2, 3, 4, 6);
    Server("a", 10, t);
    Server("empty", 0, t);
    Server("b", 20, t);
    engine->BuildUpdatePlan();
    EXPECT_EQ(Downloads(), (std::vector<std::string>{"a", "empty", "b"}));
    EXPECT_EQ(engine->totalBytes, 30);
}

TEST_F(PlanTest, EmptyLocalListDownloadsEverythingInCatalogueOrder) {
    const uint64_t t = UtcFileTime(2020, 1, 2, 3, 4, 6);
    Server("z", 1, t);
    Server("a", 2, t);
    Server("m\\n", 3, t);
    engine->BuildUpdatePlan();
    EXPECT_EQ(Downloads(), (std::vector<std::string>{"z", "a", "m\\n"}));
    EXPECT_EQ(engine->totalBytes, 6);
}

TEST_F(PlanTest, Pre1980TimesGiveEmptyTextsAndMatchOnPathAndSize) {
    Local("old.txt", 3, UtcFileTime(1975, 1, 1, 0, 0, 0));
    Server("old.txt", 3, UtcFileTime(1970, 6, 1, 0, 0, 0));
    engine->BuildUpdatePlan();
    EXPECT_STREQ(engine->serverList[0].timeText, "");
    EXPECT_EQ(engine->serverList[0].matched, 1);
    EXPECT_EQ(engine->downloadCount, 0);
}

TEST_F(PlanTest, LocalFilesNotInTheCatalogueAreIgnored) {
    Local("mine.cfg", 3, UtcFileTime(2020, 1, 1, 0, 0, 0));
    engine->BuildUpdatePlan();
    EXPECT_EQ(engine->downloadCount, 0);
    EXPECT_EQ(engine->totalBytes, 0);
}

// End to end on a real folder with the real time conversion: a scanned file with the
// catalogue's size and time is up to date, and one second later (same even second) too.
TEST(PlanOnDisk, ScannedFileMatchesItsCatalogueEntry) {
    CurrentDirGuard cwd;
    TempFolder dir;
    dir.MakeDir("bin");
    dir.WriteFile("bin\\tool.dll", "12345");
    dir.WriteFile("other.txt", "1");
    const uint64_t t = UtcFileTime(2021, 5, 6, 7, 8, 10);
    dir.SetWriteTime("bin\\tool.dll", FromU64(t));
    dir.SetWriteTime("other.txt", FromU64(t));
    RecordingHost host;
    auto engine = std::make_unique<UpdateEngine>(SystemPlatform(), &host);
    engine->InstallDir = dir.path();
    ASSERT_TRUE(engine->BuildLocalInventory());
    LoadBytes(*engine, CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("bin\\tool.dll", 5, t + 10000000)
                           .Entry("other.txt", 1, t + 20000000).Entry("new\\x.bin", 9, t).bytes());
    ASSERT_TRUE(engine->ParseCatalogue());
    engine->BuildUpdatePlan();
    EXPECT_EQ(engine->serverList[0].matched, 1);
    EXPECT_EQ(engine->serverList[1].matched, 0);
    ASSERT_EQ(engine->downloadCount, 2);
    EXPECT_STREQ(engine->downloadList[0].path, "other.txt");
    EXPECT_STREQ(engine->downloadList[1].path, "new\\x.bin");
    EXPECT_EQ(engine->totalBytes, 10);
    EXPECT_TRUE(dir.IsDir("new"));
}

// Dates on both sides of a change of daylight-saving time are converted with the one offset from
// UTC in force now, as the system's conversion does. Meaningful only in a zone with daylight
// saving: ctest and the end-to-end suite (under Wine) run it with TZ=Europe/Berlin.
TEST(PlanTimes, DatesAcrossADaylightSavingChangeTakeTheOffsetInForceNow) {
    const char* zone = std::getenv("TZ");
    if (!zone || !*zone) GTEST_SKIP() << "run with TZ set to a zone with daylight saving";
    auto offsetSeconds = [](uint64_t utc) {
        uint16_t date = 0, time = 0;
        EXPECT_TRUE(SystemPlatform().FileTimeToLocalDosDateTime(FromU64(utc), &date, &time));
        const uint64_t local =
            UtcFileTime(1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
        return (static_cast<int64_t>(local) - static_cast<int64_t>(utc)) / 10000000;
    };
    const int64_t winter = offsetSeconds(UtcFileTime(2024, 1, 15, 12, 0, 0));
    const int64_t summer = offsetSeconds(UtcFileTime(2024, 7, 15, 12, 0, 0));
    const uint64_t now =
        UtcFileTime(1970, 1, 1, 0, 0, 0) + static_cast<uint64_t>(std::time(nullptr) / 2 * 2) * 10000000;
    EXPECT_NE(winter, 0) << "the zone " << zone << " is not in force";
    EXPECT_EQ(winter, summer);
    EXPECT_EQ(winter, offsetSeconds(now));
}

}  // namespace
}  // namespace tarn::test
