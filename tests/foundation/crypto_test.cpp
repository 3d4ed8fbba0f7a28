#include "foundation/crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

template <std::size_t N>
std::array<std::uint8_t, N> FromHex(const wchar_t* text) {
    std::array<std::uint8_t, N> bytes{};
    EXPECT_TRUE(ParseHexBytes(text, bytes.data(), N)) << text;
    return bytes;
}

// RFC 8032, section 7.1, tests 1 and 2.
struct Rfc8032Case {
    const wchar_t* seed;
    const wchar_t* publicKey;
    std::string message;
    const wchar_t* signature;
};
const Rfc8032Case kRfc8032[] = {
    {L"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     L"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     L"e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe"
     L"24655141438e7a100b"},
    {L"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     L"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "\x72",
     L"92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb430"
     L"2aeeb00d291612bb0c00"},
};

TEST(Ed25519, AgreesWithTheRfcVectors) {
    ASSERT_TRUE(CryptoReady());
    for (const Rfc8032Case& c : kRfc8032) {
        const Ed25519Seed seed = FromHex<32>(c.seed);
        const Ed25519PublicKey key = FromHex<32>(c.publicKey);
        EXPECT_EQ(PublicKeyFor(seed), key);
        Ed25519Signature signature{};
        ASSERT_TRUE(SignEd25519(seed, c.message.data(), c.message.size(), signature));
        EXPECT_EQ(HexText(signature), c.signature);
        EXPECT_TRUE(VerifyEd25519(signature, c.message.data(), c.message.size(), key));
        EXPECT_TRUE(IsUsableEd25519Key(key));
    }
}

TEST(Ed25519, RefusesAnyChange) {
    const Rfc8032Case& c = kRfc8032[1];
    const Ed25519PublicKey key = FromHex<32>(c.publicKey);
    const Ed25519Signature signature = FromHex<64>(c.signature);
    const std::string other = "\x73";
    EXPECT_FALSE(VerifyEd25519(signature, other.data(), other.size(), key));
    EXPECT_FALSE(VerifyEd25519(signature, "", 0, key));
    Ed25519Signature flipped = signature;
    flipped[10] ^= 1;
    EXPECT_FALSE(VerifyEd25519(flipped, c.message.data(), c.message.size(), key));
    EXPECT_FALSE(VerifyEd25519(signature, c.message.data(), c.message.size(), FromHex<32>(kRfc8032[0].publicKey)));
}

TEST(Ed25519, KeysThatAreNotPointsOfTheGroupAreNotUsable) {
    Ed25519PublicKey zero{};  // small order
    EXPECT_FALSE(IsUsableEd25519Key(zero));
    Ed25519PublicKey identity{};
    identity[0] = 1;  // the neutral element
    EXPECT_FALSE(IsUsableEd25519Key(identity));
    // Half of all y coordinates have no x on the curve; 2 is one of them.
    Ed25519PublicKey offCurve{};
    offCurve[0] = 2;
    EXPECT_FALSE(IsUsableEd25519Key(offCurve));
    Ed25519Seed seed{};
    ASSERT_TRUE(NewEd25519Seed(seed));
    EXPECT_TRUE(IsUsableEd25519Key(PublicKeyFor(seed)));
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    EXPECT_EQ(HexText(Sha256Of("abc", 3)), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexText(Sha256Of("", 0)), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    Sha256 pieces;
    for (char c : text) pieces.Update(&c, 1);
    EXPECT_EQ(HexText(pieces.Finish()), L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(TextForms, HexIsExactAndEitherCase) {
    std::uint8_t bytes[2] = {};
    EXPECT_TRUE(ParseHexBytes(L"aBcD", bytes, 2));
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[1], 0xCD);
    EXPECT_FALSE(ParseHexBytes(L"abc", bytes, 2));
    EXPECT_FALSE(ParseHexBytes(L"abcdef", bytes, 2));
    EXPECT_FALSE(ParseHexBytes(L"ab d", bytes, 2));
    EXPECT_FALSE(ParseHexBytes(L"abcg", bytes, 2));
    EXPECT_FALSE(ParseHexBytes(L"ab\x0663\x0664", bytes, 2));  // digits of another script
}

TEST(TextForms, Base64NeedsItsPaddingAndNothingElse) {
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(ParseBase64Bytes(L"AAEC", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_TRUE(ParseBase64Bytes(L"/w==", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xFF}));
    for (const wchar_t* bad : {L"/w", L"/w=", L"A===", L"AA AA", L"AA-_", L"AAEC\r\n", L"\x00e9" L"AAA"}) {
        EXPECT_FALSE(ParseBase64Bytes(bad, bytes)) << bad;
    }
    const std::array<std::uint8_t, 5> data = {1, 2, 3, 250, 251};
    ASSERT_TRUE(ParseBase64Bytes(Base64Text(data), bytes));
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(data.begin(), data.end()));
}

}  // namespace
