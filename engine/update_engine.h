#pragma once
// The state of one update run and the operations that read the catalogue, list the install
// folder and plan the downloads. The updater window owns one UpdateEngine per run; the
// publisher's tool and the tests drive it directly.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/update_types.h"
#include "platform/platform.h"

namespace tarn {

// What the engine asks of the window that owns it. All calls come on the window's thread.
class UpdateHost {
public:
    // A message box with a single OK button, owned by the window; returns when dismissed.
    virtual void ShowMessage(const char* text, const char* caption) = 0;

protected:
    ~UpdateHost() = default;
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

    // --- local inventory -------------------------------------------------------------------
    // Creates InstallDir if needed, makes it the current directory and lists it into localList.
    // Returns false when InstallDir could not be made the current directory (nothing listed).
    bool BuildLocalInventory();
    void ScanFolder();
    bool CreateFolderPath(const char* fullPath);

    // --- plan ------------------------------------------------------------------------------
    void FormatEntryTime(UpdateFileEntry& entry);
    void BuildUpdatePlan();

    // --- run state -------------------------------------------------------------------------
    std::string catalogueUrl;
    std::string InstallDir;
    std::string CatalogueTempFile;
    std::string clientExe;
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
    int32_t nextDownload = 0;

    // Files the scan could not record: more than 300, or a path of 260 bytes or more.
    int32_t localSkipped = 0;

protected:
    Platform& platform_;
    UpdateHost* host_;

private:
    CatalogueVerdict verdict_ = CatalogueVerdict::kAccepted;
    int32_t verdictOffset_ = 0;
    void RejectCatalogue(CatalogueVerdict verdict, int32_t offset);
};

// Debug trace hook: takes a printf-style text and produces no output.
inline void Trace(const char* /*format*/, ...) {}

}  // namespace tarn
