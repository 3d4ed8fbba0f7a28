#include "description/signed_document.h"

#include <gtest/gtest.h>

#include <random>

#include "description/description_support.h"
#include "foundation/log.h"

namespace {

const Ed25519Seed kSeedA = SeedOf(0xA1);
const Ed25519Seed kSeedB = SeedOf(0xB2);

std::string Utf16(const std::string& ascii, bool bigEndian, bool mark) {
    std::string bytes = mark ? (bigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) : std::string();
    for (char c : ascii) {
        bytes.push_back(bigEndian ? '\0' : c);
        bytes.push_back(bigEndian ? c : '\0');
    }
    return bytes;
}

const std::string kDocument = "<?xml version=\"1.0\"?>\r\n<Renewix><UpdateVersion>2.0</UpdateVersion></Renewix>\r\n";

TEST(TrustedKeys, TextInEitherFormAndEveryMistakeNamed) {
    const Ed25519PublicKey a = PublicKeyFor(kSeedA), b = PublicKeyFor(kSeedB);
    std::vector<Ed25519PublicKey> keys;
    std::wstring error;
    ASSERT_TRUE(ParseTrustedKeysText(Base64Text(a) + L",  " + HexText(b) + L"\t,", keys, error)) << WideToUtf8(error);
    EXPECT_EQ(keys, (std::vector<Ed25519PublicKey>{a, b}));
    EXPECT_EQ(FormatTrustedKeysText(keys), Base64Text(a) + L", " + Base64Text(b));
    ASSERT_TRUE(ParseTrustedKeysText(L"  ", keys, error));
    EXPECT_TRUE(keys.empty());

    keys = {a};
    struct Bad {
        std::wstring text;
        const char* says;
    };
    std::wstring notAPoint(64, L'0');
    notAPoint[1] = L'2';  // y = 2 has no point on the curve
    const Bad bad[] = {
        {Base64Text(a) + L" " + Base64Text(a), "key 2 ("},
        {HexText(a).substr(0, 63) + L"g", "hexadecimal digits"},
        {Base64Text(std::array<std::uint8_t, 31>{}), "holds 31 bytes"},
        {notAPoint, "not an Ed25519 public key"},
        {L"secret", "neither 64 hexadecimal digits nor base64"},
    };
    for (const Bad& item : bad) {
        EXPECT_FALSE(ParseTrustedKeysText(item.text, keys, error)) << WideToUtf8(item.text);
        EXPECT_NE(WideToUtf8(error).find(item.says), std::string::npos) << WideToUtf8(error);
        EXPECT_EQ(keys, (std::vector<Ed25519PublicKey>{a})) << "left as it was";
    }
    EXPECT_NE(WideToUtf8(error).find("key 1 ('secret')"), std::string::npos);
    std::wstring many;
    for (std::uint8_t i = 1; i <= kMaxTrustedKeys + 1; ++i) many += Base64Text(PublicKeyFor(SeedOf(i))) + L" ";
    EXPECT_FALSE(ParseTrustedKeysText(many, keys, error));
    EXPECT_NE(WideToUtf8(error).find("more than 16 keys"), std::string::npos);
}

TEST(TrustedKeys, ResourceRoundTripsAndAnyDamageRefusesEverything) {
    const TrustedKeys keys({PublicKeyFor(kSeedA), PublicKeyFor(kSeedB)});
    const std::vector<std::uint8_t> bytes = keys.Encode();
    ASSERT_EQ(bytes.size(), 8u + 64u);
    const TrustedKeys back = TrustedKeys::Decode(bytes.data(), bytes.size());
    EXPECT_FALSE(back.IsDamaged());
    EXPECT_EQ(back.Keys(), keys.Keys());

    std::vector<std::vector<std::uint8_t>> damaged = {bytes, bytes, bytes, bytes, {}};
    damaged[0][0] = 'X';                         // another format
    damaged[1].pop_back();                       // cut short
    damaged[2][4] = 3;                           // count says three keys
    std::fill(damaged[3].begin() + 8, damaged[3].begin() + 40, 0);
    damaged[3][8] = 2;                           // a key that is no point of the curve
    for (const auto& item : damaged) {
        const TrustedKeys decoded = TrustedKeys::Decode(item.data(), item.size());
        EXPECT_TRUE(decoded.IsDamaged());
        EXPECT_TRUE(decoded.Configured()) << "damage must never read as 'no keys'";
    }
    EXPECT_FALSE(TrustedKeys().Configured());
    // Written by a tool that was given no keys: none, as if there were no resource.
    const std::vector<std::uint8_t> none = TrustedKeys().Encode();
    EXPECT_FALSE(TrustedKeys::Decode(none.data(), none.size()).Configured());
}

TEST(SignatureTrailer, FoundInEveryEncodingTheDocumentMayUse) {
    struct Form {
        const char* name;
        std::string document;
        std::size_t width;
    };
    const Form forms[] = {
        {"UTF-8", kDocument, 1},
        {"UTF-16 LE with mark", Utf16(kDocument, false, true), 2},
        {"UTF-16 BE with mark", Utf16(kDocument, true, true), 2},
        {"UTF-16 LE without mark", Utf16(kDocument, false, false), 2},
        {"no line end before the signature", kDocument.substr(0, kDocument.size() - 2), 1},
    };
    const TrustedKeys keys({PublicKeyFor(kSeedA)});
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        const std::string bytes = SignedBytes(form.document, kSeedA);
        SignatureTrailer trailer;
        ASSERT_EQ(ParseSignatureTrailer(bytes, trailer), TrailerStatus::Found);
        EXPECT_EQ(trailer.signedLength, form.document.size());
        EXPECT_EQ(trailer.keyId, KeyIdOf(PublicKeyFor(kSeedA)));
        EXPECT_EQ(VerifyDocumentSignature(bytes, keys, trailer), SignatureVerdict::Valid);
        // The line end after the signature may go (a mirror that trims files), nothing else.
        EXPECT_EQ(ParseSignatureTrailer(bytes.substr(0, bytes.size() - 2 * form.width), trailer), TrailerStatus::Found);
        EXPECT_EQ(ParseSignatureTrailer(bytes.substr(0, bytes.size() - 3 * form.width), trailer),
                  TrailerStatus::Absent);
    }
}

TEST(SignatureTrailer, AbsentOrMalformed) {
    const std::string good = SignedBytes(kDocument, kSeedA);
    const std::size_t at = good.find("<!-- RenewixSignature");
    const std::string line = good.substr(at);
    const std::string utf16 = SignedBytes(Utf16(kDocument, false, true), kSeedA);
    SignatureTrailer trailer;
    const std::pair<std::string, TrailerStatus> cases[] = {
        {"", TrailerStatus::Absent},
        {good + "<!-- a later comment -->", TrailerStatus::Absent},
        {good + "\r\n", TrailerStatus::Absent},                         // a second line end
        {kDocument + "<!-- RenewixSignature -->", TrailerStatus::Malformed},
        {kDocument + std::string(line).replace(22, 7, "Ed448xx"), TrailerStatus::Malformed},
        {kDocument + std::string(line).replace(34, 1, "x"), TrailerStatus::Malformed},   // key id not hex
        {kDocument + std::string(line).replace(60, 1, "*"), TrailerStatus::Malformed},   // not base64
        {kDocument + std::string(line).replace(60, 1, "\xC3"), TrailerStatus::Malformed},
        {kDocument + std::string(line).erase(60, 4), TrailerStatus::Malformed},          // signature cut short
        {good.substr(1), TrailerStatus::Found},  // the trailer still parses; the signature then fails
        // A UTF-16 document whose last byte went missing.
        {utf16.substr(0, utf16.size() - 1), TrailerStatus::Absent},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(ParseSignatureTrailer(bytes, trailer), expected)
            << bytes.substr(bytes.size() > 140 ? bytes.size() - 140 : 0);
    }
}

TEST(SignatureVerdicts, EachRefusalHasItsOwnVerdict) {
    const Ed25519PublicKey a = PublicKeyFor(kSeedA), b = PublicKeyFor(kSeedB);
    const TrustedKeys both({a, b}), onlyB({b});
    const std::string byA = SignedBytes(kDocument, kSeedA), byB = SignedBytes(kDocument, kSeedB);
    SignatureTrailer trailer;
    // Rotation: a client with both keys takes either; the next client, with B alone, no longer A.
    EXPECT_EQ(VerifyDocumentSignature(byA, both, trailer), SignatureVerdict::Valid);
    EXPECT_EQ(VerifyDocumentSignature(byB, both, trailer), SignatureVerdict::Valid);
    EXPECT_EQ(VerifyDocumentSignature(byA, onlyB, trailer), SignatureVerdict::UnknownKey);
    EXPECT_EQ(VerifyDocumentSignature(kDocument, both, trailer), SignatureVerdict::Unsigned);
    EXPECT_EQ(VerifyDocumentSignature(kDocument + "<!-- RenewixSignature x -->", both, trailer),
              SignatureVerdict::Malformed);
    // Every single changed byte before the signature line fails it.
    for (std::size_t i = 0; i < kDocument.size(); ++i) {
        std::string changed = byA;
        changed[i] ^= 0x20;
        EXPECT_EQ(VerifyDocumentSignature(changed, both, trailer), SignatureVerdict::BadSignature) << i;
    }
    // B's signature under A's name.
    std::string swapped = byA;
    const std::size_t sig = swapped.find(" sig=") + 5;
    swapped.replace(sig, 88, byB.substr(byB.find(" sig=") + 5, 88));
    EXPECT_EQ(VerifyDocumentSignature(swapped, both, trailer), SignatureVerdict::BadSignature);
    // Something put between the document and its signature line.
    std::string inserted = byA;
    inserted.insert(kDocument.size(), "<!-- x -->");
    EXPECT_EQ(VerifyDocumentSignature(inserted, both, trailer), SignatureVerdict::BadSignature);
}

// Bounded fuzzing of the trailer parser: random damage to a signed document never crashes it,
// never reads outside the bytes, and is never accepted unless the signed part is untouched.
TEST(SignatureTrailer, FuzzedDocumentsNeverPassForSigned) {
    const TrustedKeys keys({PublicKeyFor(kSeedA)});
    const std::string original[] = {SignedBytes(kDocument, kSeedA), SignedBytes(Utf16(kDocument, false, true), kSeedA)};
    const std::size_t signedLength[] = {kDocument.size(), Utf16(kDocument, false, true).size()};
    std::mt19937 random(20240611);
    for (int rounds = 0; rounds < 5000; ++rounds) {
        const std::string& source = original[rounds % 2];
        std::string bytes = source;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            // Mostly near the end, where the parser looks.
            const std::size_t span = random() % 3 == 0 ? bytes.size() + 1 : 300;
            const std::size_t at = bytes.size() - std::min<std::size_t>(random() % span, bytes.size());
            switch (random() % 4) {
                case 0:
                    if (at < bytes.size()) bytes[at] = static_cast<char>(random());
                    break;
                case 1:
                    if (at < bytes.size()) bytes.erase(at, 1 + random() % 3);
                    break;
                case 2:
                    bytes.insert(at, 1, "<!- >\r\n=0aZ"[random() % 11]);
                    break;
                default:
                    bytes.resize(at);
                    break;
            }
        }
        SignatureTrailer trailer;
        if (ParseSignatureTrailer(bytes, trailer) == TrailerStatus::Found) {
            ASSERT_LE(trailer.signedLength, bytes.size());
        }
        if (VerifyDocumentSignature(bytes, keys, trailer) == SignatureVerdict::Valid) {
            ASSERT_EQ(trailer.signedLength, signedLength[rounds % 2]);
            ASSERT_EQ(bytes.substr(0, trailer.signedLength), source.substr(0, trailer.signedLength));
        }
    }
}

TEST(Expiry, StrictUtcTimesAndTheBoundary) {
    std::uint64_t time = 0;
    ASSERT_TRUE(ParseUtcTime(L"2024-02-29T23:59:59Z", time));
    EXPECT_EQ(FormatUtcTime(time), L"2024-02-29T23:59:59Z");
    ASSERT_TRUE(ParseUtcTime(L"2000-02-29T00:00:00Z", time));
    for (const wchar_t* bad : {L"2023-02-29T00:00:00Z", L"1900-02-29T00:00:00Z", L"2024-13-01T00:00:00Z",
                               L"2024-04-31T00:00:00Z", L"2024-01-01T24:00:00Z", L"2024-01-01T00:60:00Z",
                               L"2024-01-01T00:00:60Z", L"2024-01-01t00:00:00z", L"2024-01-01T00:00:00",
                               L"1600-12-31T00:00:00Z"}) {
        EXPECT_FALSE(ParseUtcTime(bad, time)) << WideToUtf8(bad);
    }
    std::uint64_t limit = 0;
    ASSERT_TRUE(ParseUtcTime(L"2030-01-01T00:00:00Z", limit));
    EXPECT_EQ(CheckExpiry(std::nullopt, limit), ExpiryVerdict::NoExpiry);
    EXPECT_EQ(CheckExpiry(L"2030-01-01T00:00:00Z", limit - 1), ExpiryVerdict::Current);
    EXPECT_EQ(CheckExpiry(L"2030-01-01T00:00:00Z", limit), ExpiryVerdict::Expired);
    EXPECT_EQ(CheckExpiry(L"", limit), ExpiryVerdict::Unreadable);
}

class AcceptSignedDocumentTest : public DocumentTest {
protected:
    AcceptSignedDocumentTest() : DocumentTest(L"accept") {}

    // The verdict and the log lines it wrote.
    bool Accept(const std::string& bytes, const TrustedKeys& keys, std::string& log) {
        std::optional<XmlDocument> document;
        log = LogOf(
            [&] { EXPECT_NO_THROW(document = AcceptSignedDocument(bytes, keys, CurrentUtcTime(), TestLog())); });
        return document && document->SelectSingle(L"Renewix/UpdateVersion");
    }

    // A document with an expiry element unless `expires` is empty.
    static std::string Document(const std::string& inside, const std::string& expires = "2999-01-01T00:00:00Z") {
        const std::string expiry = expires.empty() ? "" : "<Expires>" + expires + "</Expires>";
        return "<?xml version=\"1.0\"?>\r\n<Renewix><UpdateVersion>2.0</UpdateVersion>" + expiry + inside +
               "</Renewix>\r\n";
    }

    const TrustedKeys keys_{std::vector<Ed25519PublicKey>{PublicKeyFor(kSeedA)}};
};

// An accepted document's log names the key that signed and the expiry; a refusal's says why.
TEST_F(AcceptSignedDocumentTest, EachVerdictIsOnRecord) {
    std::string log;
    const std::string good = SignedBytes(Document(""), kSeedA);
    std::string changed = good;
    changed[changed.find("2.0")] = '9';
    const std::string hash(64, 'a');
    const std::string files = "<FileList><Directory Name=\"d\"><File Name=\"a\" SHA256=\"" + hash +
                              "\"/></Directory><File Name=\"b\" SHA256=\"" + hash + "\"/></FileList>";
    const struct {
        std::string bytes;
        TrustedKeys keys;
        std::string heading;
        bool accepted = false;
    } cases[] = {
        {SignedBytes(Document(files), kSeedA), keys_, WideToUtf8(HexText(KeyIdOf(PublicKeyFor(kSeedA)))), true},
        // The same in UTF-16, as the publishing tool may write it; the log names the expiry too.
        {SignedBytes(Utf16(Document(files), false, true), kSeedA), keys_, "2999-01-01T00:00:00Z", true},
        {Document(""), keys_, "not signed"},
        {changed, keys_, "does not match"},
        {good, TrustedKeys({PublicKeyFor(kSeedB)}), "does not trust"},
        {good, TrustedKeys::Damaged(), "damaged"},
        {SignedBytes("<Renewix><Unclosed></Renewix>", kSeedA), keys_, "well-formed"},
        {SignedBytes(Document("", "2001-01-01T00:00:00Z"), kSeedA), keys_, "expired"},
        {SignedBytes(Document("", "soon"), kSeedA), keys_, "cannot be read"},
        {SignedBytes(Document("", ""), kSeedA), keys_, "no expiry"},
        {SignedBytes(Document("<FileList><Directory Name=\"x\"><File Src=\"bin/\" Name=\"a.exe\"/></Directory>"
                              "</FileList>"),
                     kSeedA),
         keys_, "bin/a.exe"},  // the file is named
        {SignedBytes(Document("<FileList><File Name=\"b\" SHA256=\"abc\"/></FileList>"), kSeedA), keys_, "SHA-256"},
        // A DTD's default attributes would add what was never signed (and an external one would be
        // fetched from anywhere).
        {SignedBytes("<!DOCTYPE Renewix [<!ATTLIST File Register CDATA \"True\">]><Renewix/>", kSeedA), keys_,
         "document type"},
        {SignedBytes("<!DOCTYPE Renewix SYSTEM \"http://127.0.0.1:9/renewix.dtd\"><Renewix/>", kSeedA), keys_,
         "document type"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.heading);
        EXPECT_EQ(Accept(item.bytes, item.keys, log), item.accepted);
        EXPECT_NE(log.find(item.heading, item.accepted ? 0 : log.find("refused")), std::string::npos) << log;
    }
}

}  // namespace
