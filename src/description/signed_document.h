// Signed update documents.
//
// A signed document is the document's bytes followed by one line, an XML comment after the
// root element:
//
//   <!-- RenewixSignature Ed25519 key=<16 hexadecimal digits> sig=<88 characters of base64> -->
//
// written in the document's own encoding and ended by a line break. The signature (Ed25519,
// RFC 8032) covers every byte before that comment's "<!--", and those bytes are exactly what a
// client with trusted keys parses; the comment itself is never parsed by such a client, and a
// client without keys reads it as the comment it is. `key` names the signing key (KeyIdOf).
// An expiry travels inside the signed bytes, as the root's `Expires` element.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/trusted_keys.h"
#include "foundation/xml_document.h"
#include "foundation/crypto.h"

class Log;

struct SignatureTrailer {
    std::size_t signedLength = 0;  // bytes covered: everything before the trailer
    KeyId keyId{};
    Ed25519Signature signature{};
};

enum class TrailerStatus {
    Found,
    Absent,     // the document does not end with a signature comment
    Malformed,  // it ends with one that does not follow the format
};
// Finds the signature line at the end of a document's bytes. Only the last comment counts, and
// nothing but one line break may follow it.
TrailerStatus ParseSignatureTrailer(std::string_view bytes, SignatureTrailer& trailer);

// The signature line for a document, in the document's encoding (8-bit, or UTF-16 of either
// byte order, told by its first bytes), to be appended to it.
std::string SignatureTrailerBytes(std::string_view document, const KeyId& keyId, const Ed25519Signature& signature);

enum class SignatureVerdict { Valid, Unsigned, Malformed, UnknownKey, BadSignature };
SignatureVerdict VerifyDocumentSignature(std::string_view bytes, const TrustedKeys& keys, SignatureTrailer& trailer);

// "YYYY-MM-DDTHH:MM:SSZ", always UTC, as a file time (100 ns since 1601).
bool ParseUtcTime(std::wstring_view text, std::uint64_t& fileTime);
std::wstring FormatUtcTime(std::uint64_t fileTime);
std::uint64_t CurrentUtcTime();

enum class ExpiryVerdict { NoExpiry, Current, Expired, Unreadable };
// A document is refused from its expiry time on.
ExpiryVerdict CheckExpiry(const std::optional<std::wstring>& expires, std::uint64_t now);

// The text of a file entry's SHA256 attribute as a digest: 64 hexadecimal digits.
bool ParseSha256Text(std::wstring_view text, Sha256Digest& digest);

enum class DocumentRefusal {
    None,
    DamagedKeys,
    Unsigned,
    MalformedSignature,
    UnknownKey,
    BadSignature,
    NotXml,
    Expired,
    UnreadableExpiry,
    NoExpiry,
    MissingHash,
    DocumentType,
};
// Why a document was refused, in words that follow "Update description refused: ".
std::wstring RefusalText(DocumentRefusal refusal);

struct SignedDocumentCheck {
    DocumentRefusal refusal = DocumentRefusal::None;
    std::wstring keyId;    // the signing key's id, once the signature line was read
    std::wstring expires;  // the Expires text, when the document has one
    std::wstring file;     // the file without a hash
    std::optional<XmlDocument> document;  // the signed part, parsed; only when accepted
};

// A signed document that may be read at all: the fetched bytes verified against the keys, the
// signed part parsed, not expired when it says when it expires, and a SHA-256 for every file.
// The service reads staged documents so, and judges a missing expiry itself. Throws XmlError
// as the DOM does.
SignedDocumentCheck CheckSignedDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now);

// What a client with trusted keys accepts: the same, and an expiry besides, since a validly
// signed document that never runs out could be served for ever.
SignedDocumentCheck CheckClientDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now);

// CheckClientDocument, with each refusal logged under a heading that says why.
std::optional<XmlDocument> AcceptSignedDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now,
                                                Log& log);
