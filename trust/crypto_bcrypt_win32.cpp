// The Windows build's cryptography: the system's CNG primitives in bcrypt.dll. The library is
// loaded from the system folder by its full path when first needed, so that the elevated
// updater never picks up a bcrypt.dll from its own folder, and a build without a public key
// never loads it at all.
#include <cstring>
#include <vector>

#include "platform/win32.h"
#include "trust/crypto.h"

#include <bcrypt.h>

namespace tarn::trust {

namespace {

constexpr NTSTATUS kSuccess = 0;

struct BcryptApi {
    decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
    decltype(&::BCryptGetProperty) GetProperty = nullptr;
    decltype(&::BCryptCreateHash) CreateHash = nullptr;
    decltype(&::BCryptHashData) HashData = nullptr;
    decltype(&::BCryptFinishHash) FinishHash = nullptr;
    decltype(&::BCryptDestroyHash) DestroyHash = nullptr;
    decltype(&::BCryptImportKeyPair) ImportKeyPair = nullptr;
    decltype(&::BCryptVerifySignature) VerifySignature = nullptr;
    decltype(&::BCryptDestroyKey) DestroyKey = nullptr;
    BCRYPT_ALG_HANDLE sha256 = nullptr;
    BCRYPT_ALG_HANDLE ecdsaP256 = nullptr;
    DWORD hashObjectSize = 0;

    template <typename T>
    static bool Resolve(HMODULE module, const char* name, T* function) {
        *function = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
        return *function != nullptr;
    }

    // Loads the library and opens both algorithms; the handles stay open for the process's life.
    BcryptApi() {
        char path[MAX_PATH + 16];
        const UINT n = ::GetSystemDirectoryA(path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return;
        std::strcpy(path + n, "\\bcrypt.dll");
        const HMODULE module = ::LoadLibraryA(path);
        if (!module) return;
        if (!Resolve(module, "BCryptOpenAlgorithmProvider", &OpenAlgorithmProvider) ||
            !Resolve(module, "BCryptGetProperty", &GetProperty) ||
            !Resolve(module, "BCryptCreateHash", &CreateHash) || !Resolve(module, "BCryptHashData", &HashData) ||
            !Resolve(module, "BCryptFinishHash", &FinishHash) ||
            !Resolve(module, "BCryptDestroyHash", &DestroyHash) ||
            !Resolve(module, "BCryptImportKeyPair", &ImportKeyPair) ||
            !Resolve(module, "BCryptVerifySignature", &VerifySignature) ||
            !Resolve(module, "BCryptDestroyKey", &DestroyKey))
            return;
        ULONG got = 0;
        if (OpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != kSuccess ||
            GetProperty(sha256, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&hashObjectSize),
                        sizeof hashObjectSize, &got, 0) != kSuccess)
            sha256 = nullptr;
        if (OpenAlgorithmProvider(&ecdsaP256, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != kSuccess)
            ecdsaP256 = nullptr;
    }
};

BcryptApi& Api() {
    static BcryptApi api;
    return api;
}

class BcryptSha256 final : public HashState {
public:
    explicit BcryptSha256(BcryptApi& api) : api_(api), object_(api.hashObjectSize) {}
    ~BcryptSha256() override {
        if (hash_) api_.DestroyHash(hash_);
    }
    bool Start() {
        return api_.CreateHash(api_.sha256, &hash_, object_.data(), static_cast<ULONG>(object_.size()), nullptr, 0,
                               0) == kSuccess;
    }
    bool Update(const uint8_t* data, size_t size) override {
        // BCryptHashData takes a 32-bit count.
        while (size > 0) {
            const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
            if (api_.HashData(hash_, const_cast<PUCHAR>(data), piece, 0) != kSuccess) return false;
            data += piece;
            size -= piece;
        }
        return true;
    }
    bool Finish(Digest* digest) override {
        return api_.FinishHash(hash_, digest->data(), static_cast<ULONG>(digest->size()), 0) == kSuccess;
    }

private:
    BcryptApi& api_;
    std::vector<UCHAR> object_;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};

class BcryptCrypto final : public Crypto {
public:
    std::unique_ptr<HashState> NewSha256() override {
        BcryptApi& api = Api();
        if (!api.sha256) return nullptr;
        auto state = std::make_unique<BcryptSha256>(api);
        if (!state->Start()) return nullptr;
        return state;
    }

    bool VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) override {
        BcryptApi& api = Api();
        if (!api.ecdsaP256) return false;
        UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + kPublicKeySize];
        BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kPublicKeySize / 2};
        std::memcpy(blob, &header, sizeof header);
        std::memcpy(blob + sizeof header, key.data(), kPublicKeySize);
        BCRYPT_KEY_HANDLE handle = nullptr;
        if (api.ImportKeyPair(api.ecdsaP256, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob, sizeof blob, 0) !=
            kSuccess)
            return false;
        // The signature is the raw r || s that CNG takes.
        const NTSTATUS status =
            api.VerifySignature(handle, nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
                                const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
        api.DestroyKey(handle);
        return status == kSuccess;
    }
};

}  // namespace

Crypto& SystemCrypto() {
    static BcryptCrypto crypto;
    return crypto;
}

}  // namespace tarn::trust
