// Fills an update document's file sizes, CRCs, SHA-256 hashes and versions from the release
// files, seals it with its secure code through the same DOM the client reads it with, and signs
// the saved bytes with the vendor's Ed25519 key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/crypto.h"

struct PublishRequest {
    std::wstring document;       // the vendor's update document
    std::wstring releaseFolder;  // holds every file at Src + Name
    std::wstring baseCode;       // hexadecimal, as configured into the client
    std::wstring output;         // where the sealed document goes
    bool versions = false;       // also fill ByVersion from each file's version resource
    std::wstring keyFile;        // the private key that signs the document; none: unsigned
    std::wstring expires;        // "30d", "12h" or "YYYY-MM-DDTHH:MM:SSZ": the document's Expires
    bool utf16 = false;          // write UTF-16LE with a byte order mark, as clients read it over FTP
    // Earlier releases (each laid out as the release folder) that clients may have installed:
    // a changed file gets a patch from the first of them that holds it.
    std::vector<std::wstring> previous;
};

// A patch is published only when it is smaller than this share of the file: otherwise the
// whole file costs a client little more, and needs no installed base.
inline constexpr double kPatchWorthShare = 0.6;

// The document's text for a UTF-16 file: its markup under a declaration that names UTF-16.
std::wstring Utf16DocumentText(const std::wstring& markup);

// An unencrypted Ed25519 private key in PKCS#8 PEM, the form `openssl genpkey -algorithm
// ed25519` writes; false with the reason for anything else.
bool ParsePrivateKeyPem(std::string_view text, Ed25519Seed& seed, std::wstring& error);
std::string FormatPrivateKeyPem(const Ed25519Seed& seed);
bool ReadPrivateKeyFile(const std::wstring& path, Ed25519Seed& seed, std::wstring& error);
// Makes a key pair and writes the private key to a new file, never over an existing one.
bool GenerateKeyFile(const std::wstring& path, Ed25519PublicKey& publicKey, std::wstring& error);

// The expiry time for "<days>d", "<hours>h" (from `now`) or an absolute UTC time.
bool ResolveExpiry(const std::wstring& text, std::uint64_t now, std::uint64_t& expiry, std::wstring& error);

// A saved document's bytes with one signature line appended (a signature line they already
// end with is dropped first, so that republishing never signs an old signature).
std::string SignDocumentBytes(std::string bytes, const Ed25519Seed& seed);

// Checks a published document as a client carrying `keys` would; `report` says what holds.
bool VerifyPublished(const std::wstring& path, const std::vector<Ed25519PublicKey>& keys, std::wstring& report,
                     std::wstring& error);

// Strict hexadecimal: an optional 0x and one to eight digits.
bool ParseBaseCode(const std::wstring& text, std::uint32_t& code);

// True when the output was written; otherwise `error` says why and the output is as it was
// (the document is written to a temporary file that replaces the output only when complete).
// `report` lists what was filled, a line per file; `warnings` what was published but may not
// do what the vendor expects, a line each.
bool Publish(const PublishRequest& request, std::wstring& report, std::wstring& error, std::wstring& warnings);

// Whether two paths name the same file: the same full path, or (when both exist) the same file
// reached another way.
bool IsSameFile(const std::wstring& first, const std::wstring& second);
