#include "tools/update-catalogue/release_signature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "tools/update-catalogue/compare_reads.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publication.h"
#include "tools/update-catalogue/signing_key.h"
#include "trust/sha256.h"

namespace tarn::tool {

namespace {

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string SignatureFileFor(const std::string& catalogueHostPath) {
    return catalogueHostPath + trust::kSignatureFileSuffix;
}

bool HashHostFile(const std::string& hostPath, trust::Digest* digest, uint64_t* size, std::string* error) {
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(hostPath.c_str(), "rb"));
    if (!file) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    const auto read = [&file](char* buffer, size_t n) {
        const size_t got = std::fread(buffer, 1, n, file.get());
        return std::ferror(file.get()) ? -1L : static_cast<long>(got);
    };
    bool failedRead = false;
    if (HashReads(read, digest, size, &failedRead)) return true;
    *error = failedRead ? std::string("cannot read: ") + std::strerror(errno) : "cannot compute SHA-256";
    return false;
}

bool MakeSignatureFile(const std::string& catalogueBytes, const std::vector<trust::Digest>& fileHashes,
                       const std::string& keyFile, uint64_t sequence, uint64_t expires, std::string* signatureFile,
                       std::string* error, trust::PublicKey* publicKey) {
    if (fileHashes.size() > trust::kMaxSignedFiles) {
        *error = "more than 300 files";
        return false;
    }
    auto facts = std::make_unique<trust::ReleaseFacts>();
    facts->sequence = sequence;
    facts->expires = expires;
    facts->fileCount = static_cast<uint32_t>(fileHashes.size());
    for (size_t i = 0; i < fileHashes.size(); ++i) facts->fileHashes[i] = fileHashes[i];
    trust::Crypto& crypto = trust::SystemCrypto();
    if (!trust::Sha256(crypto, catalogueBytes.data(), catalogueBytes.size(), &facts->catalogueHash)) {
        *error = "cannot compute SHA-256";
        return false;
    }
    trust::PublicKey key;
    if (!ReadPublicHalf(keyFile, &key, error)) return false;
    if (!trust::KeyIdOf(crypto, key, &facts->keyId)) {
        *error = "cannot compute SHA-256";
        return false;
    }
    std::string bytes = trust::EncodeSignedPart(*facts);
    trust::Digest digest;
    trust::Signature signature;
    if (!trust::Sha256(crypto, bytes.data(), bytes.size(), &digest)) {
        *error = "cannot compute SHA-256";
        return false;
    }
    if (!SignDigest(keyFile, digest, &signature, &key, error)) return false;
    // What the updaters will check, checked here first.
    if (!crypto.VerifyP256(key, digest, signature)) {
        *error = "the new signature does not verify";
        return false;
    }
    bytes.append(reinterpret_cast<const char*>(signature.data()), signature.size());
    *signatureFile = std::move(bytes);
    if (publicKey) *publicKey = key;
    return true;
}

bool WriteCatalogueAndSignature(const std::string& catalogueHostPath, const std::string& catalogueBytes,
                                const std::string& signatureFile, std::string* error, bool dropSignature) {
#ifdef _WIN32
    const std::string sigPath = SignatureFileFor(catalogueHostPath);
    if (dropSignature && GetPathKind(sigPath) == PathKind::kFile && !DeleteHostFile(sigPath, error)) return false;
    if (signatureFile.empty()) return WriteFileReplacing(catalogueHostPath, catalogueBytes, error);
    *error = "the Windows build does not write signature files";
    return false;
#else
    Publication publication;
    publication.AddCatalogue(catalogueHostPath, catalogueBytes, signatureFile, dropSignature);
    size_t failed = 0, placed = 0;
    return publication.Write(&failed, error) && publication.PutInPlace(&placed, error);
#endif
}

bool ReadSignatureFile(const std::string& sigHostPath, trust::SignatureFile* out, std::string* error) {
    std::string data;
    if (!ReadHostFile(sigHostPath, trust::kMaxSignatureFileSize, &data, error)) return false;
    const trust::SignatureFormat format =
        trust::ParseSignatureFile(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
    if (format != trust::SignatureFormat::kOk) {
        *error = std::string("not a readable signature file: ") + trust::DescribeSignatureFormat(format);
        return false;
    }
    return true;
}

bool ReadSignedFileHashes(const std::string& sigHostPath, std::vector<trust::Digest>* hashes, std::string* error) {
    auto sig = std::make_unique<trust::SignatureFile>();
    if (!ReadSignatureFile(sigHostPath, sig.get(), error)) return false;
    hashes->assign(sig->facts.fileHashes, sig->facts.fileHashes + sig->facts.fileCount);
    return true;
}

}  // namespace tarn::tool
