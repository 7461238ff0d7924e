#include <gtest/gtest.h>

#include <cstring>

#include "engine/download_job.h"
#include "engine/update_engine.h"
#include "platform/forwarding_platform.h"
#ifdef _WIN32
#include "platform/unique_handle.h"
#include "platform/win32.h"
#endif
#include "test_support.h"
#include "trust/public_key.h"
#include "trust/release_state.h"
#include "trust/sha256.h"

namespace tarn::test {
namespace {

// The window as the driver sees it: records every bar change, box and close.
class FakeWindow : public UpdateHost {
public:
    void ShowMessage(const char* text, const char* caption) override {
        boxes.push_back(std::string(caption) + "|" + text);
    }
    void SetProgressRange(int control, int32_t high) override {
        log.push_back((control == IDC_PROGRESS_TOTAL ? "total-range " : "file-range ") + std::to_string(high));
    }
    void SetProgressPos(int control, int32_t pos) override {
        log.push_back((control == IDC_PROGRESS_TOTAL ? "total " : "file ") + std::to_string(pos));
    }
    void ShowProgress() override { log.push_back("shown"); }
    void HideWindow() override { hidden = true; }
    void PostClose() override { ++closes; }

    std::vector<std::string> boxes;
    std::vector<std::string> log;
    bool hidden = false;
    int closes = 0;
};

// Records every request the driver hands over.
class FakeWorker : public WorkerControl {
public:
    bool StartDownloadWorker() override {
        ++starts;
        return startWorks;
    }
    void WakeWorker() override {
        requests.push_back(std::string(g_downloadJob.url) + " -> " + g_downloadJob.targetPath + " (" +
                           std::to_string(g_downloadJob.expectedSize) + ")");
    }
    void ForgetWorker() override { ++forgets; }
    bool WorkerEnded() override { return ended; }

    bool startWorks = true;
    bool ended = false;
    int starts = 0;
    int forgets = 0;
    std::vector<std::string> requests;
};

// The system platform, but client starts are recorded instead of run.
class ClientRecordingPlatform final : public ForwardingPlatform {
public:
    ClientRecordingPlatform() : ForwardingPlatform(SystemPlatform()) {}
    bool SystemErrorText(uint32_t e, char* b, unsigned c) override {
        return systemTexts && SystemPlatform().SystemErrorText(e, b, c);
    }
    bool StartProcess(const char* app, const char* cmd, const char* dir) override {
        starts.push_back(std::string(app ? app : "(none)") + "|" + cmd + "|" + dir);
        return startsSucceedFrom >= 1 && static_cast<int>(starts.size()) >= startsSucceedFrom;
    }
    bool RunCommandLine(const char* cmd) override {
        starts.push_back(std::string("winexec|") + cmd);
        return startsSucceedFrom == 3;
    }
    bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) override {
        return !stateWriteFails && SystemPlatform().WriteFileDurably(path, data, size);
    }
    bool ReadWholeFile(const char* path, std::unique_ptr<uint8_t[]>* data, int32_t* length, uint32_t* error) override {
        const bool state = std::strcmp(path, trust::kReleaseStateFileName) == 0;
        if ((state ? stateReadError : readError) == 0) return SystemPlatform().ReadWholeFile(path, data, length, error);
        *error = state ? stateReadError : readError;
        return false;
    }

    int startsSucceedFrom = 1;  // which attempt works: 1, 2, 3 (WinExec) or 0 for none
    uint32_t readError = 0;     // a file that exists but cannot be opened: the error of the open
    bool systemTexts = true;
    uint32_t stateReadError = 0;  // the same for the release state file alone
    bool stateWriteFails = false;
    std::vector<std::string> starts;
};

const uint64_t kTime = UtcFileTime(2022, 4, 5, 6, 7, 8);

class DriverTest : public ::testing::Test {
protected:
    DriverTest() : engine(std::make_unique<UpdateEngine>(platform, &window)) {
        engine->InstallDir = install.path();
        engine->CatalogueTempFile = temp.Join("Updater.tmp");
        engine->AttachWorker(&worker);
        std::memset(&g_downloadJob, 0, sizeof g_downloadJob);
    }

    void ServeCatalogue(const CatalogueBuilder& c) { temp.WriteFile("Updater.tmp", c.bytes()); }

    // Starts the run and delivers the catalogue's notifications.
    void RunCatalogue(const CatalogueBuilder& c) {
        ServeCatalogue(c);
        engine->StartUpdate();
        ASSERT_EQ(g_downloadJob.expectedSize, -1);
        engine->OnDownloadNotify(DOWNLOAD_STARTED, -1);
        engine->OnDownloadNotify(DOWNLOAD_PROGRESS, 100);
        engine->OnDownloadNotify(DOWNLOAD_FINISHED, 100);
    }

    // The worker's notifications for the request in the job, delivered in full.
    void CompleteCurrentFile() {
        const int32_t size = g_downloadJob.expectedSize;
        engine->OnDownloadNotify(DOWNLOAD_STARTED, size);
        if (size > 0) engine->OnDownloadNotify(DOWNLOAD_PROGRESS, size);
        engine->OnDownloadNotify(DOWNLOAD_FINISHED, size);
    }

    CurrentDirGuard cwd;
    TempFolder install;
    TempFolder temp;
    FakeWindow window;
    FakeWorker worker;
    ClientRecordingPlatform platform;
    std::unique_ptr<UpdateEngine> engine;
};

TEST_F(DriverTest, StartFetchesTheCatalogueFirst) {
    ServeCatalogue(CatalogueBuilder().Header().I32(0));
    engine->StartUpdate();
    EXPECT_EQ(worker.starts, 1);
    ASSERT_EQ(worker.requests.size(), 1u);
    EXPECT_EQ(worker.requests[0], engine->catalogueUrl + " -> " + engine->CatalogueTempFile + " (-1)");
    EXPECT_TRUE(window.log.empty());
}

TEST_F(DriverTest, FilesOf10And0And20MoveTheTotalBarTo10Then10Then30) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/base/").Entry("a.bin", 10, kTime)
                     .Entry("sub\\empty.bin", 0, kTime).Entry("sub\\c.bin", 20, kTime));
    ASSERT_EQ(engine->downloadCount, 3);
    EXPECT_EQ(window.log, (std::vector<std::string>{"total-range 30"}));
    CompleteCurrentFile();
    CompleteCurrentFile();
    CompleteCurrentFile();
    const std::vector<std::string> expected = {
        "total-range 30",
        "file-range 10", "file 10", "total 10", "file 10", "total 10", "shown",
        "file-range 0", "file 0", "total 10", "shown",
        "file-range 20", "file 20", "total 30", "file 20", "total 30", "shown",
    };
    EXPECT_EQ(window.log, expected);
    EXPECT_EQ(worker.requests[1], "http://h/base/a.bin -> a.bin (10)");
    EXPECT_EQ(worker.requests[2], "http://h/base/sub/empty.bin -> sub\\empty.bin (0)");
    EXPECT_EQ(worker.requests[3], "http://h/base/sub/c.bin -> sub\\c.bin (20)");
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(window.closes, 1);
    EXPECT_TRUE(window.hidden);
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(DriverTest, EmptyFilesAfterTheLastNonEmptyOneAreStillFetched) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("a", 10, kTime).Entry("b", 0, kTime));
    CompleteCurrentFile();
    EXPECT_FALSE(engine->finished()) << "the empty file must be fetched too";
    EXPECT_EQ(g_downloadJob.expectedSize, 0);
    CompleteCurrentFile();
    EXPECT_TRUE(engine->finished());
}

TEST_F(DriverTest, OnlyEmptyFilesFetchesThemWithoutSettingTheTotalRange) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("e1", 0, kTime));
    EXPECT_TRUE(window.log.empty());
    EXPECT_EQ(worker.requests.size(), 2u);
    CompleteCurrentFile();
    EXPECT_TRUE(engine->finished());
}

TEST_F(DriverTest, ProgressDuringTheCataloguePhaseMovesNothing) {
    ServeCatalogue(CatalogueBuilder().Header().I32(0));
    engine->StartUpdate();
    engine->OnDownloadNotify(DOWNLOAD_STARTED, -1);
    engine->OnDownloadNotify(DOWNLOAD_PROGRESS, 4096);
    engine->OnDownloadNotify(DOWNLOAD_PROGRESS, 8192);
    EXPECT_TRUE(window.log.empty());
}

TEST_F(DriverTest, NothingToDownloadFinishesRightAfterTheCatalogue) {
    install.WriteFile("same.bin", "abc");
    install.SetWriteTime("same.bin", FromU64(kTime));
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("same.bin", 3, kTime));
    EXPECT_TRUE(engine->finished());
    EXPECT_TRUE(window.log.empty()) << "the total bar's range is never set";
    EXPECT_EQ(worker.requests.size(), 1u);
    ASSERT_EQ(platform.starts.size(), 1u);
    const std::string client = install.path() + "\\pimfile.exe";
    EXPECT_EQ(platform.starts[0], client + "|\"" + client + "\"|" + install.path());
    EXPECT_FALSE(temp.Exists("Updater.tmp")) << "the temporary catalogue is deleted once read";
}

TEST_F(DriverTest, FailureOnTheThirdOfFiveEndsTheRunWithoutABox) {
    CatalogueBuilder c;
    c.Header().I32(1).Text("http://h/");
    for (int i = 1; i <= 5; ++i) c.Entry("f" + std::to_string(i), 10, kTime);
    RunCatalogue(c);
    CompleteCurrentFile();
    CompleteCurrentFile();
    engine->OnDownloadNotify(DOWNLOAD_STARTED, 10);
    engine->OnDownloadNotify(DOWNLOAD_FAILED, DOWNLOAD_ERR_INTERNET);
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(engine->nextDownload, 3);
    EXPECT_EQ(engine->bytesDone, 20);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.closes, 1);
    EXPECT_EQ(platform.starts.size(), 1u);
    EXPECT_EQ(g_downloadJob.url[0], '\0');
    // Nothing after the end moves the window or asks for more.
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 10);
    EXPECT_EQ(worker.requests.size(), 4u);
    EXPECT_EQ(window.closes, 1);
}

TEST_F(DriverTest, CatalogueFailureEndsTheRunAndStartsTheClient) {
    ServeCatalogue(CatalogueBuilder().Header().I32(0));
    engine->StartUpdate();
    engine->OnDownloadNotify(DOWNLOAD_FAILED, DOWNLOAD_ERR_INTERNET);
    EXPECT_TRUE(engine->finished());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(platform.starts.size(), 1u);
    EXPECT_EQ(window.closes, 1);
}

TEST_F(DriverTest, RejectedCatalogueShowsTheHeaderBoxThenEnds) {
    RunCatalogue(CatalogueBuilder().Raw("<html>500</html>"));
    EXPECT_EQ(window.boxes, (std::vector<std::string>{"File check error|Check update info"}));
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(platform.starts.size(), 1u);
    EXPECT_EQ(engine->catalogueData, nullptr) << "the catalogue buffer is released";
}

TEST_F(DriverTest, UnreadableTemporaryFileShowsItsBox) {
    platform.systemTexts = false;
    engine->StartUpdate();
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 0);  // the file was never written
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0], "UPDATE_TEMP_FILE 읽기 오류|네트웍 문제로 상대측에 연결 할 수 없습니다.");
    EXPECT_TRUE(engine->finished());
}

TEST_F(DriverTest, TemporaryFileThatCannotBeOpenedIsLeftInPlace) {
    ServeCatalogue(CatalogueBuilder().Header().I32(0));
    platform.readError = 32;  // in use by another process
    platform.systemTexts = false;
    engine->StartUpdate();
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 15);
    EXPECT_EQ(window.boxes.size(), 1u);
    EXPECT_TRUE(temp.Exists("Updater.tmp"));
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(platform.starts.size(), 1u);
}

TEST_F(DriverTest, OnlyTheFirstBaseUrlIsUsedAndJoinedWithNothingBetween) {
    RunCatalogue(CatalogueBuilder().Header().I32(3).Text("http://h/files").Text("http://b/").Text("http://c/")
                     .Entry("a.bin", 10, kTime).Entry("sub\\b.bin", 5, kTime));
    CompleteCurrentFile();
    ASSERT_EQ(worker.requests.size(), 3u);
    EXPECT_EQ(worker.requests[1], "http://h/filesa.bin -> a.bin (10)");
    EXPECT_EQ(worker.requests[2], "http://h/filessub/b.bin -> sub\\b.bin (5)");
}

TEST_F(DriverTest, UnreadableTemporaryFileUsesTheSystemTextWhereThereIsOne) {
    engine->StartUpdate();
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 0);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].rfind("UPDATE_TEMP_FILE 읽기 오류|", 0), 0u);
    EXPECT_NE(window.boxes[0], "UPDATE_TEMP_FILE 읽기 오류|네트웍 문제로 상대측에 연결 할 수 없습니다.");
}

TEST_F(DriverTest, FilesWithoutABaseUrlEndTheRun) {
    RunCatalogue(CatalogueBuilder().Header().I32(0).Entry("a.bin", 5, kTime));
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(worker.requests.size(), 1u) << "no file request without a base URL";
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(DriverTest, UrlThatDoesNotFitTheRequestEndsTheRun) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/" + std::string(200, 'b') + "/")
                     .Entry(std::string(60, 'p'), 5, kTime));
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(worker.requests.size(), 1u);
    EXPECT_EQ(g_downloadJob.url[0], '\0');
}

TEST_F(DriverTest, TotalBeyond32BitsEndsTheRun) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("a", 0x7FFFFFFF, kTime)
                     .Entry("b", 1, kTime));
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(worker.requests.size(), 1u);
}

TEST_F(DriverTest, WorkerThatCannotStartEndsTheRun) {
    worker.startWorks = false;
    engine->StartUpdate();
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(platform.starts.size(), 1u);
}

TEST_F(DriverTest, ClientStartFallsBackToTheCommandLineThenWinExec) {
    platform.startsSucceedFrom = 0;
    RunCatalogue(CatalogueBuilder().Header().I32(0));
    // Every attempt names the client by its full path, quoted, so that its arguments are none.
    const std::string cmd = install.path() + "\\pimfile.exe";
    const std::string quoted = "\"" + cmd + "\"";
    EXPECT_EQ(platform.starts, (std::vector<std::string>{cmd + "|" + quoted + "|" + install.path(),
                                                         "(none)|" + quoted + "|" + install.path(),
                                                         "winexec|" + quoted}));
    EXPECT_EQ(engine->clientStartedBy(), 0);
    EXPECT_EQ(window.closes, 1) << "the window closes whether or not the client started";
}

TEST_F(DriverTest, CommandLineOverTheLimitStartsNothing) {
    // The folder is entered; only the length of the command line stands in the way. One
    // character less would fit, and the client would be started.
    engine->clientExe = std::string(kPathSize - install.path().size() - 1, 'x');
    RunCatalogue(CatalogueBuilder().Header().I32(0));
    EXPECT_TRUE(engine->finished());
    EXPECT_TRUE(platform.starts.empty());
    EXPECT_EQ(window.closes, 1);
}

// The window's watch ends a run whose worker is silent for a minute, or has ended, without the
// answer the run waits for.
TEST_F(DriverTest, WatchEndsARunWhoseWorkerFellSilent) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("a", 10, kTime));
    engine->StartUpdate();  // a second start command changes nothing
    EXPECT_EQ(worker.starts, 1);
    for (int i = 1; i < UpdateEngine::kWorkerSilenceTicks; ++i) engine->OnWatchTick();
    engine->OnDownloadNotify(DOWNLOAD_STARTED, 10);  // heard of: the count starts again
    for (int i = 1; i < UpdateEngine::kWorkerSilenceTicks; ++i) engine->OnWatchTick();
    EXPECT_FALSE(engine->finished());
    engine->OnWatchTick();
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(platform.starts.size(), 1u);
}

TEST_F(DriverTest, WatchEndsARunWhoseWorkerHasEnded) {
    RunCatalogue(CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("a", 10, kTime));
    engine->OnWatchTick();
    EXPECT_FALSE(engine->finished());
    worker.ended = true;
    engine->OnWatchTick();
    EXPECT_TRUE(engine->finished());
}

TEST(ToUrlPath, TurnsBackslashCharactersIntoSlashes) {
    char path[] = "bin\\sub\\a.dll";
    ToUrlPath(path);
    EXPECT_STREQ(path, "bin/sub/a.dll");
    char hangul[] = "\xC7\xD1\\\xB1\xDB.txt";
    ToUrlPath(hangul);
    EXPECT_STREQ(hangul, "\xC7\xD1/\xB1\xDB.txt");
}

// --- signed releases ----------------------------------------------------------------------------
// The verdicts themselves are the trust library's (trust_test.cpp); the tamper e2e tests run each
// of them through the real updater. Here: the order of the run, and what only the driver checks.

// same.bin is in place already; the other two are fetched.
CatalogueBuilder SignedRelease() {
    return CatalogueBuilder().Header().I32(1).Text("http://h/").Entry("same.bin", 3, kTime)
        .Entry("sub\\new.bin", 4, kTime).Entry("empty.bin", 0, kTime);
}

class SignedDriverTest : public DriverTest {
protected:
    SignedDriverTest() {
        engine->publicKeyText = trust::FormatPublicKeyText(key);
        engine->crypto = &crypto;
        install.WriteFile("same.bin", "abc");
        install.SetWriteTime("same.bin", FromU64(kTime));
    }

    std::string Hash(const std::string& bytes) {
        trust::Digest d;
        trust::Sha256(crypto, bytes.data(), bytes.size(), &d);
        return std::string(d.begin(), d.end());
    }

    void ServeSignature(const CatalogueBuilder& c, const std::vector<std::string>& contents, uint64_t sequence = 5) {
        auto facts = std::make_unique<trust::ReleaseFacts>();
        trust::KeyIdOf(crypto, key, &facts->keyId);
        facts->sequence = sequence;
        facts->expires = 4000000000;
        std::memcpy(facts->catalogueHash.data(), Hash(c.bytes()).data(), trust::kDigestSize);
        facts->fileCount = static_cast<uint32_t>(contents.size());
        for (size_t i = 0; i < contents.size(); ++i)
            std::memcpy(facts->fileHashes[i].data(), Hash(contents[i]).data(), trust::kDigestSize);
        temp.WriteFile("Updater.tmp.sig", SignTwice(crypto, trust::EncodeSignedPart(*facts)));
    }

    std::string JobHash() const { return std::string(g_downloadJob.sha256, g_downloadJob.sha256 + 32); }

    trust::PublicKey key{1, 2, 3};
    DigestTwiceCrypto crypto;
};

TEST_F(SignedDriverTest, CheckedBeforeParsingThenEachFileCarriesItsSignedHash) {
    RunCatalogue(SignedRelease());
    ASSERT_EQ(worker.requests.size(), 2u);
    EXPECT_EQ(worker.requests[1], engine->catalogueUrl + ".sig -> " + engine->CatalogueTempFile + ".sig (-1)");
    EXPECT_FALSE(install.Exists("sub")) << "nothing is created before the signature file is in";

    ServeSignature(SignedRelease(), {"abc", "new!", ""}, 7);
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 200);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_FALSE(temp.Exists("Updater.tmp") || temp.Exists("Updater.tmp.sig"));
    EXPECT_EQ(install.Read(trust::kReleaseStateFileName), trust::EncodeReleaseState(7))
        << "recorded before any file is fetched";
    ASSERT_EQ(worker.requests.size(), 3u);
    EXPECT_EQ(worker.requests[2], "http://h/sub/new.bin -> sub\\new.bin (4)");
    EXPECT_EQ(g_downloadJob.checkHash, 1);
    EXPECT_EQ(JobHash(), Hash("new!")) << "the hash of the second entry, not of the first download";
    CompleteCurrentFile();
    EXPECT_EQ(JobHash(), Hash(""));
    CompleteCurrentFile();
    EXPECT_TRUE(engine->finished());
}

TEST_F(SignedDriverTest, FailedSignatureDownloadEndsTheRunWithoutABox) {
    RunCatalogue(SignedRelease());
    engine->OnDownloadNotify(DOWNLOAD_FAILED, DOWNLOAD_ERR_INTERNET);
    EXPECT_TRUE(engine->finished());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(install.List(), std::vector<std::string>{"same.bin"});
    EXPECT_EQ(platform.starts.size(), 1u);
}

TEST_F(SignedDriverTest, AStateThatCannotBeReadEndsTheRunAndIsNeverLowered) {
    install.WriteFile(trust::kReleaseStateFileName, trust::EncodeReleaseState(9));
#ifdef _WIN32
    // Held open by another program that lets it be replaced but not read.
    const std::string state = install.Join(trust::kReleaseStateFileName);
    UniqueFileHandle held(CreateFileA(state.c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
#else
    platform.stateReadError = 32;  // ERROR_SHARING_VIOLATION
#endif
    RunCatalogue(SignedRelease());
    ServeSignature(SignedRelease(), {"abc", "new!", ""}, 7);
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 200);
    EXPECT_TRUE(engine->finished());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(worker.requests.size(), 2u);
#ifdef _WIN32
    held.reset();
#endif
    EXPECT_EQ(install.Read(trust::kReleaseStateFileName), trust::EncodeReleaseState(9));
    EXPECT_FALSE(install.Exists("sub"));
}

TEST_F(SignedDriverTest, SequenceThatCannotBeRecordedEndsTheRunBeforeAnyFile) {
    platform.stateWriteFails = true;  // a full disk, say: the new sequence cannot be recorded
    RunCatalogue(SignedRelease());
    ServeSignature(SignedRelease(), {"abc", "new!", ""}, 7);
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 200);
    EXPECT_TRUE(engine->finished());
    EXPECT_EQ(worker.requests.size(), 2u) << "no file is fetched";
    EXPECT_FALSE(install.Exists(trust::kReleaseStateFileName));
    EXPECT_FALSE(install.Exists("sub\\new.bin") || install.Exists("empty.bin"));
    EXPECT_EQ(platform.starts.size(), 1u);
}

// An empty reply; a good signature whose hashes are one short of the entries; one that covers an
// entry overwriting the state file, its short name, or a folder in its place. Each is refused
// like a broken catalogue, before any folder.
class SignedRefusalTest : public SignedDriverTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignedRefusalTest, RefusedLikeABrokenCatalogueBeforeAnythingIsCreated) {
    CatalogueBuilder c = SignedRelease();
    const char* const stateNames[] = {"tarnfileupdater.STATE", "TarnFileUpdater.state\\x", "tarnfi~1.sta"};
    if (GetParam() >= 2) c.Entry(stateNames[GetParam() - 2], 1, kTime);
    RunCatalogue(c);
    if (GetParam() == 0) temp.WriteFile("Updater.tmp.sig", "");
    if (GetParam() == 1) ServeSignature(c, {"abc", "new!"});
    if (GetParam() >= 2) ServeSignature(c, {"abc", "new!", "", "x"});
    engine->OnDownloadNotify(DOWNLOAD_FINISHED, 0);
    EXPECT_EQ(window.boxes, (std::vector<std::string>{"File check error|Check update info"}));
    EXPECT_EQ(engine->lastVerdict(), CatalogueVerdict::kNotSigned);
    EXPECT_EQ(engine->lastReleaseVerdict(), GetParam() == 0 ? trust::ReleaseVerdict::kMissing
                                                            : trust::ReleaseVerdict::kOk);
    EXPECT_EQ(worker.requests.size(), 2u);
    EXPECT_EQ(install.List(), std::vector<std::string>{"same.bin"}) << "no folder, no state";
    EXPECT_EQ(platform.starts.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EmptyShortOrOverwritingTheState, SignedRefusalTest, ::testing::Values(0, 1, 2, 3, 4));

}  // namespace
}  // namespace tarn::test
