#pragma once
// A catalogue read by the updater's own parser on a platform that changes nothing on the disk.
#include <memory>
#include <string>

#include "engine/update_engine.h"
#include "platform/platform.h"
#include "tools/update-catalogue/readonly_platform.h"

namespace tarn::tool {

struct CatalogueView {
    ReadOnlyPlatform platform{SystemPlatform()};
    // About 340 KB of fixed lists: not for the stack.
    std::unique_ptr<UpdateEngine> engine = std::make_unique<UpdateEngine>(platform);
};

// Hands catalogue bytes to the engine, ready to be parsed.
void HandCatalogue(UpdateEngine& engine, const std::string& bytes);

// Parses what the engine holds; when the updater would reject it, *why says what and where.
bool ParseOrExplain(UpdateEngine& engine, std::string* why);

}  // namespace tarn::tool
