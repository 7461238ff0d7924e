#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/client_control.h"
#include "app/image_name.h"
#include "base/text.h"

namespace tarn {
namespace {

constexpr uint32_t kWakeup = 0xC123;
constexpr uint32_t kTimeout = 1460;
void* const kClient = reinterpret_cast<void*>(0x1234);

// Window services that answer from a script and record every call.
class FakeWindows : public ClientWindowServices {
public:
    struct Reply {
        bool ok;
        uint32_t error;
    };
    void* window = kClient;
    std::vector<Reply> replies;
    std::vector<std::string> calls;
    std::string registeredName;
    std::string searchedTitle;

    void Script(std::initializer_list<Reply> script) {
        for (const Reply& r : script) replies.push_back(r);
    }

    uint32_t RegisterMessage(const char* name) override {
        registeredName = name;
        calls.push_back("register");
        return kWakeup;
    }
    void* FindTopLevelWindow(const char* title) override {
        searchedTitle = title;
        calls.push_back("find");
        return window;
    }
    bool SendTimed(void* w, uint32_t message, uint32_t timeoutMs, uint32_t* lastError) override {
        EXPECT_EQ(w, window);
        EXPECT_EQ(timeoutMs, 2000u);
        calls.push_back("send " + std::to_string(message));
        if (replies.empty()) {
            ADD_FAILURE() << "unexpected send";
            return false;
        }
        const Reply r = replies.front();
        replies.erase(replies.begin());
        *lastError = r.error;
        return r.ok;
    }
    void Broadcast(uint32_t message) override { calls.push_back("broadcast " + std::to_string(message)); }
};

const std::string kSendWakeup = "send " + std::to_string(kWakeup);
const std::string kBroadcast = "broadcast " + std::to_string(kWakeup);

TEST(AppWakeRunningClient, UsesTheClientsNamesExactly) {
    FakeWindows w;
    w.Script({{true, 0}, {true, 0}});
    WakeRunningClient(w);
    EXPECT_EQ(w.registeredName, "Rivoruzu wakeup ");  // 16 characters, the last a blank
    EXPECT_EQ(w.registeredName.size(), 16u);
    EXPECT_EQ(w.searchedTitle, "피마파일");
    EXPECT_EQ(w.searchedTitle.size(), 8u);  // CP949: two bytes per syllable
}

TEST(AppWakeRunningClient, NoWindowSendsNothing) {
    FakeWindows w;
    w.window = nullptr;
    EXPECT_EQ(WakeRunningClient(w), WakeResult::NoWindow);
    EXPECT_EQ(w.calls, (std::vector<std::string>{"register", "find"}));
}

TEST(AppWakeRunningClient, AnswerToBothSendsIsBroadcastOnce) {
    FakeWindows w;
    w.Script({{true, 0}, {true, 0}});
    EXPECT_EQ(WakeRunningClient(w), WakeResult::Answered);
    EXPECT_EQ(w.calls, (std::vector<std::string>{"register", "find", kSendWakeup, kSendWakeup, kBroadcast}));
}

TEST(AppWakeRunningClient, TimeoutOnFirstSendEndsAtOnce) {
    FakeWindows w;
    w.Script({{false, kTimeout}});
    EXPECT_EQ(WakeRunningClient(w), WakeResult::Unresponsive);
    EXPECT_EQ(w.calls, (std::vector<std::string>{"register", "find", kSendWakeup}));
}

TEST(AppWakeRunningClient, OtherFailureIsProbedWithKeyDown) {
    FakeWindows w;
    w.Script({{false, 5}, {true, 0}});
    EXPECT_EQ(WakeRunningClient(w), WakeResult::Answered);
    EXPECT_EQ(w.calls, (std::vector<std::string>{"register", "find", kSendWakeup, "send 256", kBroadcast}));

    FakeWindows refused;
    refused.Script({{false, 1400}, {false, 1400}});
    EXPECT_EQ(WakeRunningClient(refused), WakeResult::Unresponsive);
    EXPECT_EQ(refused.calls, (std::vector<std::string>{"register", "find", kSendWakeup, "send 256"}));
}

TEST(AppWakeRunningClient, SecondSendFailingMeansUnresponsive) {
    for (uint32_t error : {kTimeout, 1400u}) {
        FakeWindows w;
        w.Script({{true, 0}, {false, error}});
        EXPECT_EQ(WakeRunningClient(w), WakeResult::Unresponsive);
        EXPECT_EQ(w.calls, (std::vector<std::string>{"register", "find", kSendWakeup, kSendWakeup}));
    }
}

// A process table with scripted open results.
class FakeProcesses : public ProcessServices {
public:
    struct Process {
        uint32_t id;
        std::string name;
        bool canOpen;
    };
    uint32_t self = 100;
    bool snapshotOk = true;
    std::vector<Process> table;
    std::vector<uint32_t> opened;
    std::vector<uint32_t> terminated;
    size_t cursor = 0;

    uint32_t CurrentProcessId() override { return self; }
    void UpperCase(char* text) override { UpperCaseCp949(text, nullptr); }
    bool TakeSnapshot() override { return snapshotOk; }
    bool FirstProcess(ProcessEntry* e) override {
        cursor = 0;
        return NextProcess(e);
    }
    bool NextProcess(ProcessEntry* e) override {
        if (cursor >= table.size()) return false;
        e->processId = table[cursor].id;
        CopyText(e->exeFile, table[cursor].name.c_str());
        ++cursor;
        return true;
    }
    bool OpenAndTerminate(uint32_t id) override {
        opened.push_back(id);
        for (const Process& p : table)
            if (p.id == id && p.canOpen) {
                terminated.push_back(id);
                return true;
            }
        return false;
    }
};

TEST(AppTerminateProcessByName, OnlyTheFirstMatchInSnapshotOrder) {
    FakeProcesses p;
    p.table = {{4, "services.exe", true}, {8, "pimfile.exe", true}, {9, "pimfile.exe", true}};
    EXPECT_TRUE(TerminateProcessByName(p, "pimfile.exe"));
    EXPECT_EQ(p.terminated, (std::vector<uint32_t>{8}));
}

TEST(AppTerminateProcessByName, CaseAndContainedNamesMatch) {
    FakeProcesses p;
    p.table = {{4, "tarnm.ex", true}, {5, "OldTarnM.EXE.bak", true}};
    EXPECT_TRUE(TerminateProcessByName(p, "tarnm.exe"));
    EXPECT_EQ(p.terminated, (std::vector<uint32_t>{5}));
}

TEST(AppTerminateProcessByName, NeverItsOwnProcess) {
    FakeProcesses p;
    p.self = 8;
    p.table = {{8, "xpimfile.exe", true}, {9, "PIMFILE.EXE", true}};
    EXPECT_TRUE(TerminateProcessByName(p, "pimfile.exe"));
    EXPECT_EQ(p.terminated, (std::vector<uint32_t>{9}));

    FakeProcesses alone;
    alone.self = 8;
    alone.table = {{8, "pimfile.exe", true}};
    EXPECT_FALSE(TerminateProcessByName(alone, "pimfile.exe"));
    EXPECT_TRUE(alone.opened.empty());
}

TEST(AppTerminateProcessByName, AMatchThatCannotBeOpenedEndsTheSearch) {
    FakeProcesses p;
    p.table = {{8, "pimfile.exe", false}, {9, "pimfile.exe", true}};
    EXPECT_FALSE(TerminateProcessByName(p, "pimfile.exe"));
    EXPECT_EQ(p.opened, (std::vector<uint32_t>{8}));
    EXPECT_TRUE(p.terminated.empty());
}

TEST(AppTerminateProcessByName, NothingToDo) {
    FakeProcesses none;
    none.table = {{4, "explorer.exe", true}};
    EXPECT_FALSE(TerminateProcessByName(none, "tarnm.exe"));
    EXPECT_TRUE(none.opened.empty());

    FakeProcesses noSnapshot;
    noSnapshot.snapshotOk = false;
    noSnapshot.table = {{4, "tarnm.exe", true}};
    EXPECT_FALSE(TerminateProcessByName(noSnapshot, "tarnm.exe"));
    EXPECT_TRUE(noSnapshot.opened.empty());

    FakeProcesses empty;
    EXPECT_FALSE(TerminateProcessByName(empty, "tarnm.exe"));
}

TEST(AppTerminateProcessByName, UnusableNamesMatchNothing) {
    FakeProcesses p;
    p.table = {{4, "explorer.exe", true}};
    EXPECT_FALSE(TerminateProcessByName(p, ""));
    EXPECT_FALSE(TerminateProcessByName(p, std::string(300, 'e').c_str()));
    EXPECT_TRUE(p.opened.empty());
}

TEST(AppTerminateProcessByName, ANameStartingOnATrailByteIsNoMatch) {
    FakeProcesses p;
    p.table = {{4, "\x81TARNM.EXE", true}, {5, "\x81\x81tarnm.exe", true}};
    EXPECT_TRUE(TerminateProcessByName(p, "tarnm.exe"));
    EXPECT_EQ(p.terminated, (std::vector<uint32_t>{5}));
}

}  // namespace
}  // namespace tarn
