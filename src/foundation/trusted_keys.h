// The Ed25519 public keys that a client trusts for update documents: their text in the
// settings file, their resource beside the configuration record, and their short names.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/crypto.h"

// The first 8 bytes of a key's SHA-256: how a signed document names the key that signed it.
using KeyId = std::array<std::uint8_t, 8>;
KeyId KeyIdOf(const Ed25519PublicKey& key);

// RT_RCDATA resource of the keys, beside the configuration record (74), whose layout the
// keys leave alone.
inline constexpr int kTrustedKeysResourceId = 75;
// Enough for a rotation in progress and a few products; more is a mistake.
inline constexpr std::size_t kMaxTrustedKeys = 16;

class TrustedKeys {
public:
    TrustedKeys() = default;
    explicit TrustedKeys(std::vector<Ed25519PublicKey> keys) : keys_(std::move(keys)) {}
    // A resource that exists but cannot be read: the client then refuses every document
    // rather than fall back to trusting unsigned ones.
    static TrustedKeys Damaged() {
        TrustedKeys keys;
        keys.damaged_ = true;
        return keys;
    }

    // Whether this client checks signatures at all.
    bool Configured() const { return damaged_ || !keys_.empty(); }
    bool IsDamaged() const { return damaged_; }
    const std::vector<Ed25519PublicKey>& Keys() const { return keys_; }
    // The keys that `id` names (one in practice; a clash of ids is tried key by key).
    std::vector<Ed25519PublicKey> Find(const KeyId& id) const;

    // The resource: "RXK1", a 32-bit little-endian count, then the keys. A count of 0 says "no
    // keys" as plainly as a missing resource (Wine cannot remove a resource from a file).
    std::vector<std::uint8_t> Encode() const;
    // Damaged when the bytes are not exactly such a resource of up to kMaxTrustedKeys usable keys.
    static TrustedKeys Decode(const std::uint8_t* data, std::size_t size);
    // From a module's resource; none configured when the module has no such resource.
    static TrustedKeys LoadFromModule(HMODULE module);

private:
    std::vector<Ed25519PublicKey> keys_;
    bool damaged_ = false;
};

// One public key as 44 characters of base64 or 64 hexadecimal digits; false with the reason.
bool ParsePublicKey(std::wstring_view text, Ed25519PublicKey& key, std::wstring& error);
// The settings value: keys separated by commas or blanks. False with a message that names the
// faulty key by its position and says the rule; `keys` is then left as it was.
bool ParseTrustedKeysText(std::wstring_view text, std::vector<Ed25519PublicKey>& keys, std::wstring& error);
// The keys in base64, separated by ", " (what ParseTrustedKeysText reads back).
std::wstring FormatTrustedKeysText(const std::vector<Ed25519PublicKey>& keys);
