#pragma once
// verify: what a server answers to the requests the updater makes, checked against the catalogue.
#include <cstdint>
#include <ostream>
#include <string>

#include "tools/update-catalogue/publish/http_client.h"
#include "trust/crypto.h"

namespace tarn::tool {

// Fetches the catalogue at catalogueUrl and its signature file, then fetches every file at the
// first base URL as the updater would. A signature file must belong to the catalogue (with
// publicKey: pass a signed updater's check; without one a missing file is fine), and then each
// body's SHA-256 must be the signed one, and its sequence at least minSequence. Prints a table to
// out and every mismatch with its reason. Returns kExitOk when everything answers as the updater
// needs, kExitFailed otherwise.
int VerifyServer(const std::string& catalogueUrl, HttpClient& http, std::ostream& out, std::ostream& err,
                 const trust::PublicKey* publicKey = nullptr, uint64_t minSequence = 0);

}  // namespace tarn::tool
