#pragma once
// Walking a release folder: every regular file below it, with its catalogue path (CP949,
// backslashes), size and last-write time.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/update_types.h"
#include "tools/update-catalogue/findings.h"
#include "trust/crypto.h"

namespace tarn::tool {

struct ReleaseFile {
    std::string path;   // relative catalogue path: CP949 bytes, backslash-separated
    std::string shown;  // the same path in UTF-8 with the host's separator, for messages
    uint64_t size;
    FileTime writeTime;
    // The file itself, for the functions below: its host path on POSIX, its full path in UTF-8
    // on Windows (where names need not fit the ANSI code page).
    std::string source{};
};

// Lists every regular file below hostRoot (a path as the host's file API takes it). Symbolic
// links, junctions and special files are not followed or published: each is an error finding,
// as are folders that cannot be read and names that cannot be written in CP949 (those are left
// out of files). Empty folders contribute nothing. The order of files is unspecified.
// Returns false, with an error finding, when hostRoot itself cannot be listed.
bool ScanRelease(const std::string& hostRoot, std::vector<ReleaseFile>* files, Findings* findings);

// Whether two files (ReleaseFile::source) hold the same bytes; false, with the reason, when
// either cannot be read.
bool SameBytes(const std::string& sourceA, const std::string& sourceB, bool* same, std::string* error);

// The SHA-256 of a file (ReleaseFile::source) and the number of bytes hashed.
bool HashSource(const std::string& source, trust::Digest* digest, uint64_t* size, std::string* error);

// Sets a file's last-write time (ReleaseFile::source).
bool SetWriteTime(const std::string& source, FileTime time, std::string* error);

}  // namespace tarn::tool
