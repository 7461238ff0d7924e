#include "engine/update_engine.h"

#include <cstring>

#include "engine/build_settings.h"
#include "engine/release_gate.h"
#include "base/text.h"

namespace tarn {

UpdateEngine::UpdateEngine(Platform& platform, UpdateHost* host) : platform_(platform), host_(host) {
    catalogueUrl = BuiltInCatalogueUrl();
    publicKeyText = BuiltInPublicKey();

    char folder[kPathSize] = {};
    char path[kPathSize] = {};
    if (!platform_.GetCommonAppDataFolder(folder, sizeof folder)) folder[0] = '\0';
    FormatText(path, sizeof path, "%s\\%s", folder, "Updater.tmp");
    CatalogueTempFile = path;

    // GetModuleFileNameA into 256 bytes; the install folder is the text before the last
    // backslash character (a lead byte and its trail byte are one character).
    char module[256] = {};
    if (platform_.GetModulePath(module, sizeof module)) {
        if (const char* slash = FindLastBackslash(module))
            InstallDir.assign(module, static_cast<size_t>(slash - module));
        else
            InstallDir = module;
    }
    clientExe = "pimfile.exe";
}

UpdateEngine::~UpdateEngine() = default;

void UpdateEngine::SetCatalogueData(std::unique_ptr<uint8_t[]> data, int32_t length) {
    catalogueData = std::move(data);
    catalogueLength = catalogueData ? length : 0;
    catalogueCursor = catalogueData.get();
}

trust::ReleaseVerdict UpdateEngine::lastReleaseVerdict() const {
    return gate_ ? gate_->verdict() : trust::ReleaseVerdict::kMissing;
}

void UpdateEngine::ReleaseCatalogue() {
    catalogueData.reset();
    catalogueCursor = nullptr;
    catalogueLength = 0;
}

}  // namespace tarn
