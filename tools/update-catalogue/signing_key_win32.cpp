// The Windows build of the tool verifies signatures but does not sign: keys are made and used
// with the native build, on the publisher's machine.
#include "tools/update-catalogue/signing_key.h"

namespace tarn::tool {

namespace {
constexpr char kNativeOnly[] = "this build of update-catalogue cannot sign; use the native build";
}

bool CanSign() { return false; }

bool GenerateSigningKey(const std::string&, trust::PublicKey*, std::string* error) {
    *error = kNativeOnly;
    return false;
}

bool ReadPublicHalf(const std::string&, trust::PublicKey*, std::string* error) {
    *error = kNativeOnly;
    return false;
}

bool SignDigest(const std::string&, const trust::Digest&, trust::Signature*, trust::PublicKey*, std::string* error) {
    *error = kNativeOnly;
    return false;
}

}  // namespace tarn::tool
