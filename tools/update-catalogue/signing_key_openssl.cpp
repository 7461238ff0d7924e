#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/signing_key.h"

namespace tarn::tool {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyContextFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string OpenSslError(const std::string& what) {
    const unsigned long code = ERR_get_error();
    char text[256] = "no detail";
    if (code) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return what + " (" + text + ")";
}

bool CoordinateBytes(const EVP_PKEY* key, const char* name, uint8_t* out) {
    BIGNUM* value = nullptr;
    const bool ok = EVP_PKEY_get_bn_param(key, name, &value) == 1 && BN_bn2binpad(value, out, 32) == 32;
    BN_free(value);
    return ok;
}

bool PublicHalf(const EVP_PKEY* key, trust::PublicKey* publicKey) {
    return CoordinateBytes(key, OSSL_PKEY_PARAM_EC_PUB_X, publicKey->data()) &&
           CoordinateBytes(key, OSSL_PKEY_PARAM_EC_PUB_Y, publicKey->data() + 32);
}

bool IsP256(const EVP_PKEY* key) {
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
           std::strcmp(group, "prime256v1") == 0;
}

Pkey LoadKey(const std::string& keyFile, std::string* error) {
    error->clear();
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(keyFile.c_str(), "rb"));
    if (!file) {
        *error = std::string("cannot open the key: ") + std::strerror(errno);
        return nullptr;
    }
    Pkey key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (!key) {
        *error = OpenSslError("not a private key in PEM form");
        return nullptr;
    }
    if (!IsP256(key.get())) {
        *error = "not an ECDSA P-256 key (make one with 'update-catalogue keygen')";
        return nullptr;
    }
    return key;
}

}  // namespace

bool CanSign() { return true; }

bool GenerateSigningKey(const std::string& keyFile, trust::PublicKey* publicKey, std::string* error) {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key || !PublicHalf(key.get(), publicKey)) {
        *error = OpenSslError("cannot make a key");
        return false;
    }
    // O_EXCL: an existing key is never overwritten; the mode is set again in case of an odd umask.
    const int fd = ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        *error = errno == EEXIST ? std::string("exists already; a key file is never overwritten")
                                 : std::string("cannot create: ") + std::strerror(errno);
        return false;
    }
    std::unique_ptr<std::FILE, FileClose> file(::fdopen(fd, "w"));
    if (!file) {
        ::close(fd);
        ::unlink(keyFile.c_str());
        *error = std::string("cannot write: ") + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 &&
              PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
              std::fflush(file.get()) == 0 && ::fsync(fd) == 0;
    if (std::fclose(file.release()) != 0) ok = false;
    if (!ok) {
        ::unlink(keyFile.c_str());
        *error = OpenSslError("cannot write the key");
        return false;
    }
    return true;
}

bool ReadPublicHalf(const std::string& keyFile, trust::PublicKey* publicKey, std::string* error) {
    Pkey key = LoadKey(keyFile, error);
    if (key && !PublicHalf(key.get(), publicKey)) *error = OpenSslError("cannot read the public key");
    return key && error->empty();
}

bool SignDigest(const std::string& keyFile, const trust::Digest& digest, trust::Signature* signature,
                trust::PublicKey* publicKey, std::string* error) {
    Pkey key = LoadKey(keyFile, error);
    if (!key) return false;
    std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree> context(EVP_PKEY_CTX_new(key.get(), nullptr));
    unsigned char der[80];
    size_t derLength = sizeof der;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_sign(context.get(), der, &derLength, digest.data(), digest.size()) != 1) {
        *error = OpenSslError("cannot sign");
        return false;
    }
    const unsigned char* p = der;
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength));
    const BIGNUM *r = nullptr, *s = nullptr;
    if (sig) ECDSA_SIG_get0(sig, &r, &s);
    const bool ok = sig && BN_bn2binpad(r, signature->data(), 32) == 32 &&
                    BN_bn2binpad(s, signature->data() + 32, 32) == 32 && PublicHalf(key.get(), publicKey);
    ECDSA_SIG_free(sig);
    if (!ok) *error = OpenSslError("cannot read the signature back");
    return ok;
}

}  // namespace tarn::tool
