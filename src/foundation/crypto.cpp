#include "foundation/crypto.h"

#include <sodium.h>

namespace {

// Base64 and hexadecimal are ASCII: any other character makes the text invalid.
bool ToAscii(std::wstring_view text, std::string& ascii) {
    ascii.clear();
    ascii.reserve(text.size());
    for (wchar_t c : text) {
        if (c == 0 || c > 0x7F) return false;
        ascii.push_back(static_cast<char>(c));
    }
    return true;
}

}  // namespace

bool CryptoReady() {
    // sodium_init is safe to call from several threads and answers 1 once initialised.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

Sha256::Sha256() { crypto_hash_sha256_init(&state_); }

void Sha256::Update(const void* data, std::size_t size) {
    crypto_hash_sha256_update(&state_, static_cast<const unsigned char*>(data), size);
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    crypto_hash_sha256_final(&state_, digest.data());
    return digest;
}

Sha256Digest Sha256Of(const void* data, std::size_t size) {
    Sha256 hash;
    hash.Update(data, size);
    return hash.Finish();
}

bool VerifyEd25519(const Ed25519Signature& signature, const void* message, std::size_t size,
                   const Ed25519PublicKey& key) {
    if (!CryptoReady()) return false;
    return crypto_sign_ed25519_verify_detached(signature.data(), static_cast<const unsigned char*>(message), size,
                                               key.data()) == 0;
}

bool SignEd25519(const Ed25519Seed& seed, const void* message, std::size_t size, Ed25519Signature& signature) {
    if (!CryptoReady()) return false;
    unsigned char publicKey[crypto_sign_ed25519_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_ed25519_SECRETKEYBYTES];
    bool signedOk = crypto_sign_ed25519_seed_keypair(publicKey, secretKey, seed.data()) == 0 &&
                    crypto_sign_ed25519_detached(signature.data(), nullptr,
                                                 static_cast<const unsigned char*>(message), size, secretKey) == 0;
    sodium_memzero(secretKey, sizeof(secretKey));
    return signedOk;
}

bool NewEd25519Seed(Ed25519Seed& seed) {
    if (!CryptoReady()) return false;
    randombytes_buf(seed.data(), seed.size());
    return true;
}

Ed25519PublicKey PublicKeyFor(const Ed25519Seed& seed) {
    Ed25519PublicKey key{};
    unsigned char secretKey[crypto_sign_ed25519_SECRETKEYBYTES];
    if (CryptoReady()) crypto_sign_ed25519_seed_keypair(key.data(), secretKey, seed.data());
    sodium_memzero(secretKey, sizeof(secretKey));
    return key;
}

bool IsUsableEd25519Key(const Ed25519PublicKey& key) {
    if (!CryptoReady()) return false;
    // The conversion refuses small-order points, points off the curve and points outside the
    // main subgroup; its result is not needed.
    unsigned char converted[crypto_scalarmult_curve25519_BYTES];
    return crypto_sign_ed25519_pk_to_curve25519(converted, key.data()) == 0;
}

void WipeSecret(void* data, std::size_t size) { sodium_memzero(data, size); }

std::wstring HexText(const std::uint8_t* data, std::size_t size) {
    std::string text(size * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), data, size);
    text.pop_back();
    return std::wstring(text.begin(), text.end());
}

std::wstring Base64Text(const std::uint8_t* data, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating zero
    return std::wstring(text.begin(), text.end());
}

bool ParseHexBytes(std::wstring_view text, std::uint8_t* out, std::size_t size) {
    std::string ascii;
    if (text.size() != size * 2 || !ToAscii(text, ascii)) return false;
    std::size_t length = 0;
    const char* end = nullptr;
    return sodium_hex2bin(out, size, ascii.data(), ascii.size(), nullptr, &length, &end) == 0 && length == size &&
           end == ascii.data() + ascii.size();
}

bool ParseBase64Bytes(std::wstring_view text, std::vector<std::uint8_t>& out) {
    std::string ascii;
    if (!ToAscii(text, ascii)) return false;
    out.assign(ascii.size() / 4 * 3 + 3, 0);
    std::size_t length = 0;
    const char* end = nullptr;
    const bool read = sodium_base642bin(out.data(), out.size(), ascii.data(), ascii.size(), nullptr, &length, &end,
                                        sodium_base64_VARIANT_ORIGINAL) == 0 &&
                      end == ascii.data() + ascii.size();
    // The text may carry a private key: no copy of it outlives this call.
    WipeSecret(ascii.data(), ascii.size());
    if (!read) {
        WipeSecret(out.data(), out.size());
        out.clear();
        return false;
    }
    if (length < out.size()) WipeSecret(out.data() + length, out.size() - length);
    out.resize(length);
    return true;
}
