// SHA-256 and Ed25519 (RFC 8032) through libsodium, and the text forms of keys and digests.
// Nothing here is written by hand: every primitive is libsodium's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sodium/crypto_hash_sha256.h>

using Sha256Digest = std::array<std::uint8_t, 32>;
using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Seed = std::array<std::uint8_t, 32>;  // the private key: 32 random bytes
using Ed25519Signature = std::array<std::uint8_t, 64>;

// Initialises libsodium once per process (thread-safe); false when it cannot be used.
bool CryptoReady();

// SHA-256 over data given in pieces.
class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t size);
    Sha256Digest Finish();

private:
    crypto_hash_sha256_state state_;
};

Sha256Digest Sha256Of(const void* data, std::size_t size);

// Whether `signature` is `key`'s Ed25519 signature of the message (strict: non-canonical
// signatures and small-order keys fail).
bool VerifyEd25519(const Ed25519Signature& signature, const void* message, std::size_t size,
                   const Ed25519PublicKey& key);
// The signature of a message by the key pair that `seed` makes; false only when libsodium fails.
bool SignEd25519(const Ed25519Seed& seed, const void* message, std::size_t size, Ed25519Signature& signature);
bool NewEd25519Seed(Ed25519Seed& seed);
Ed25519PublicKey PublicKeyFor(const Ed25519Seed& seed);
// A key that decodes to a point of the main subgroup (what every real public key is); a
// mistyped key almost never does.
bool IsUsableEd25519Key(const Ed25519PublicKey& key);

// Overwrites memory that held a secret, in a way the compiler cannot leave out.
void WipeSecret(void* data, std::size_t size);

// Lower-case hexadecimal and standard base64 (with padding).
std::wstring HexText(const std::uint8_t* data, std::size_t size);
std::wstring Base64Text(const std::uint8_t* data, std::size_t size);
// Exactly `size` bytes written as 2 * size hexadecimal digits, either case, nothing else.
bool ParseHexBytes(std::wstring_view text, std::uint8_t* out, std::size_t size);
// Standard base64 with its padding and nothing else; any length.
bool ParseBase64Bytes(std::wstring_view text, std::vector<std::uint8_t>& out);

template <std::size_t N>
std::wstring HexText(const std::array<std::uint8_t, N>& bytes) {
    return HexText(bytes.data(), N);
}
template <std::size_t N>
std::wstring Base64Text(const std::array<std::uint8_t, N>& bytes) {
    return Base64Text(bytes.data(), N);
}
