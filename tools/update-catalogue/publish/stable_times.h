#pragma once
// Keeping the previous release's time for every file whose bytes did not change, so that clients
// fetch only what changed when a release is rebuilt with fresh modification times.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/update_types.h"
#include "tools/update-catalogue/release_scan.h"
#include "trust/crypto.h"

namespace tarn::tool {

struct PreviousFile {
    std::string path;  // catalogue path: CP949, backslashes
    uint64_t size;
    FileTime time;          // the time clients were given for it
    std::string source;     // its bytes (ReleaseFile::source form); empty when there is no copy
    bool haveHash = false;  // hash is its content's SHA-256 as a signature file states it
    trust::Digest hash{};
    std::string staleCopy{};  // how the copy served in its place differs from its catalogue (size,
                              // time, SHA-256); empty when it does not
};

struct PreviousRelease {
    std::string compared;  // what is compared and where the times come from, for the output
    std::vector<PreviousFile> files;
    int unreadable = 0;  // files of a previous folder that could not be listed (they count as changed)
};

// Reads PREVIOUS, given on the command line as:
//  - a folder that holds dedivur/update/pim (what stage wrote), or that catalogue itself: times
//    from the catalogue, bytes from the copies the folder serves, and the hashes of pim.sig when
//    it belongs to that catalogue (POSIX only);
//  - any other folder, a release folder: times and bytes from its files;
//  - any other catalogue: times from it and hashes from CATALOGUE.sig, which must belong to it;
//    without that file it is refused, since path, size and time cannot tell a changed file of the
//    same size from an unchanged one.
bool LoadPreviousRelease(const std::string& hostPath, PreviousRelease* previous, std::string* error);

struct TimeChange {
    enum Kind {
        kNew,        // no previous file of that path
        kSize,       // another size
        kBytes,      // same size, other bytes
        kRenewed,    // other bytes with the previous size and a time the updater takes for the previous one,
                     // or a served copy that is not the previous release's (note says what was found)
        kUncompared  // the bytes could not be compared; the file keeps its own time
    };
    Kind kind;
    std::string shown;
    std::string note;  // why a comparison failed
};

struct TimesOutcome {
    int kept = 0;
    std::vector<TimeChange> changes;  // in the order of the files
    std::vector<std::string> warnings;
};

// A file of the same path, size and bytes as a previous one takes that one's time, and so does
// its copy in the release folder, so that the folder matches the catalogue and can serve as
// PREVIOUS for the next release. A file with other bytes, the previous size and a time the
// updater would take for the previous one gets `now` instead (release folder too): otherwise it
// would never reach clients. Everything else keeps its own time. Without setReleaseTimes only
// the files' records change (a dry run).
void ApplyPreviousTimes(std::vector<ReleaseFile>* files, const PreviousRelease& previous, FileTime now,
                        TimesOutcome* outcome, bool setReleaseTimes = true);

// Whether the updater, with any UTC offset, could take two times for one: the same local-time
// text to two seconds, or both outside the years it can write (1980 to 2107).
bool TimesMayLookEqual(FileTime a, FileTime b);

// The current time as a file time.
FileTime CurrentFileTime();

}  // namespace tarn::tool
