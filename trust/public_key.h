#pragma once
// The text form of a public key, as the UPDATE_PUBLIC_KEY build setting takes it and the
// publisher's tool prints it: "ecdsa-p256:" and the 64 key bytes (X || Y) as 128 lower-case hex
// digits.
#include <cstddef>
#include <string>

#include "trust/crypto.h"

namespace tarn::trust {

constexpr char kPublicKeyPrefix[] = "ecdsa-p256:";
constexpr size_t kPublicKeyTextLength = sizeof kPublicKeyPrefix - 1 + 2 * kPublicKeySize;

// False for anything but the exact form; whether the point lies on the curve is checked when a
// signature is verified.
bool ParsePublicKeyText(const std::string& text, PublicKey* key);
std::string FormatPublicKeyText(const PublicKey& key);

// Lower-case hex of any bytes, for messages and the tool's output.
std::string HexText(const uint8_t* data, size_t size);

}  // namespace tarn::trust
