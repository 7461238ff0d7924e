// libFuzzer target: any bytes as a downloaded catalogue, through the updater's parse and plan,
// against a small install folder in memory.
#include <cstring>
#include <memory>

#include "engine/update_engine.h"
#include "fuzz/memory_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tarn::fuzz::MemoryPlatform platform;
    // The largest reply the worker stores is one byte beyond the largest catalogue.
    if (size > 200000) return 0;
    auto engine = std::make_unique<tarn::UpdateEngine>(platform);
    engine->InstallDir = "C:\\Game";
    if (!engine->BuildLocalInventory()) return 0;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size + 1]);
    if (size) std::memcpy(copy.get(), data, size);
    engine->SetCatalogueData(std::move(copy), static_cast<int32_t>(size));
    if (!engine->ParseCatalogue()) return 0;
    engine->BuildUpdatePlan();
    // The plan may only hold what the catalogue holds.
    if (engine->downloadCount > engine->serverCount || engine->totalBytes < 0) __builtin_trap();
    return 0;
}
