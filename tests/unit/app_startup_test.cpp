#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/text.h"

namespace tarn {
namespace {

// Records the start-up's calls in order, with scripted mutex and handshake outcomes.
class FakeStartup : public StartupServices {
public:
    bool updaterFree = true;
    bool clientFree = true;
    WakeResult wake = WakeResult::NoWindow;
    std::vector<std::string> calls;

    bool TakeUpdaterMutex() override {
        calls.push_back("take updater");
        return updaterFree;
    }
    bool TakeClientMutex() override {
        calls.push_back("take client");
        return clientFree;
    }
    void Pause(uint32_t ms) override { calls.push_back("pause " + std::to_string(ms)); }
    WakeResult WakeClient() override {
        calls.push_back("wake");
        return wake;
    }
    void TerminateClient(const char* name) override { calls.push_back(std::string("terminate ") + name); }
    void RegisterCommonControls() override { calls.push_back("controls"); }
    void BaseInitialisation() override { calls.push_back("base"); }
    void DeleteObsoleteFiles() override { calls.push_back("obsolete"); }
    void RunUpdaterWindow() override { calls.push_back("window"); }
};

using Calls = std::vector<std::string>;
const Calls kUpdate = {"controls", "base", "obsolete", "window"};
const Calls kTerminate = {"terminate tarnm.exe", "terminate pimfile.exe"};

Calls Join(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(AppStartupSequence, SecondUpdaterDoesNothingElse) {
    for (const char* tail : {"", "-restart"}) {
        FakeStartup s;
        s.updaterFree = false;
        s.clientFree = false;
        RunStartupSequence(s, tail);
        EXPECT_EQ(s.calls, (Calls{"take updater"})) << tail;
    }
}

TEST(AppStartupSequence, NoClientRunningUpdatesWithoutPauseOrHandshake) {
    for (const char* tail : {"", "-restart", "-Restart", "x"}) {
        FakeStartup s;
        RunStartupSequence(s, tail);
        EXPECT_EQ(s.calls, Join({{"take updater", "take client"}, kUpdate})) << tail;
    }
}

TEST(AppStartupSequence, RestartPausesThenTerminatesWithoutHandshake) {
    FakeStartup s;
    s.clientFree = false;
    s.wake = WakeResult::Answered;  // must not be asked
    RunStartupSequence(s, "-restart");
    EXPECT_EQ(s.calls, Join({{"take updater", "take client", "pause 2000"}, kTerminate, kUpdate}));
}

TEST(AppStartupSequence, OtherTailsGetTheHandshake) {
    for (const char* tail : {"", "-Restart", "-restart ", "-restart x", " -restart"}) {
        FakeStartup s;
        s.clientFree = false;
        s.wake = WakeResult::Answered;
        RunStartupSequence(s, tail);
        EXPECT_EQ(s.calls, (Calls{"take updater", "take client", "wake"})) << "[" << tail << "]";
    }
}

TEST(AppStartupSequence, UnresponsiveClientIsTerminatedThenUpdated) {
    FakeStartup s;
    s.clientFree = false;
    s.wake = WakeResult::Unresponsive;
    RunStartupSequence(s, "");
    EXPECT_EQ(s.calls, Join({{"take updater", "take client", "wake"}, kTerminate, kUpdate}));
}

TEST(AppStartupSequence, ClientWithoutWindowIsLeftAloneAndUpdated) {
    FakeStartup s;
    s.clientFree = false;
    s.wake = WakeResult::NoWindow;
    RunStartupSequence(s, "");
    EXPECT_EQ(s.calls, Join({{"take updater", "take client", "wake"}, kUpdate}));
}

// A directory and its files, as the obsolete-file clean-up sees them.
class FakeFiles : public ObsoleteFileServices {
public:
    std::string directory = "C:\\Game";
    int64_t result = -1;  // what the call returns; -1: the length of directory, copied in
    std::map<std::string, bool> files;
    std::vector<std::string> asked;
    std::vector<std::string> deleted;

    uint32_t GetCurrentDir(char* buffer, uint32_t offered) override {
        EXPECT_EQ(offered, 260u);
        // The caller's buffer has one byte more than offered, all zero.
        for (uint32_t i = 0; i <= offered; ++i) EXPECT_EQ(buffer[i], '\0');
        if (result >= 0) return static_cast<uint32_t>(result);
        CopyText(buffer, offered, directory.c_str());
        return static_cast<uint32_t>(directory.size());
    }
    bool PathExists(const char* path) override {
        asked.push_back(path);
        return files.count(path) != 0;
    }
    void ClearAttributesAndDelete(const char* path) override { deleted.push_back(path); }
};

TEST(AppObsoleteFiles, AllFourInOrderFromTheCurrentDirectory) {
    FakeFiles f;
    f.files = {{"C:\\Game\\Probe.exe", true}, {"C:\\Game\\DigestGen.dll", true}, {"C:\\Game\\Other.dll", true}};
    DeleteObsoleteFiles(f);
    EXPECT_EQ(f.asked, (std::vector<std::string>{"C:\\Game\\Cmp32_v2.dll", "C:\\Game\\Probe.exe",
                                                 "C:\\Game\\rvxcodec.dll", "C:\\Game\\DigestGen.dll"}));
    EXPECT_EQ(f.deleted, (std::vector<std::string>{"C:\\Game\\Probe.exe", "C:\\Game\\DigestGen.dll"}));
}

TEST(AppObsoleteFiles, DriveRootGivesTwoBackslashes) {
    FakeFiles f;
    f.directory = "C:\\";
    f.files = {{"C:\\\\rvxcodec.dll", true}};
    DeleteObsoleteFiles(f);
    EXPECT_EQ(f.asked.front(), "C:\\\\Cmp32_v2.dll");
    EXPECT_EQ(f.deleted, (std::vector<std::string>{"C:\\\\rvxcodec.dll"}));
}

TEST(AppObsoleteFiles, LongestDirectoryStillFormsEveryPath) {
    FakeFiles f;
    f.directory = "C:\\" + std::string(256, 'd');  // 259 bytes, the most the call can return
    DeleteObsoleteFiles(f);
    ASSERT_EQ(f.asked.size(), 4u);
    EXPECT_EQ(f.asked[3], f.directory + "\\DigestGen.dll");
}

TEST(AppObsoleteFiles, UnreadableDirectoryDeletesNothing) {
    // 0: an error; 261 and more: the buffer is too small and holds nothing usable. Deleting
    // "\Probe.exe" would then hit the root of the current drive.
    for (int64_t result : {0, 260, 261, 32767}) {
        FakeFiles f;
        f.result = result;
        f.files = {{"\\Probe.exe", true}, {"\\Cmp32_v2.dll", true}};
        DeleteObsoleteFiles(f);
        EXPECT_TRUE(f.asked.empty()) << result;
        EXPECT_TRUE(f.deleted.empty()) << result;
    }
}

}  // namespace
}  // namespace tarn
