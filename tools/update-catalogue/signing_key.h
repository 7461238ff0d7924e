#pragma once
// The publisher's private key for release signatures: ECDSA P-256 in a PKCS#8 PEM file. Only the
// native build of the tool makes keys and signs (OpenSSL); the Windows build verifies only.
#include <string>

#include "trust/crypto.h"

namespace tarn::tool {

// Whether this build of the tool can make keys and sign.
bool CanSign();

// Writes a new private key to keyFile, readable by its owner only, and never over an existing
// file; *publicKey is its public half.
bool GenerateSigningKey(const std::string& keyFile, trust::PublicKey* publicKey, std::string* error);

// The public half of the private key in keyFile.
bool ReadPublicHalf(const std::string& keyFile, trust::PublicKey* publicKey, std::string* error);

// Signs a SHA-256 digest with the private key in keyFile; *publicKey is the key's public half.
bool SignDigest(const std::string& keyFile, const trust::Digest& digest, trust::Signature* signature,
                trust::PublicKey* publicKey, std::string* error);

}  // namespace tarn::tool
