#pragma once
// The state of one update run and the operations that read the catalogue, list the install
// folder and plan the downloads. The updater window owns one UpdateEngine per run; the
// publisher's tool and the tests drive it directly.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/update_types.h"
#include "platform/platform.h"
#include "transfer/transfer_names.h"
#include "transfer/transfer_record.h"
#include "trust/release_check.h"

namespace tarn {

class ReleaseGate;
struct PlannedRequest;

// What the engine asks of the window that owns it. All calls come on the window's thread.
class UpdateHost {
public:
    // A message box with a single OK button, owned by the window; returns when dismissed.
    virtual void ShowMessage(const char* text, const char* caption) = 0;
    // PBM_SETRANGE32 (0 .. high) and PBM_SETPOS on one of the two progress bars. A position may
    // reach the bar a little later (the window draws at most every few tens of milliseconds), but
    // in order and before any later range; ShowProgress brings both bars up to date at once.
    virtual void SetProgressRange(int control, int32_t high) { (void)control, (void)high; }
    virtual void SetProgressPos(int control, int32_t pos) { (void)control, (void)pos; }
    virtual void ShowProgress() {}
    // Hides the window if it is visible.
    virtual void HideWindow() {}
    // Posts WM_CLOSE to the window, which ends its modal run.
    virtual void PostClose() {}

protected:
    ~UpdateHost() = default;
};

// The download worker's thread and event. The request itself travels in g_downloadJob.
class WorkerControl {
public:
    // Owned through std::unique_ptr<WorkerControl> (CreateDownloadWorkerControl).
    virtual ~WorkerControl() = default;
    // Empties url and targetPath, stores the window in notifyWindow, creates wakeEvent and
    // starts the worker thread. False when the event or the thread cannot be created.
    virtual bool StartDownloadWorker() = 0;
    // Signals wakeEvent, if there is one.
    virtual void WakeWorker() = 0;
    // Closes nothing the worker may still use; forgets wakeEvent after a last signal.
    virtual void ForgetWorker() = 0;
    // Whether the worker's thread has ended (for whatever reason, its last notification posted
    // or not).
    virtual bool WorkerEnded() = 0;
};

// Why a catalogue was turned down; kAccepted when it was read.
enum class CatalogueVerdict {
    kAccepted,
    kBadHeader,        // first 11 bytes are not "Update Info" (or fewer than 11 bytes)
    kTruncated,        // the data ends inside the count, a base URL or an entry
    kTooManyBaseUrls,  // more than 300
    kTooManyEntries,   // more than 300
    kTextTooLong,      // a base URL or path of 260 bytes or more without its NUL
    kNegativeSize,
    kUnsafePath,       // a path that would leave the install folder or names a device
    kNotSigned,        // a signed build's check refused the release (see lastReleaseVerdict)
};

const char* DescribeVerdict(CatalogueVerdict verdict);

class UpdateEngine {
public:
    // Sets the construction values: the built-in catalogue URL, the temporary catalogue file in
    // the common application-data folder, the executable's folder as install folder, the client.
    explicit UpdateEngine(Platform& platform, UpdateHost* host = nullptr);
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;
    virtual ~UpdateEngine();

    // --- catalogue -------------------------------------------------------------------------
    // Takes ownership of the whole catalogue file and sets cursor and length to its start.
    void SetCatalogueData(std::unique_ptr<uint8_t[]> data, int32_t length);
    // Reads catalogueData into baseUrls and serverList and creates the folders the entries
    // name. A catalogue that is not one, or that does not hold what it promises, is rejected
    // whole with the "Check update info" box before anything is created; returns false then.
    bool ParseCatalogue();
    CatalogueVerdict lastVerdict() const { return verdict_; }
    // Byte offset at which the last rejected catalogue went wrong.
    int32_t lastVerdictOffset() const { return verdictOffset_; }
    void ReleaseCatalogue();

    // A signed build's verdict on the last release it checked.
    trust::ReleaseVerdict lastReleaseVerdict() const;

    // --- local inventory -------------------------------------------------------------------
    // Creates InstallDir if needed, makes it the current directory and lists it into localList.
    // Returns false when InstallDir could not be made the current directory (nothing listed).
    bool BuildLocalInventory();
    void ScanFolder();
    bool CreateFolderPath(const char* fullPath);

    // --- partial files of earlier runs -------------------------------------------------------
    // A partial file the scan found with a readable record naming a target in the same folder.
    struct KeptPartial {
        std::string folder;  // install-relative, ends with a backslash; "" for the install folder
        char stem[kTransferStemLength + 1];
        int64_t length;
        TransferRecord record;
    };
    std::vector<KeptPartial> keptPartials;
    // Once the plan is made: which kept partial each planned download continues (from 0: none).
    struct ResumePoint {
        char stem[kTransferStemLength + 1];
        int32_t from;
    };
    ResumePoint downloadResume[kMaxEntries] = {};
    // Keeps each partial that a planned download can continue (DecidePartial) and deletes every
    // other one with its record.
    void SettleKeptPartials();

    // --- plan ------------------------------------------------------------------------------
    void FormatEntryTime(UpdateFileEntry& entry);
    void BuildUpdatePlan();

    // --- the run ---------------------------------------------------------------------------
    // Needed before StartUpdate; the window owns both.
    void AttachWorker(WorkerControl* worker) { worker_ = worker; }
    // ID_START_UPDATE: reset the job, list the install folder, start the worker, fetch the
    // catalogue. A run starts once; a later call does nothing.
    void StartUpdate();
    // The window's watch over the worker, about once a second while the run lasts: a worker that
    // has ended, or has been silent for kWorkerSilenceTicks, without the answer the run waits
    // for, ends the run as a DOWNLOAD_FAILED would.
    void OnWatchTick();
    static constexpr int kWorkerSilenceTicks = 60;
    // WM_DOWNLOAD_NOTIFY, for the request of the current phase. Returns 1.
    int32_t OnDownloadNotify(int32_t code, int32_t value);
    void DownloadNextFile();
    // Reads CatalogueTempFile into catalogueData, deletes it and parses it.
    bool LoadCatalogue();
    // A signed build's second request, <catalogueUrl>.sig into SignatureTempFile().
    void QueueSignatureDownload();
    // Reads and deletes SignatureTempFile(), checks the catalogue held in catalogueData with it,
    // then parses the catalogue and records the release's sequence. Any refusal shows the box of
    // a rejected catalogue before anything is created.
    bool LoadSignedCatalogue();
    std::string SignatureTempFile() const { return CatalogueTempFile + ".sig"; }
    // Ends every run: hide, reset the job, start the client from InstallDir by its full path,
    // close the window. Nothing is started when InstallDir never became the current directory.
    void FinishUpdate();
    // Empties g_downloadJob, lets a waiting worker end and releases the catalogue.
    void ResetDownloadJob();
    // Puts the catalogue request into g_downloadJob and wakes the worker.
    void QueueCatalogueDownload();
    bool finished() const { return finished_; }
    // How the client was started by FinishUpdate: 0 not yet or not at all, 1 CreateProcessA
    // with the application name, 2 without it, 3 WinExec.
    int clientStartedBy() const { return clientStartedBy_; }

    // --- run state -------------------------------------------------------------------------
    std::string catalogueUrl;
    std::string InstallDir;
    std::string CatalogueTempFile;
    std::string clientExe;
    // UPDATE_PUBLIC_KEY: empty for an unsigned build, which never asks for a signature file.
    std::string publicKeyText;
    // The cryptography of signed runs; null: the system's.
    trust::Crypto* crypto = nullptr;
    int32_t scanDepth = 0;
    char scanPrefix[kPathSize] = {};
    int32_t totalBytes = 0;
    int32_t bytesDone = 0;
    int32_t catalogueLength = 0;
    const uint8_t* catalogueCursor = nullptr;
    std::unique_ptr<uint8_t[]> catalogueData;
    int32_t baseUrlCount = 0;
    char baseUrls[kMaxEntries][kPathSize] = {};
    UpdateFileEntry localList[kMaxEntries] = {};
    int32_t localCount = 0;
    UpdateFileEntry serverList[kMaxEntries] = {};
    int32_t serverCount = 0;
    UpdateFileEntry downloadList[kMaxEntries] = {};
    int32_t downloadCount = 0;
    // The serverList index of each planned download.
    int32_t downloadSource[kMaxEntries] = {};
    int32_t nextDownload = 0;

    // Files the scan could not record: more than 300, or a path of 260 bytes or more.
    int32_t localSkipped = 0;

protected:
    Platform& platform_;
    UpdateHost* host_;
    WorkerControl* worker_ = nullptr;
    bool started_ = false;
    bool finished_ = false;
    bool planTooLarge_ = false;  // the planned bytes do not fit a signed 32-bit count
    bool installDirEntered_ = false;  // InstallDir became the current directory
    bool inNotify_ = false;           // a notification is being handled (it may show a box)
    int silentTicks_ = 0;             // watch ticks since the worker was last heard of
    int clientStartedBy_ = 0;
    // The request the worker is serving: the catalogue, a signed build's signature file, files.
    enum class RunPhase { kCatalogue, kSignature, kFiles };
    RunPhase phase_ = RunPhase::kCatalogue;
    std::unique_ptr<ReleaseGate> gate_;  // signed builds only, from StartUpdate on

private:
    // A request of unknown size (the catalogue or its signature) into g_downloadJob; wakes the
    // worker, or ends the run when the URL or the target does not fit the job's fields.
    void QueueUnsizedDownload(RunPhase phase, const std::string& url, const std::string& target);
    void StartClient(const char* path);
    bool ReadTempFile(const std::string& path, std::unique_ptr<uint8_t[]>* data, int32_t* length);
    bool ReadCatalogueFile();
    void StartFileDownloads();
    // The request for downloadList[index]; false when its URL or target does not fit.
    bool MakeFileRequest(int32_t index, PlannedRequest* out) const;
    CatalogueVerdict verdict_ = CatalogueVerdict::kAccepted;
    int32_t verdictOffset_ = 0;
    void RejectCatalogue(CatalogueVerdict verdict, int32_t offset);
};

// Replaces every backslash character (by CP949 characters) with a forward slash.
void ToUrlPath(char* text);

// Debug trace hook: takes a printf-style text and produces no output.
inline void Trace(const char* /*format*/, ...) {}

}  // namespace tarn
