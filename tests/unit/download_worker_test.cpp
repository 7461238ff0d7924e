// The download worker's own rules: how a Content-Length text is read, which URLs it fetches, its
// agent text, and how a finished download takes the place of the old file.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/download_job.h"
#include "engine/download_worker_win32.h"
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "test_support.h"

namespace tarn {
namespace {

// --- Content-Length ---------------------------------------------------------------------------

struct LengthCase {
    const char* text;
    int64_t value;
};

TEST(ContentLength, ReadsLikeStrtol) {
    const LengthCase cases[] = {
        {"1234", 1234},
        {" 1234", 1234},
        {"01234", 1234},
        {"\t\r\n 1234", 1234},
        {"+1234", 1234},
        {"-5", -5},
        {"12ab", 12},
        {"1234 ", 1234},
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {" ", 0},
        {"-", 0},
        {"+-5", 0},
        {"2147483647", 2147483647},
        {"00000000000000000000000000001", 1},
    };
    for (const LengthCase& c : cases) EXPECT_EQ(ContentLengthValue(c.text), c.value) << '"' << c.text << '"';
}

TEST(ContentLength, LargeValuesNeverPassForA32BitSize) {
    // strtol with a 32-bit long would give 2147483647 for all of these, or wrap.
    for (const char* text :
         {"2147483648", "4294967296", "4294968530", "99999999999", "9223372036854775808", "184467440737095516161234"}) {
        const int64_t v = ContentLengthValue(text);
        EXPECT_GT(v, int64_t(INT32_MAX)) << text;
    }
    EXPECT_EQ(ContentLengthValue("4294967296"), int64_t(4294967296));
    EXPECT_LT(ContentLengthValue("-99999999999"), int64_t(INT32_MIN));
}

// --- URLs and agent ---------------------------------------------------------------------------

TEST(WorkerUrl, OnlyHttpSchemesGiveAFile) {
    for (const char* url : {"http://127.0.0.1/a", "HTTP://host/x", "Https://host/", "http://"})
        EXPECT_TRUE(IsHttpUrl(url)) << url;
    for (const char* url : {"", "ftp://host/a", "file:///C:/a", "gopher://host/", "http:/host", "httpx://host",
                            " http://host/", "C:\\a.txt"})
        EXPECT_FALSE(IsHttpUrl(url)) << url;
}

TEST(WorkerAgent, IsTheExecutableNameWithoutExtension) {
    char name[260];
    ApplicationName(name, sizeof name);
    EXPECT_STREQ(name, "tarn_unit_tests");

    char small[5];
    ApplicationName(small, sizeof small);
    EXPECT_STREQ(small, "tarn");
}

// --- placing a finished download --------------------------------------------------------------

class PlaceFile : public ::testing::Test {
protected:
    std::string Path(const std::string& rel) const { return dir.Join(rel); }
    std::string Partial(const std::string& rel) const { return dir.Join(rel + ".tarn-new"); }
    std::string Aside(const std::string& rel) const { return dir.Join(rel + ".tarn-old"); }
    UniqueFileHandle Hold(const std::string& rel, DWORD share) const {
        return UniqueFileHandle(::CreateFileA(Path(rel).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    test::TempFolder dir;
};

TEST_F(PlaceFile, NewTargetIsMovedIn) {
    dir.WriteFile("a.bin.tarn-new", "new");
    ASSERT_TRUE(PlaceDownloadedFile(Partial("a.bin").c_str(), Path("a.bin").c_str(), Aside("a.bin").c_str()));
    EXPECT_EQ(dir.Read("a.bin"), "new");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.bin"});
}

TEST_F(PlaceFile, ExistingTargetIsReplacedWithItsTime) {
    dir.WriteFile("a.bin", "old old old");
    dir.WriteFile("a.bin.tarn-new", "new");
    const FileTime stamp = FromU64(test::UtcFileTime(2019, 4, 17, 18, 40, 0));
    dir.SetWriteTime("a.bin.tarn-new", stamp);
    ASSERT_TRUE(PlaceDownloadedFile(Partial("a.bin").c_str(), Path("a.bin").c_str(), Aside("a.bin").c_str()));
    EXPECT_EQ(dir.Read("a.bin"), "new");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"a.bin"});

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExA(Path("a.bin").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, stamp.low);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, stamp.high);
}

TEST_F(PlaceFile, HiddenOrSystemTargetIsReplacedAndKeepsItsAttributes) {
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    for (DWORD had : {DWORD(FILE_ATTRIBUTE_HIDDEN), DWORD(FILE_ATTRIBUTE_SYSTEM), kKept, DWORD(0)}) {
        dir.WriteFile("h.bin", "old");
        if (had) {
            ASSERT_TRUE(::SetFileAttributesA(Path("h.bin").c_str(), had));
        }
        dir.WriteFile("h.bin.tarn-new", "new");
        ASSERT_TRUE(PlaceDownloadedFile(Partial("h.bin").c_str(), Path("h.bin").c_str(), Aside("h.bin").c_str())) << had;
        EXPECT_EQ(dir.Read("h.bin"), "new") << had;
        EXPECT_EQ(::GetFileAttributesA(Path("h.bin").c_str()) & kKept, had);
        ::SetFileAttributesA(Path("h.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(PlaceFile, ReadOnlyTargetStaysAsItWas) {
    dir.WriteFile("ro.bin", "old");
    ASSERT_TRUE(::SetFileAttributesA(Path("ro.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    dir.WriteFile("ro.bin.tarn-new", "new");
    EXPECT_FALSE(PlaceDownloadedFile(Partial("ro.bin").c_str(), Path("ro.bin").c_str(), Aside("ro.bin").c_str()));
    EXPECT_EQ(dir.Read("ro.bin"), "old");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"ro.bin", "ro.bin.tarn-new"}));
    ::SetFileAttributesA(Path("ro.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(PlaceFile, TargetOpenWithoutShareDeleteStaysAsItWas) {
    dir.WriteFile("held.bin", "old");
    dir.WriteFile("held.bin.tarn-new", "new");
    {
        UniqueFileHandle held = Hold("held.bin", FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(held);
        EXPECT_FALSE(PlaceDownloadedFile(Partial("held.bin").c_str(), Path("held.bin").c_str(), Aside("held.bin").c_str()));
        const DWORD error = ::GetLastError();
        EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << error;
    }
    EXPECT_EQ(dir.Read("held.bin"), "old");
    // The partial file is the caller's to remove; no aside file is left.
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"held.bin", "held.bin.tarn-new"}));
}

TEST_F(PlaceFile, TargetOpenForRenameIsReplaced) {
    dir.WriteFile("busy.bin", "old");
    dir.WriteFile("busy.bin.tarn-new", "new");
    {
        UniqueFileHandle held = Hold("busy.bin", FILE_SHARE_READ | FILE_SHARE_DELETE);
        ASSERT_TRUE(held);
        EXPECT_TRUE(PlaceDownloadedFile(Partial("busy.bin").c_str(), Path("busy.bin").c_str(), Aside("busy.bin").c_str()));
    }
    EXPECT_EQ(dir.Read("busy.bin"), "new");
    // Once the old file is closed nothing of it is left (deleted at once, or pending delete).
    EXPECT_FALSE(dir.Exists("busy.bin.tarn-old"));
}

TEST_F(PlaceFile, LoadedProgramIsMovedAsideAndReplaced) {
    // A mapped program image (like the running updater) cannot be overwritten or deleted, but it
    // can be renamed.
    char self[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    ASSERT_TRUE(::CopyFileA(self, Path("prog.exe").c_str(), FALSE));
    const std::string old = dir.Read("prog.exe");
    dir.WriteFile("prog.exe.tarn-old", "an older aside file");
    dir.WriteFile("prog.exe.tarn-new", "new program");
    HMODULE image = ::LoadLibraryExA(Path("prog.exe").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    ScopeExit unload([&] { ::FreeLibrary(image); });

    EXPECT_TRUE(PlaceDownloadedFile(Partial("prog.exe").c_str(), Path("prog.exe").c_str(), Aside("prog.exe").c_str()));
    EXPECT_EQ(dir.Read("prog.exe"), "new program");
    ASSERT_TRUE(dir.Exists("prog.exe.tarn-old"));
    EXPECT_TRUE(dir.Read("prog.exe.tarn-old") == old);
    EXPECT_FALSE(dir.Exists("prog.exe.tarn-new"));
}

TEST_F(PlaceFile, LoadedProgramWithLoadedAsideFileStaysAsItWas) {
    char self[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    ASSERT_TRUE(::CopyFileA(self, Path("prog.exe").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileA(self, Aside("prog.exe").c_str(), FALSE));
    dir.WriteFile("prog.exe.tarn-new", "new program");
    HMODULE image = ::LoadLibraryExA(Path("prog.exe").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    HMODULE asideImage = ::LoadLibraryExA(Aside("prog.exe").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    ASSERT_NE(asideImage, nullptr);
    ScopeExit unload([&] {
        ::FreeLibrary(image);
        ::FreeLibrary(asideImage);
    });

    EXPECT_FALSE(PlaceDownloadedFile(Partial("prog.exe").c_str(), Path("prog.exe").c_str(), Aside("prog.exe").c_str()));
    EXPECT_TRUE(dir.Read("prog.exe") == dir.Read("prog.exe.tarn-old"));
    EXPECT_EQ(dir.Read("prog.exe.tarn-new"), "new program");
}

TEST_F(PlaceFile, OldFileIsPutBackWhenTheNewOneCannotFollowIt) {
    // A partial file held open without delete sharing refuses both moves; the target is free, so
    // it goes aside between them and must come back.
    dir.WriteFile("back.bin", "old");
    dir.WriteFile("back.bin.tarn-new", "new");
    {
        UniqueFileHandle held = Hold("back.bin.tarn-new", FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(held);
        bool asideLeft = true;
        EXPECT_FALSE(PlaceDownloadedFile(Partial("back.bin").c_str(), Path("back.bin").c_str(),
                                         Aside("back.bin").c_str(), &asideLeft));
        EXPECT_FALSE(asideLeft);
    }
    ASSERT_TRUE(dir.Exists("back.bin"));
    EXPECT_EQ(dir.Read("back.bin"), "old");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"back.bin", "back.bin.tarn-new"}));
}

TEST_F(PlaceFile, FolderInTheWayIsNeverMovedAside) {
    dir.MakeDir("dir.bin");
    dir.WriteFile("dir.bin\\inner.txt", "keep");
    dir.WriteFile("dir.bin.tarn-new", "new");
    EXPECT_FALSE(PlaceDownloadedFile(Partial("dir.bin").c_str(), Path("dir.bin").c_str(), Aside("dir.bin").c_str()));
    EXPECT_TRUE(dir.IsDir("dir.bin"));
    EXPECT_EQ(dir.Read("dir.bin\\inner.txt"), "keep");
    EXPECT_FALSE(dir.Exists("dir.bin.tarn-old"));
}

TEST_F(PlaceFile, MissingPartialFails) {
    dir.WriteFile("a.bin", "old");
    EXPECT_FALSE(PlaceDownloadedFile(Partial("a.bin").c_str(), Path("a.bin").c_str(), Aside("a.bin").c_str()));
    EXPECT_EQ(dir.Read("a.bin"), "old");
}

}  // namespace
}  // namespace tarn
#endif  // _WIN32
