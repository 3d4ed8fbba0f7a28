#include "foundation/trusted_keys.h"

#include <algorithm>
#include <cstring>

namespace {

const char kResourceMagic[4] = {'R', 'X', 'K', '1'};
constexpr std::size_t kResourceHeader = 8;

bool IsSeparator(wchar_t c) { return c == L',' || c == L' ' || c == L'\t'; }

}  // namespace

KeyId KeyIdOf(const Ed25519PublicKey& key) {
    const Sha256Digest digest = Sha256Of(key.data(), key.size());
    KeyId id{};
    std::copy_n(digest.begin(), id.size(), id.begin());
    return id;
}

std::vector<Ed25519PublicKey> TrustedKeys::Find(const KeyId& id) const {
    std::vector<Ed25519PublicKey> found;
    for (const Ed25519PublicKey& key : keys_) {
        if (KeyIdOf(key) == id) found.push_back(key);
    }
    return found;
}

std::vector<std::uint8_t> TrustedKeys::Encode() const {
    std::vector<std::uint8_t> bytes(kResourceMagic, kResourceMagic + 4);
    const auto count = static_cast<std::uint32_t>(keys_.size());
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
    for (const Ed25519PublicKey& key : keys_) bytes.insert(bytes.end(), key.begin(), key.end());
    return bytes;
}

TrustedKeys TrustedKeys::Decode(const std::uint8_t* data, std::size_t size) {
    if (size < kResourceHeader || std::memcmp(data, kResourceMagic, 4) != 0) return Damaged();
    const std::uint32_t count = static_cast<std::uint32_t>(data[4]) | static_cast<std::uint32_t>(data[5]) << 8 |
                                static_cast<std::uint32_t>(data[6]) << 16 | static_cast<std::uint32_t>(data[7]) << 24;
    if (count > kMaxTrustedKeys || size != kResourceHeader + count * sizeof(Ed25519PublicKey)) {
        return Damaged();
    }
    std::vector<Ed25519PublicKey> keys(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::memcpy(keys[i].data(), data + kResourceHeader + i * sizeof(Ed25519PublicKey), sizeof(Ed25519PublicKey));
        if (!IsUsableEd25519Key(keys[i])) return Damaged();
    }
    return TrustedKeys(std::move(keys));
}

TrustedKeys TrustedKeys::LoadFromModule(HMODULE module) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(kTrustedKeysResourceId), RT_RCDATA);
    if (!info) return {};
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return Damaged();
    return Decode(static_cast<const std::uint8_t*>(data), SizeofResource(module, info));
}

bool ParsePublicKey(std::wstring_view text, Ed25519PublicKey& key, std::wstring& error) {
    Ed25519PublicKey parsed{};
    if (text.size() == 2 * parsed.size()) {
        if (!ParseHexBytes(text, parsed.data(), parsed.size())) {
            error = L"64 characters must all be hexadecimal digits";
            return false;
        }
    } else {
        std::vector<std::uint8_t> bytes;
        if (!ParseBase64Bytes(text, bytes)) {
            error = L"is neither 64 hexadecimal digits nor base64 (44 characters ending in '=')";
            return false;
        }
        if (bytes.size() != parsed.size()) {
            error = L"holds " + std::to_wstring(bytes.size()) + L" bytes; an Ed25519 public key has 32";
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), parsed.begin());
    }
    if (!IsUsableEd25519Key(parsed)) {
        error = L"is not an Ed25519 public key (mistyped or truncated?)";
        return false;
    }
    key = parsed;
    return true;
}

bool ParseTrustedKeysText(std::wstring_view text, std::vector<Ed25519PublicKey>& keys, std::wstring& error) {
    std::vector<Ed25519PublicKey> parsed;
    for (std::size_t at = 0; at < text.size();) {
        if (IsSeparator(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !IsSeparator(text[end])) ++end;
        const std::wstring_view token = text.substr(at, end - at);
        at = end;
        const std::wstring which = L"key " + std::to_wstring(parsed.size() + 1) + L" ('" + std::wstring(token) + L"') ";
        Ed25519PublicKey key{};
        std::wstring why;
        if (!ParsePublicKey(token, key, why)) {
            error = which + why;
            return false;
        }
        if (std::find(parsed.begin(), parsed.end(), key) != parsed.end()) {
            error = which + L"is given twice";
            return false;
        }
        if (parsed.size() == kMaxTrustedKeys) {
            error = L"more than " + std::to_wstring(kMaxTrustedKeys) + L" keys are given";
            return false;
        }
        parsed.push_back(key);
    }
    keys = std::move(parsed);
    return true;
}

std::wstring FormatTrustedKeysText(const std::vector<Ed25519PublicKey>& keys) {
    std::wstring text;
    for (const Ed25519PublicKey& key : keys) {
        if (!text.empty()) text += L", ";
        text += Base64Text(key);
    }
    return text;
}
