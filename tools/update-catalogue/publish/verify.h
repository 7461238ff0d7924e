#pragma once
// verify: what a server answers to the requests the updater makes, checked against the catalogue.
#include <ostream>
#include <string>

#include "tools/update-catalogue/publish/http_client.h"

namespace tarn::tool {

// Fetches the catalogue at catalogueUrl, notes its signature file, then fetches every file at the
// first base URL as the updater would. Prints a table to out and every mismatch with its reason.
// Returns kExitOk when every file answers as the updater needs, kExitFailed otherwise.
int VerifyServer(const std::string& catalogueUrl, HttpClient& http, std::ostream& out, std::ostream& err);

}  // namespace tarn::tool
