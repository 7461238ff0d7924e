#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "app/client_control.h"
#include "app/image_name.h"
#include "app/win_app.h"
#include "platform/win32.h"

namespace tarn {
namespace {

std::string UniqueName(const char* what) {
    return std::string("TarnAppTest.") + what + "." + std::to_string(GetCurrentProcessId());
}

TEST(AppMutex, FreeMutexIsTakenAndStaysOwned) {
    CMutex m(UniqueName("free").c_str());
    ASSERT_TRUE(m.created());
    EXPECT_TRUE(m.Lock(0));
    EXPECT_TRUE(m.Lock(0));  // recursive for the owning thread
    bool otherThreadTook = true;
    std::thread([&] {
        CMutex same(UniqueName("free").c_str());
        otherThreadTook = same.Lock(0);
    }).join();
    EXPECT_FALSE(otherThreadTook);
}

TEST(AppMutex, AbandonedMutexCountsAsTaken) {
    const std::string name = UniqueName("abandoned");
    CMutex m(name.c_str());
    std::thread([&] {
        CMutex owner(name.c_str());
        EXPECT_TRUE(owner.Lock(0));
        // The thread ends without releasing it.
    }).join();
    EXPECT_TRUE(m.Lock(0));
}

TEST(AppMutex, MutexOwnedElsewhereIsNotTaken) {
    const std::string name = UniqueName("owned");
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        CMutex m(name.c_str());
        m.Lock(0);
        SetEvent(ready);
        WaitForSingleObject(done, 10000);
        ReleaseMutex(CreateMutexA(nullptr, FALSE, name.c_str()));
    });
    WaitForSingleObject(ready, 10000);
    CMutex m(name.c_str());
    EXPECT_FALSE(m.Lock(0));
    SetEvent(done);
    owner.join();
    CloseHandle(ready);
    CloseHandle(done);
}

TEST(AppMutex, NameThatCannotBeCreatedIsNeverTaken) {
    // A name that exists as another kind of object cannot be opened as a mutex.
    const std::string name = UniqueName("event");
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    CMutex m(name.c_str());
    EXPECT_FALSE(m.created());
    EXPECT_FALSE(m.Lock(0));
    CloseHandle(event);
}

// The double-byte part of the upper-casing uses the system's table; it needs the Korean code page.
TEST(AppImageNameWin32, DoubleByteLettersAreUpperCasedByTheSystem) {
    if (GetACP() != 949) GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 949";
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"\xA3\xE1\xA3\xE2"
         "피마.exe",
         "\xA3\xC1\xA3\xC2"
         "피마.EXE"},  // full-width ab
        {"\xA5\xE1"
         "x",
         "\xA5\xC1"
         "X"},                             // Greek alpha
        {"\xAC\xD1", "\xAC\xA1"},          // Cyrillic a
        {"피마파일.exe", "피마파일.EXE"},  // Hangul has no case
        {"\x81\x61"
         "a",
         "\x81\x61"
         "A"},  // trail byte 'a' stays
    };
    for (const Case& c : cases) {
        char text[64];
        strcpy(text, c.in);
        UpperCaseAnsi(text);
        EXPECT_STREQ(text, c.out) << c.in;
    }
}

TEST(AppTerminateProcessByNameWin32, NeverTerminatesItself) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH - 1);
    const char* base = strrchr(self, '\\');
    base = base ? base + 1 : self;
    EXPECT_FALSE(TerminateProcessByName(base));
    // Still here.
    SUCCEED();
}

TEST(AppTerminateProcessByNameWin32, NoMatchingProcess) {
    EXPECT_FALSE(TerminateProcessByName("no-such-image-name-7f3a.exe"));
}

}  // namespace
}  // namespace tarn
#endif
