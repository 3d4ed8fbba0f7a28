#include "description/signed_document.h"

#include <windows.h>

#include "foundation/xml_document.h"
#include "foundation/log.h"
#include "foundation/text.h"

namespace {

const char kTrailerStart[] = "<!-- RenewixSignature ";
const char kTrailerHead[] = "<!-- RenewixSignature Ed25519 key=";
const char kTrailerSignature[] = " sig=";
const char kTrailerEnd[] = " -->";
constexpr std::size_t kKeyIdDigits = 2 * sizeof(KeyId);
constexpr std::size_t kSignatureChars = 88;  // base64 of 64 bytes
constexpr std::size_t kTrailerLength = (sizeof(kTrailerHead) - 1) + kKeyIdDigits + (sizeof(kTrailerSignature) - 1) +
                                       kSignatureChars + (sizeof(kTrailerEnd) - 1);

// How the document's characters are stored, told by its first bytes as an XML parser does.
struct TextUnits {
    std::size_t width = 1;
    bool bigEndian = false;
};

TextUnits UnitsOf(std::string_view bytes) {
    if (bytes.size() >= 2) {
        const auto first = static_cast<unsigned char>(bytes[0]), second = static_cast<unsigned char>(bytes[1]);
        if ((first == 0xFF && second == 0xFE) || (first == '<' && second == 0)) return {2, false};
        if ((first == 0xFE && second == 0xFF) || (first == 0 && second == '<')) return {2, true};
    }
    return {};
}

unsigned UnitAt(std::string_view bytes, TextUnits units, std::size_t index) {
    if (units.width == 1) return static_cast<unsigned char>(bytes[index]);
    const auto low = static_cast<unsigned char>(bytes[2 * index + (units.bigEndian ? 1 : 0)]);
    const auto high = static_cast<unsigned char>(bytes[2 * index + (units.bigEndian ? 0 : 1)]);
    return low | (high << 8);
}

bool UnitsMatch(std::string_view bytes, TextUnits units, std::size_t at, std::string_view ascii) {
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        if (UnitAt(bytes, units, at + i) != static_cast<unsigned char>(ascii[i])) return false;
    }
    return true;
}

std::wstring Widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Whether any File of a FileList (or Directory) lacks a readable SHA256; `name` gets its path.
bool FindFileWithoutHash(const XmlNode& list, std::wstring& name) {
    for (const XmlNode& directory : list.SelectChildren(L"Directory")) {
        if (FindFileWithoutHash(directory, name)) return true;
    }
    for (const XmlNode& file : list.SelectChildren(L"File")) {
        std::wstring source, fileName, hash;
        bool hasHash = false;
        for (const auto& [key, value] : file.Attributes()) {
            if (key == L"Src") source = value;
            else if (key == L"Name") fileName = value;
            else if (key == L"SHA256") {
                hash = value;
                hasHash = true;
            }
        }
        Sha256Digest digest{};
        if (!hasHash || !ParseSha256Text(hash, digest)) {
            name = source + fileName;
            return true;
        }
    }
    return false;
}

}  // namespace

TrailerStatus ParseSignatureTrailer(std::string_view bytes, SignatureTrailer& trailer) {
    const TextUnits units = UnitsOf(bytes);
    if (bytes.size() % units.width != 0) return TrailerStatus::Absent;
    std::size_t end = bytes.size() / units.width;
    if (end > 0 && UnitAt(bytes, units, end - 1) == '\n') --end;
    if (end > 0 && UnitAt(bytes, units, end - 1) == '\r') --end;
    if (end < sizeof(kTrailerStart) - 1 + 3 || !UnitsMatch(bytes, units, end - 3, "-->")) return TrailerStatus::Absent;

    // The last comment: its "<!--" is the last one before the closing "-->". A signature line has
    // a fixed length, so a much longer final comment is some other comment.
    const std::size_t close = end - 3;
    std::size_t start = close;
    bool found = false;
    while (start > 0 && close - start < kTrailerLength + 64) {
        --start;
        if (start + 4 <= close && UnitsMatch(bytes, units, start, "<!--")) {
            found = true;
            break;
        }
    }
    if (!found || end - start < sizeof(kTrailerStart) - 1 || !UnitsMatch(bytes, units, start, kTrailerStart)) {
        return TrailerStatus::Absent;
    }
    std::string line;
    for (std::size_t i = start; i < end; ++i) {
        const unsigned c = UnitAt(bytes, units, i);
        if (c < 0x20 || c > 0x7E) return TrailerStatus::Malformed;
        line.push_back(static_cast<char>(c));
    }
    const std::string_view text(line);
    const std::size_t keyAt = sizeof(kTrailerHead) - 1;
    const std::size_t signatureAt = keyAt + kKeyIdDigits + sizeof(kTrailerSignature) - 1;
    if (text.size() != kTrailerLength || text.substr(0, keyAt) != kTrailerHead ||
        text.substr(keyAt + kKeyIdDigits, sizeof(kTrailerSignature) - 1) != kTrailerSignature ||
        text.substr(signatureAt + kSignatureChars) != kTrailerEnd) {
        return TrailerStatus::Malformed;
    }
    SignatureTrailer parsed;
    std::vector<std::uint8_t> signature;
    if (!ParseHexBytes(Widen(text.substr(keyAt, kKeyIdDigits)), parsed.keyId.data(), parsed.keyId.size()) ||
        !ParseBase64Bytes(Widen(text.substr(signatureAt, kSignatureChars)), signature) ||
        signature.size() != parsed.signature.size()) {
        return TrailerStatus::Malformed;
    }
    std::copy(signature.begin(), signature.end(), parsed.signature.begin());
    parsed.signedLength = start * units.width;
    trailer = parsed;
    return TrailerStatus::Found;
}

std::string SignatureTrailerBytes(std::string_view document, const KeyId& keyId, const Ed25519Signature& signature) {
    std::string line = kTrailerHead;
    for (wchar_t c : HexText(keyId)) line.push_back(static_cast<char>(c));
    line += kTrailerSignature;
    for (wchar_t c : Base64Text(signature)) line.push_back(static_cast<char>(c));
    line += kTrailerEnd;
    line += "\r\n";
    const TextUnits units = UnitsOf(document);
    if (units.width == 1) return line;
    std::string wide;
    for (char c : line) {
        wide.push_back(units.bigEndian ? '\0' : c);
        wide.push_back(units.bigEndian ? c : '\0');
    }
    return wide;
}

SignatureVerdict VerifyDocumentSignature(std::string_view bytes, const TrustedKeys& keys, SignatureTrailer& trailer) {
    switch (ParseSignatureTrailer(bytes, trailer)) {
        case TrailerStatus::Absent:
            return SignatureVerdict::Unsigned;
        case TrailerStatus::Malformed:
            return SignatureVerdict::Malformed;
        case TrailerStatus::Found:
            break;
    }
    const std::vector<Ed25519PublicKey> candidates = keys.Find(trailer.keyId);
    if (candidates.empty()) return SignatureVerdict::UnknownKey;
    for (const Ed25519PublicKey& key : candidates) {
        if (VerifyEd25519(trailer.signature, bytes.data(), trailer.signedLength, key)) return SignatureVerdict::Valid;
    }
    return SignatureVerdict::BadSignature;
}

bool ParseUtcTime(std::wstring_view text, std::uint64_t& fileTime) {
    static const wchar_t kPattern[] = L"0000-00-00T00:00:00Z";
    if (text.size() != std::size(kPattern) - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= L'0' && text[i] <= L'9';
        if (kPattern[i] == L'0' ? !digit : text[i] != kPattern[i]) return false;
    }
    const auto number = [&](std::size_t at, std::size_t count) {
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - L'0');
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) return false;
    fileTime = static_cast<std::uint64_t>(file.dwHighDateTime) << 32 | file.dwLowDateTime;
    return true;
}

std::wstring FormatUtcTime(std::uint64_t fileTime) {
    FILETIME file{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME time{};
    if (!FileTimeToSystemTime(&file, &time)) return {};
    return FormatText(L"%04u-%02u-%02uT%02u:%02u:%02uZ", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                      time.wSecond);
}

std::uint64_t CurrentUtcTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

ExpiryVerdict CheckExpiry(const std::optional<std::wstring>& expires, std::uint64_t now) {
    if (!expires) return ExpiryVerdict::NoExpiry;
    std::uint64_t limit = 0;
    if (!ParseUtcTime(*expires, limit)) return ExpiryVerdict::Unreadable;
    return now >= limit ? ExpiryVerdict::Expired : ExpiryVerdict::Current;
}

bool ParseSha256Text(std::wstring_view text, Sha256Digest& digest) {
    return ParseHexBytes(text, digest.data(), digest.size());
}

std::wstring RefusalText(DocumentRefusal refusal) {
    switch (refusal) {
        case DocumentRefusal::None:
            return L"";
        case DocumentRefusal::DamagedKeys:
            return L"the trusted keys built into this client are damaged";
        case DocumentRefusal::Unsigned:
            return L"it is not signed";
        case DocumentRefusal::MalformedSignature:
        case DocumentRefusal::BadSignature:
            return L"its signature does not match its content";
        case DocumentRefusal::UnknownKey:
            return L"it is signed by a key that this client does not trust";
        case DocumentRefusal::NotXml:
            return L"its signed part is not a well-formed XML document";
        case DocumentRefusal::Expired:
            return L"it has expired";
        case DocumentRefusal::UnreadableExpiry:
            return L"its expiry date cannot be read";
        case DocumentRefusal::NoExpiry:
            return L"it has no expiry";
        case DocumentRefusal::MissingHash:
            return L"a file has no SHA-256 hash";
        case DocumentRefusal::DocumentType:
            return L"it declares a document type, which could bring in content that is not signed";
    }
    return L"";
}

SignedDocumentCheck CheckSignedDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now) {
    SignedDocumentCheck check;
    const auto refuse = [&](DocumentRefusal refusal) {
        check.refusal = refusal;
        check.document.reset();
        return std::move(check);
    };
    if (keys.IsDamaged()) return refuse(DocumentRefusal::DamagedKeys);
    SignatureTrailer trailer;
    const SignatureVerdict verdict = VerifyDocumentSignature(bytes, keys, trailer);
    if (verdict == SignatureVerdict::Unsigned) return refuse(DocumentRefusal::Unsigned);
    if (verdict == SignatureVerdict::Malformed) return refuse(DocumentRefusal::MalformedSignature);
    check.keyId = HexText(trailer.keyId);
    if (verdict == SignatureVerdict::UnknownKey) return refuse(DocumentRefusal::UnknownKey);
    if (verdict == SignatureVerdict::BadSignature) return refuse(DocumentRefusal::BadSignature);

    check.document.emplace(XmlDocument::Create(L"Microsoft.XMLDOM"));
    if (!check.document->LoadBytes(bytes.data(), trailer.signedLength)) return refuse(DocumentRefusal::NotXml);
    // Default attributes or entities from a DTD would change what the signed bytes say.
    if (check.document->HasDocumentType()) return refuse(DocumentRefusal::DocumentType);
    std::optional<std::wstring> expires;
    if (XmlNode element = check.document->SelectSingle(L"Renewix/Expires")) expires = check.expires = element.Text();
    switch (CheckExpiry(expires, now)) {
        case ExpiryVerdict::Expired:
            return refuse(DocumentRefusal::Expired);
        case ExpiryVerdict::Unreadable:
            return refuse(DocumentRefusal::UnreadableExpiry);
        case ExpiryVerdict::Current:
        case ExpiryVerdict::NoExpiry:
            break;
    }
    if (XmlNode list = check.document->SelectSingle(L"Renewix/FileList")) {
        if (FindFileWithoutHash(list, check.file)) return refuse(DocumentRefusal::MissingHash);
    }
    return check;
}

SignedDocumentCheck CheckClientDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now) {
    SignedDocumentCheck check = CheckSignedDocument(bytes, keys, now);
    if (check.refusal == DocumentRefusal::None && check.expires.empty()) {
        check.refusal = DocumentRefusal::NoExpiry;
        check.document.reset();
    }
    return check;
}

std::optional<XmlDocument> AcceptSignedDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now,
                                                Log& log) {
    SignedDocumentCheck check = CheckClientDocument(bytes, keys, now);
    if (check.refusal == DocumentRefusal::None) {
        log.WriteValue(L"Signature verified, signing key", check.keyId);
        log.WriteValue(L"Valid until (UTC)", check.expires);
        return std::move(check.document);
    }
    log.WriteHeading(L"Update description refused: " + RefusalText(check.refusal));
    switch (check.refusal) {
        case DocumentRefusal::MalformedSignature:
            log.WriteEntry(L"The signature line at its end does not follow the signature format");
            break;
        case DocumentRefusal::UnknownKey:
        case DocumentRefusal::BadSignature:
            log.WriteValue(L"Signing key", check.keyId);
            break;
        case DocumentRefusal::Expired:
            log.WriteValue(L"Expired at (UTC)", check.expires);
            break;
        case DocumentRefusal::UnreadableExpiry:
            log.WriteValue(L"Expires", check.expires);
            break;
        case DocumentRefusal::MissingHash:
            log.WriteValue(L"File", check.file);
            break;
        default:
            break;
    }
    return std::nullopt;
}
