// One update run, driven by window messages: the start command, then the worker's
// notifications for the catalogue (and, in a signed build, its signature file) and for each
// file, until FinishUpdate.
#include <cstring>
#include <ctime>

#include "engine/download_job.h"
#include "engine/release_gate.h"
#include "base/text.h"
#include "engine/update_engine.h"
#include "transfer/resume_rules.h"
#include "trust/release_state.h"

namespace tarn {

namespace {
constexpr char kTempFileErrorCaption[] = "UPDATE_TEMP_FILE 읽기 오류";
constexpr char kTempFileErrorDefault[] = "네트웍 문제로 상대측에 연결 할 수 없습니다.";
}  // namespace

void ToUrlPath(char* text) {
    for (char* p = text; *p; p = const_cast<char*>(NextChar(p)))
        if (*p == '\\') *p = '/';
}

void UpdateEngine::ResetDownloadJob() {
    scanDepth = 0;
    g_downloadJob.notifyWindow = nullptr;
    std::memset(g_downloadJob.url, 0, sizeof g_downloadJob.url);
    std::memset(g_downloadJob.targetPath, 0, sizeof g_downloadJob.targetPath);
    g_downloadJob.expectedSize = 0;
    g_downloadJob.bytesReceived = 0;
    g_downloadJob.checkHash = 0;
    g_downloadJob.resumeFrom = 0;
    g_downloadJob.resumeStem[0] = '\0';
    g_downloadJob.planIndex = -1;
    // Nothing more is fetched ahead; the requests themselves stay as they are.
    g_downloadPlan.count.store(0, std::memory_order_release);
    if (worker_) worker_->ForgetWorker();
    ReleaseCatalogue();
}

void UpdateEngine::StartUpdate() {
    if (started_) return;
    started_ = true;
    ResetDownloadJob();
    // Without the install folder as the current directory, files would land wherever the
    // process happens to stand: end the run as after a failed download.
    if (!BuildLocalInventory() || !worker_ || !worker_->StartDownloadWorker()) {
        FinishUpdate();
        return;
    }
    if (!publicKeyText.empty())
        gate_ = std::make_unique<ReleaseGate>(publicKeyText, crypto ? *crypto : trust::SystemCrypto());
    QueueCatalogueDownload();
}

void UpdateEngine::QueueCatalogueDownload() { QueueUnsizedDownload(RunPhase::kCatalogue, catalogueUrl, CatalogueTempFile); }

void UpdateEngine::QueueSignatureDownload() {
    QueueUnsizedDownload(RunPhase::kSignature, catalogueUrl + ".sig", SignatureTempFile());
}

void UpdateEngine::QueueUnsizedDownload(RunPhase phase, const std::string& url, const std::string& target) {
    phase_ = phase;
    g_downloadJob.expectedSize = -1;
    g_downloadJob.planIndex = -1;
    const bool urlFits = CopyText(g_downloadJob.url, url.c_str());
    const bool targetFits = CopyText(g_downloadJob.targetPath, target.c_str());
    if (!urlFits || !targetFits) {
        ResetDownloadJob();
        FinishUpdate();
        return;
    }
    worker_->WakeWorker();
}

void UpdateEngine::OnWatchTick() {
    // While a notification is handled (its box may be up) the worker waits for the driver.
    if (!started_ || finished_ || inNotify_) return;
    const bool ended = worker_ && worker_->WorkerEnded();
    if (!ended && ++silentTicks_ < kWorkerSilenceTicks) return;
    ResetDownloadJob();
    FinishUpdate();
}

int32_t UpdateEngine::OnDownloadNotify(int32_t code, int32_t value) {
    if (finished_) return 1;
    silentTicks_ = 0;
    const bool outerNotify = inNotify_;
    inNotify_ = true;
    const bool cataloguePhase = phase_ != RunPhase::kFiles;
    switch (code) {
        case DOWNLOAD_STARTED:
            if (!cataloguePhase && host_) host_->SetProgressRange(IDC_PROGRESS_FILE, value);
            break;
        case DOWNLOAD_PROGRESS:
            if (!cataloguePhase && host_) {
                host_->SetProgressPos(IDC_PROGRESS_FILE, value);
                host_->SetProgressPos(IDC_PROGRESS_TOTAL, bytesDone + value);
            }
            break;
        case DOWNLOAD_FINISHED:
            if (phase_ == RunPhase::kCatalogue && gate_) {
                // Held unparsed until its signature file has vouched for it: parsing creates
                // folders.
                if (ReadCatalogueFile()) {
                    QueueSignatureDownload();
                } else {
                    ResetDownloadJob();
                    FinishUpdate();
                }
            } else if (cataloguePhase) {
                if (!(phase_ == RunPhase::kSignature ? LoadSignedCatalogue() : LoadCatalogue())) {
                    ResetDownloadJob();
                    FinishUpdate();
                    break;
                }
                StartFileDownloads();
            } else {
                bytesDone += value;
                if (host_) {
                    host_->SetProgressPos(IDC_PROGRESS_FILE, value);
                    host_->SetProgressPos(IDC_PROGRESS_TOTAL, bytesDone);
                    // Every file's end is shown, however short the file.
                    host_->ShowProgress();
                }
                // The run ends when every planned file has been handled, empty ones included,
                // so that the next run finds the folder identical to the catalogue.
                if (nextDownload >= downloadCount)
                    FinishUpdate();
                else
                    DownloadNextFile();
            }
            break;
        case DOWNLOAD_FAILED:
            ResetDownloadJob();
            FinishUpdate();
            break;
        default:
            break;
    }
    inNotify_ = outerNotify;
    return 1;
}

static_assert(sizeof g_downloadJob.resumeStem == kTransferStemLength + 1, "a stem and its NUL");

void UpdateEngine::SettleKeptPartials() {
    std::memset(downloadResume, 0, sizeof downloadResume);
    for (const KeptPartial& kept : keptPartials) {
        int32_t planned = -1;
        for (int32_t i = 0; i < downloadCount && planned < 0; ++i)
            if (kept.record.target == downloadList[i].path) planned = i;
        ListedEntry listed{};
        if (planned >= 0) listed = {downloadList[planned].size, ToU64(downloadList[planned].writeTime)};
        // A second partial of the same target (an earlier cut under another stem) goes.
        if (planned >= 0 && downloadResume[planned].from == 0 &&
            DecidePartial(&kept.record, &listed, kept.length) == PartialVerdict::kKeep) {
            CopyText(downloadResume[planned].stem, kept.stem);
            downloadResume[planned].from = static_cast<int32_t>(kept.length);
            continue;
        }
        char path[kPathSize + kTransferNameLength];
        const size_t folder = kept.folder.size();
        if (!CopyText(path, kept.folder.c_str())) continue;
        TransferFileName(kept.stem, TransferFileKind::kPartial, path + folder, sizeof path - folder);
        platform_.DeleteFileForce(path);
        // A copy aside under the same stem still needs the record that names its way back.
        TransferFileName(kept.stem, TransferFileKind::kAside, path + folder, sizeof path - folder);
        if (platform_.PathExists(path)) continue;
        TransferFileName(kept.stem, TransferFileKind::kRecord, path + folder, sizeof path - folder);
        platform_.DeleteFileForce(path);
    }
    keptPartials.clear();
}

void UpdateEngine::StartFileDownloads() {
    BuildUpdatePlan();
    SettleKeptPartials();
    // Files to fetch but nowhere to fetch them from, or more than the 32-bit byte counts can
    // follow: end the run as after a failed download.
    if (downloadCount > 0 && (baseUrlCount < 1 || planTooLarge_)) {
        ResetDownloadJob();
        FinishUpdate();
        return;
    }
    if (downloadCount == 0) {
        FinishUpdate();
        return;
    }
    if (totalBytes > 0 && host_) host_->SetProgressRange(IDC_PROGRESS_TOTAL, totalBytes);
    for (int32_t i = 0; i < downloadCount; ++i) {
        PlannedRequest& request = g_downloadPlan.requests[i];
        if (!MakeFileRequest(i, &request)) request.url[0] = '\0';
    }
    g_downloadPlan.count.store(downloadCount, std::memory_order_release);
    DownloadNextFile();
}

bool UpdateEngine::MakeFileRequest(int32_t index, PlannedRequest* out) const {
    const UpdateFileEntry& entry = downloadList[index];
    char urlPath[kPathSize];
    CopyText(urlPath, entry.path);
    ToUrlPath(urlPath);
    if (!CopyText(out->targetPath, entry.path) ||
        !FormatText(out->url, sizeof out->url, "%s%s", baseUrls[0], urlPath))
        return false;
    out->expectedSize = entry.size;
    out->fileTime = entry.writeTime;
    // A signed release's file must arrive with the SHA-256 that was signed for it.
    out->checkHash = gate_ ? 1 : 0;
    std::memset(out->sha256, 0, sizeof out->sha256);
    if (gate_) {
        const trust::Digest& hash = gate_->FileHash(downloadSource[index]);
        std::memcpy(out->sha256, hash.data(), sizeof out->sha256);
    }
    out->resumeFrom = downloadResume[index].from;
    static_assert(sizeof out->resumeStem == sizeof downloadResume[index].stem, "a stem and its NUL");
    std::memcpy(out->resumeStem, downloadResume[index].stem, sizeof out->resumeStem);
    return true;
}

void UpdateEngine::DownloadNextFile() {
    if (nextDownload >= downloadCount) return;
    PlannedRequest request;
    if (!MakeFileRequest(nextDownload, &request)) {
        // The request cannot be expressed in the job's 256-byte fields.
        ResetDownloadJob();
        FinishUpdate();
        return;
    }
    phase_ = RunPhase::kFiles;
    std::memcpy(g_downloadJob.url, request.url, sizeof g_downloadJob.url);
    std::memcpy(g_downloadJob.targetPath, request.targetPath, sizeof g_downloadJob.targetPath);
    g_downloadJob.expectedSize = request.expectedSize;
    g_downloadJob.fileTime = request.fileTime;
    g_downloadJob.checkHash = request.checkHash;
    std::memcpy(g_downloadJob.sha256, request.sha256, sizeof g_downloadJob.sha256);
    g_downloadJob.resumeFrom = request.resumeFrom;
    std::memcpy(g_downloadJob.resumeStem, request.resumeStem, sizeof g_downloadJob.resumeStem);
    g_downloadJob.planIndex = nextDownload;
    if (worker_) worker_->WakeWorker();
    ++nextDownload;
}

bool UpdateEngine::ReadTempFile(const std::string& path, std::unique_ptr<uint8_t[]>* data, int32_t* length) {
    uint32_t error = 0;
    if (!platform_.ReadWholeFile(path.c_str(), data, length, &error)) {
        char text[256] = {};
        CopyText(text, kTempFileErrorDefault);
        char system[256];
        if (platform_.SystemErrorText(error, system, sizeof system)) CopyText(text, system);
        if (host_) host_->ShowMessage(text, kTempFileErrorCaption);
        return false;
    }
    platform_.DeleteFileForce(path.c_str());
    return true;
}

bool UpdateEngine::ReadCatalogueFile() {
    std::unique_ptr<uint8_t[]> data;
    int32_t length = 0;
    if (!ReadTempFile(CatalogueTempFile, &data, &length)) return false;
    SetCatalogueData(std::move(data), length);
    return true;
}

bool UpdateEngine::LoadCatalogue() { return ReadCatalogueFile() && ParseCatalogue(); }

bool UpdateEngine::LoadSignedCatalogue() {
    std::unique_ptr<uint8_t[]> signature;
    int32_t length = 0;
    if (!gate_ || !ReadTempFile(SignatureTempFile(), &signature, &length)) return false;
    // The install folder is the current directory for the whole run.
    const char* statePath = trust::kReleaseStateFileName;
    uint64_t lastSequence = 0;
    // A state that is there but cannot be read ends the run like a failed download.
    if (!ReadLastSequence(platform_, statePath, &lastSequence)) return false;
    const std::time_t now = std::time(nullptr);
    // An empty reply is no signature file at all.
    const trust::ByteSpan signatureSpan{length > 0 ? signature.get() : nullptr, static_cast<size_t>(length)};
    const trust::ByteSpan catalogueSpan{catalogueData.get(), static_cast<size_t>(catalogueLength)};
    if (gate_->Check(catalogueSpan, signatureSpan, now > 0 ? static_cast<uint64_t>(now) : 0, lastSequence) !=
        trust::ReleaseVerdict::kOk) {
        RejectCatalogue(CatalogueVerdict::kNotSigned, 0);
        return false;
    }
    if (!ParseCatalogue()) return false;
    // Recorded before any file is fetched: a run cut short (by a failed or tampered file, or by
    // whoever can break the connection) must not leave the install open to an older release it
    // has already been offered. The same sequence again is accepted, so the next run finishes the
    // release. A sequence that cannot be recorded ends the run like a failed download.
    if (gate_->sequence() > lastSequence && !SaveLastSequence(platform_, statePath, gate_->sequence())) return false;
    return true;
}

void UpdateEngine::FinishUpdate() {
    finished_ = true;
    if (host_) host_->HideWindow();
    char commandLine[kPathSize];
    const bool fits =
        FormatText(commandLine, sizeof commandLine, "%s\\%s", InstallDir.c_str(), clientExe.c_str());
    Trace("%s", commandLine);
    ResetDownloadJob();
    // The updater runs elevated, so the client is started only from the install folder, by its
    // full path. A command line cut to the buffer would name some other program, and without an
    // install folder that became the current directory (its path did not fit, or it cannot be
    // entered) the system would look the bare name up in the current directory, at the root of
    // the current drive or on the search path: nothing is started then.
    if (fits && installDirEntered_) StartClient(commandLine);
    if (host_) host_->PostClose();
}

void UpdateEngine::StartClient(const char* path) {
    // The command line is quoted in every attempt: a client parses it into arguments, and an
    // install folder with blanks ("Program Files (x86)") would otherwise hand it pieces of its
    // own path as arguments. Without an application name the system also takes the program from
    // it, where an unquoted path would be tried piece by piece ("C:\Program.exe" first).
    char quoted[kPathSize + 2];
    FormatText(quoted, sizeof quoted, "\"%s\"", path);
    const char* dir = InstallDir.c_str();
    if (platform_.StartProcess(path, quoted, dir))
        clientStartedBy_ = 1;
    else if (platform_.StartProcess(nullptr, quoted, dir))
        clientStartedBy_ = 2;
    else if (platform_.RunCommandLine(quoted))
        clientStartedBy_ = 3;
}

}  // namespace tarn
