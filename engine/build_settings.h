#pragma once
// The settings compiled into this build (UPDATE_CATALOGUE_URL, UPDATE_PUBLIC_KEY,
// UPDATE_PARALLEL_TRANSFERS, UPDATE_BLOCK_MAPS). Only build_settings.cpp sees the generated header, so a test build
// of the updater with other settings recompiles that one file.
namespace tarn {

const char* BuiltInCatalogueUrl();
// The public key text that release signatures must verify with; empty when releases are not
// signed.
const char* BuiltInPublicKey();
// How many transfers the download worker keeps in flight, 1 to 8; 1 is one request at a time.
int BuiltInParallelTransfers();
// Whether a file with a block map beside it on the server is fetched block by block
// (UPDATE_BLOCK_MAPS).
bool BuiltInBlockMaps();

}  // namespace tarn
