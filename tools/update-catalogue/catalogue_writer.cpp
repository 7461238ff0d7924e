#include "tools/update-catalogue/catalogue_writer.h"

namespace tarn::tool {

namespace {

void AppendU32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string EncodeCatalogue(const std::vector<std::string>& baseUrls, const std::vector<ReleaseFile>& files) {
    std::string out = "Update Info";
    AppendU32(&out, static_cast<uint32_t>(baseUrls.size()));
    for (const std::string& url : baseUrls) {
        out += url;
        out.push_back('\0');
    }
    for (const ReleaseFile& file : files) {
        out += file.path;
        out.push_back('\0');
        AppendU32(&out, static_cast<uint32_t>(file.size));
        AppendU32(&out, file.writeTime.low);
        AppendU32(&out, file.writeTime.high);
    }
    return out;
}

}  // namespace tarn::tool
