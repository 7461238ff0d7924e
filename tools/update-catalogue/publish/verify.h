#pragma once
// verify: what a server answers to the requests the updater makes, checked against the catalogue.
#include <cstdint>
#include <ostream>
#include <string>

#include "tools/update-catalogue/publish/http_client.h"
#include "trust/crypto.h"

namespace tarn::tool {

struct VerifyOptions {
    const trust::PublicKey* publicKey = nullptr;
    std::string filesFrom;  // a base URL to fetch the files from instead of the first one
    std::string against;    // host path of the release folder or staged folder to compare bodies with
    uint64_t minSequence = 0;  // the lowest signature sequence that passes
};

// Fetches the catalogue at catalogueUrl and its signature file, then fetches every file at the
// first base URL (or options.filesFrom) as the updater would. A signature file must belong to the
// catalogue (with a public key: pass a signed updater's check; without one a missing file is
// fine), and then each body's SHA-256 must be the signed one; with options.against, also that of
// the local copy; its sequence must be at least options.minSequence. Prints a table to out and every mismatch with its reason. Returns kExitOk when
// everything answers as the updater needs, kExitFailed otherwise.
int VerifyServer(const std::string& catalogueUrl, HttpClient& http, std::ostream& out, std::ostream& err,
                 const VerifyOptions& options = {});

}  // namespace tarn::tool
