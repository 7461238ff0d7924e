// The catalogue tool's walk of a release folder, on real folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"
#include "tools/update-catalogue/release_scan.h"

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tarn::tool {
namespace {

class ToolScanTest : public ::testing::Test {
protected:
    void Scan() {
        files.clear();
        findings.clear();
        EXPECT_TRUE(ScanRelease(test::HostPath(dir.path()), &files, &findings));
    }
    const ReleaseFile* Find(const std::string& path) const {
        for (const ReleaseFile& f : files)
            if (f.path == path) return &f;
        return nullptr;
    }
    std::string Errors() const {
        std::string s;
        for (const Finding& f : findings) s += f.subject + ": " + f.text + "\n";
        return s;
    }

    test::TempFolder dir;
    std::vector<ReleaseFile> files;
    Findings findings;
};

const std::string kHangul = "\xC7\xD1\xB1\xDB";  // 한글 in CP949

TEST_F(ToolScanTest, ListsEveryRegularFileWithPathSizeAndTime) {
    const uint64_t time = test::UtcFileTime(2009, 3, 7, 5, 5, 9) + 1234567;  // sub-second part too
    dir.MakeDir("sub");
    dir.MakeDir("sub\\deep");
    dir.MakeDir("empty");
    dir.MakeDir(kHangul);
    dir.MakeDir("log");
    dir.WriteFile("a.txt", "hello");
    dir.WriteFile("sub\\deep\\b.bin", std::string(3, '\0'));
    dir.WriteFile(kHangul + "\\" + kHangul + ".dat", "12");
    dir.WriteFile("log\\setupIFU.dat", "");
    dir.SetWriteTime("a.txt", FromU64(time));
    Scan();
    EXPECT_TRUE(findings.empty()) << Errors();
    ASSERT_EQ(files.size(), 4u);
    const ReleaseFile* a = Find("a.txt");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->size, 5u);
    EXPECT_EQ(ToU64(a->writeTime), time);
    ASSERT_NE(Find("sub\\deep\\b.bin"), nullptr);
    EXPECT_EQ(Find("sub\\deep\\b.bin")->size, 3u);
    // Names the updater skips are still published: the tool warns about them later.
    EXPECT_NE(Find("log\\setupIFU.dat"), nullptr);
    const ReleaseFile* h = Find(kHangul + "\\" + kHangul + ".dat");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->size, 2u);
#ifdef _WIN32
    EXPECT_EQ(h->shown, "\xED\x95\x9C\xEA\xB8\x80\\\xED\x95\x9C\xEA\xB8\x80.dat");
#else
    EXPECT_EQ(h->shown, "\xED\x95\x9C\xEA\xB8\x80/\xED\x95\x9C\xEA\xB8\x80.dat");
#endif
}

TEST_F(ToolScanTest, SizesOf4GiBAndMoreAreKeptWhole) {
    dir.WriteSized("big.bin", 0x100000001ULL);
    Scan();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 0x100000001ULL);
}

TEST_F(ToolScanTest, MissingRootIsAnError) {
    EXPECT_FALSE(ScanRelease(test::HostPath(dir.Join("missing")), &files, &findings));
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, Finding::kError);
    EXPECT_NE(findings[0].text.find("cannot read the folder"), std::string::npos);
}

#ifndef _WIN32
TEST_F(ToolScanTest, LinksAndSpecialFilesAreRefusedByName) {
    const std::string root = test::HostPath(dir.path());
    dir.WriteFile("a.txt", "x");
    dir.MakeDir("d");
    ASSERT_EQ(0, symlink("a.txt", (root + "/link.txt").c_str()));
    ASSERT_EQ(0, symlink("d", (root + "/linkdir").c_str()));
    ASSERT_EQ(0, symlink("nowhere", (root + "/dangling").c_str()));
    ASSERT_EQ(0, mkfifo((root + "/d/pipe").c_str(), 0600));
    Scan();
    ASSERT_EQ(files.size(), 1u) << Errors();
    EXPECT_EQ(files[0].path, "a.txt");
    std::vector<std::string> subjects;
    for (const Finding& f : findings) {
        EXPECT_EQ(f.kind, Finding::kError);
        subjects.push_back(f.subject);
    }
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"d/pipe", "dangling", "link.txt", "linkdir"})) << Errors();
}

TEST_F(ToolScanTest, NamesWithoutACp949FormAreRefused) {
    const std::string root = test::HostPath(dir.path());
    const char* const bad[] = {"\xF0\x9F\x98\x80.txt",  // an emoji: not in CP949
                               "\xFF.bin",              // not UTF-8 at all
                               "back\\slash.txt"};      // a folder separator on Windows
    for (const char* name : bad) {
        const int fd = open((root + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << name;
        close(fd);
    }
    dir.WriteFile("ok.txt", "");
    Scan();
    ASSERT_EQ(files.size(), 1u) << Errors();
    EXPECT_EQ(files[0].path, "ok.txt");
    EXPECT_EQ(findings.size(), 3u) << Errors();
    // Invalid bytes are escaped in the message rather than printed raw.
    bool escaped = false;
    for (const Finding& f : findings) escaped = escaped || f.subject == "\\xFF.bin";
    EXPECT_TRUE(escaped) << Errors();
}

TEST_F(ToolScanTest, UnreadableFolderIsAnErrorNotASilentGap) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    dir.MakeDir("closed");
    dir.WriteFile("closed\\f.txt", "x");
    const std::string closed = test::HostPath(dir.Join("closed"));
    ASSERT_EQ(0, chmod(closed.c_str(), 0));
    Scan();
    chmod(closed.c_str(), 0755);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].subject, "closed");
}
#else
TEST_F(ToolScanTest, NamesWithoutACp949FormAreRefused) {
    std::wstring root(dir.path().begin(), dir.path().end());                  // the temp path is ASCII
    const wchar_t* const names[] = {L"\\\u0E01.txt", L"\\\uD55C\uAE00.txt"};  // Thai: not in CP949; Hangul: is
    for (const wchar_t* name : names) {
        HANDLE h = CreateFileW((root + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    Scan();
    ASSERT_EQ(files.size(), 1u) << Errors();
    EXPECT_EQ(files[0].path, kHangul + ".txt");
    ASSERT_EQ(findings.size(), 1u) << Errors();
    EXPECT_NE(findings[0].text.find("CP949"), std::string::npos);
    EXPECT_EQ(findings[0].subject, "\xE0\xB8\x81.txt");
}
#endif

}  // namespace
}  // namespace tarn::tool
