#include "tools/update-catalogue/catalogue_view.h"

#include <cstring>

#include "tools/update-catalogue/display_text.h"

namespace tarn::tool {

void HandCatalogue(UpdateEngine& engine, const std::string& bytes) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    engine.SetCatalogueData(std::move(copy), static_cast<int32_t>(bytes.size()));
}

bool ParseOrExplain(UpdateEngine& engine, std::string* why) {
    if (engine.ParseCatalogue()) return true;
    *why = std::string("the updater rejects this catalogue: ") + DescribeVerdict(engine.lastVerdict()) +
           ", at byte offset " + std::to_string(engine.lastVerdictOffset());
    if (engine.lastVerdict() == CatalogueVerdict::kBadHeader) {
        const size_t n = engine.catalogueLength < 11 ? static_cast<size_t>(engine.catalogueLength) : 11;
        *why += " (the file begins with \"" +
                SanitizeUtf8(std::string(reinterpret_cast<const char*>(engine.catalogueData.get()), n)) + "\", " +
                std::to_string(engine.catalogueLength) + " bytes in all)";
    }
    return false;
}

}  // namespace tarn::tool
