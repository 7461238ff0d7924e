#pragma once
// The publisher's own bytes of a release, for verify --against: a release folder, or a web root
// that stage wrote.
#include <map>
#include <string>
#include <vector>

#include "trust/crypto.h"

namespace tarn::tool {

class LocalCopies {
public:
    // hostDir is a folder stage wrote (it holds dedivur/update/pim), where each file lies below
    // the folders of baseUrlPath, or else a release folder. False, with the reason, when it is
    // neither or cannot be listed.
    bool Open(const std::string& hostDir, const std::string& baseUrlPath, std::string* error);

    // The SHA-256 of the local copy of a catalogue path; false, with the reason, when there is none
    // or it cannot be read.
    bool Hash(const std::string& cataloguePath, trust::Digest* digest, std::string* error) const;

    // What the output calls the folder: "release folder DIR" or "staged folder DIR".
    const std::string& Shown() const { return shown_; }

private:
    std::string dir_, shown_;
    bool staged_ = false;
    std::vector<std::string> folders_;                 // staged: the base URL's folders
    std::map<std::string, std::string> releaseFiles_;  // release folder: catalogue path -> source
};

}  // namespace tarn::tool
