#pragma once
// Putting a release in place so that what is served changes only once everything new is on disk:
// every new file is first written under a temporary name beside its place and made durable; only
// then are the files renamed into place, then the signature file, then the catalogue. A failure
// before the renames removes what was written and leaves the served tree as it was. Linux build
// only: the Windows build of the tool writes an unsigned catalogue alone.
#include <cstddef>
#include <string>
#include <vector>

#include "engine/update_types.h"
#include "tools/update-catalogue/host_io.h"

namespace tarn::tool {

#ifndef _WIN32

// The file operations of a publication, as one seam: the host's by default, a test's own to watch
// their order or fail any one of them.
class PublishIo {
public:
    virtual ~PublishIo() = default;
    virtual PathKind Kind(const std::string& path) = 0;
    virtual bool MakeFolders(const std::string& path, std::vector<std::string>* made, std::string* error) = 0;
    virtual bool WriteBeside(const std::string& target, const std::string& data, std::string* temp,
                             std::string* error) = 0;
    virtual bool CopyBeside(const std::string& source, const std::string& target, FileTime time, std::string* temp,
                            std::string* error) = 0;
    virtual bool SetWriteTime(const std::string& path, FileTime time, std::string* error) = 0;
    virtual bool Link(const std::string& existing, const std::string& newName, std::string* error) = 0;
    virtual bool Rename(const std::string& from, const std::string& to, std::string* error) = 0;
    virtual bool Remove(const std::string& path) = 0;        // a file
    virtual bool RemoveFolder(const std::string& path) = 0;  // an empty folder
};

PublishIo& HostPublishIo();

// One thing a publication puts in place.
struct Placement {
    enum Kind { kFile, kBlockMap, kSignature, kDroppedSignature, kCatalogue };
    Kind kind = kFile;
    std::string target;    // host path of its place
    std::string source;    // kFile: the release file whose bytes go there
    std::string bytes;     // kBlockMap, kSignature, kCatalogue: the bytes
    FileTime time{};       // kFile: its last-write time
    bool inPlace = false;  // kFile: the same bytes are there already; only the time is set
    std::string temp;      // the new bytes beside the target, once written
};

class Publication {
public:
    explicit Publication(PublishIo& io = HostPublishIo()) : io_(io) {}
    // Removes every temporary file left, and the folders made unless a rename took place.
    ~Publication();
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

    // What will be put in place, in the order of the renames. Files come first, then the block
    // maps beside them (made from the new copies, so added once those are written); the catalogue
    // (with its signature file, when signatureFile is not empty) is added after them. With
    // dropSignature and no signatureFile, the previous signature file is removed where a new one
    // would be renamed into place, and put back should the catalogue fail to take its place.
    void AddFile(const std::string& target, const std::string& source, FileTime time, bool inPlace);
    void AddBlockMap(const std::string& target, const std::string& map);
    void AddCatalogue(const std::string& target, const std::string& catalogue, const std::string& signatureFile,
                      bool dropSignature = false);
    const std::vector<Placement>& placements() const { return placements_; }

    // Writes everything added and not yet written beside its place, creating missing folders.
    // False, with *failed the index of the placement that failed, when one cannot be written or
    // something other than a file holds its place; nothing served has changed then.
    bool Write(size_t* failed, std::string* error);

    // Where the bytes a placement puts in place can be read, once written.
    const std::string& NewBytesAt(size_t index) const;

    // The renames: times of files already in place, the files, the signature file, the catalogue.
    // When the catalogue cannot take its place, the previous signature file is put back. False
    // with what was left as it was; *placed says how many files were put in place.
    bool PutInPlace(size_t* placed, std::string* error);

private:
    // Gives the signature file that a dropped signature removes a second name beside it.
    bool KeepPreviousSignature(const std::string& target, std::string* error);

    PublishIo& io_;
    std::vector<Placement> placements_;
    std::vector<std::string> madeFolders_;
    size_t written_ = 0;
    std::string keptSignature_;  // a second name of the previous signature file, to put it back
    bool renaming_ = false;
};

#endif

}  // namespace tarn::tool
