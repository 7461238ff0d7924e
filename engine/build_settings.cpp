#include "engine/build_settings.h"

#include "build_config.h"

namespace tarn {

const char* BuiltInCatalogueUrl() { return UPDATE_CATALOGUE_URL; }
const char* BuiltInPublicKey() { return UPDATE_PUBLIC_KEY; }
int BuiltInParallelTransfers() { return UPDATE_PARALLEL_TRANSFERS; }
bool BuiltInBlockMaps() { return UPDATE_BLOCK_MAPS != 0; }

}  // namespace tarn
