// The native build's cryptography: OpenSSL's libcrypto.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>

#include "trust/crypto.h"

namespace tarn::trust {

namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using ParamBuild = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM, OSSL_PARAM_free>>;

class OpenSslSha256 final : public HashState {
public:
    bool Start() { return context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1; }
    bool Update(const uint8_t* data, size_t size) override {
        return EVP_DigestUpdate(context_.get(), data, size) == 1;
    }
    bool Finish(Digest* digest) override {
        unsigned length = 0;
        return EVP_DigestFinal_ex(context_.get(), digest->data(), &length) == 1 && length == kDigestSize;
    }

private:
    MdContext context_{EVP_MD_CTX_new()};
};

// An EVP key for the uncompressed point 04 || X || Y; null when it is not a point of the curve.
Pkey ImportP256(const PublicKey& key) {
    uint8_t point[1 + kPublicKeySize];
    point[0] = 0x04;
    std::copy(key.begin(), key.end(), point + 1);
    ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point))
        return nullptr;
    Params params(OSSL_PARAM_BLD_to_param(build.get()));
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return Pkey(pkey);
}

class OpenSslCrypto final : public Crypto {
public:
    std::unique_ptr<HashState> NewSha256() override {
        auto state = std::make_unique<OpenSslSha256>();
        if (!state->Start()) return nullptr;
        return state;
    }

    bool VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) override {
        Pkey pkey = ImportP256(key);
        if (!pkey) return false;
        // OpenSSL takes the DER form of (r, s).
        EcdsaSig sig(ECDSA_SIG_new());
        if (!sig) return false;
        BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
        BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
        if (!r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
            BN_free(r);
            BN_free(s);
            return false;
        }
        unsigned char* der = nullptr;
        const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
        if (derLength <= 0) return false;
        PkeyContext context(EVP_PKEY_CTX_new(pkey.get(), nullptr));
        const bool good = context && EVP_PKEY_verify_init(context.get()) == 1 &&
                          EVP_PKEY_verify(context.get(), der, static_cast<size_t>(derLength), digest.data(),
                                          digest.size()) == 1;
        OPENSSL_free(der);
        return good;
    }
};

}  // namespace

Crypto& SystemCrypto() {
    static OpenSslCrypto crypto;
    return crypto;
}

}  // namespace tarn::trust
