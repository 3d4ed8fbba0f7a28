// What the service itself makes of a staged document: only a signed, current document that is
// not older than the last one carried out authorises anything, and only inside its folder.
#include "service/staged_document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "description/signed_document.h"
#include "foundation/paths.h"
#include "test_support.h"

namespace {

using namespace PermissionManager;

const Ed25519Seed kSeed = SeedOf(0x5A);
const std::wstring kRoot = L"C:\\Program Files\\Vendor\\";
const std::string kHashA(64, 'a'), kHashB(64, 'b'), kHashC(64, 'c');

std::string Document(const std::string& version, const std::string& expires, const std::string& lists = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Renewix>" +
           (version.empty() ? "" : "<UpdateVersion>" + version + "</UpdateVersion>") +
           (expires.empty() ? "" : "<Expires>" + expires + "</Expires>") + lists + "</Renewix>\r\n";
}

std::string File(const std::string& name, const std::string& size, const std::string& hash,
                 const std::string& extra = "") {
    return "<File Name=\"" + name + "\" Src=\"files/\" Size=\"" + size + "\" CRC=\"1A2B3C4D\" SHA256=\"" + hash +
           "\"" + extra + "/>";
}

Sha256Digest DigestOf(const std::string& hash) {
    Sha256Digest digest{};
    EXPECT_TRUE(ParseSha256Text(Utf8ToWide(hash), digest));
    return digest;
}

class StagedDocumentTest : public ::testing::Test {
protected:
    StagedAuthorisation Read(const std::string& bytes, const TrustedKeys& keys, const std::wstring& floor = L"") {
        return ReadStagedDocument(bytes, keys, now_, floor, kRoot, ApplicationDirectory(), TestLog());
    }

    void SetUp() override { ASSERT_TRUE(ParseUtcTime(L"2030-06-01T12:00:00Z", now_)); }

    renewix::ScopedComInit com_;  // the document is read with the DOM
    const TrustedKeys keys_{std::vector<Ed25519PublicKey>{PublicKeyFor(kSeed)}};
    std::uint64_t now_ = 0;
};

TEST_F(StagedDocumentTest, OnlySignedCurrentDocumentsNotBelowTheFloorAuthorise) {
    const std::string current = "2030-07-01T00:00:00Z";
    const std::string files = "<FileList><Directory Name=\"&lt;ApplicationDir&gt;\">" + File("a.dll", "10", kHashA) +
                              "</Directory></FileList>";
    const std::string good = SignedBytes(Document("2.0", current, files), kSeed);
    std::string changed = good;
    changed[changed.find("a.dll")] = 'b';
    const struct {
        const char* what;
        std::string bytes;
        TrustedKeys keys;
        std::wstring floor;
        StagedVerdict verdict;
    } rows[] = {
        {"unsigned", Document("2.0", current, files), keys_, L"", StagedVerdict::Refused},
        {"a byte changed", changed, keys_, L"", StagedVerdict::Refused},
        {"the service has no keys", good, TrustedKeys(), L"", StagedVerdict::Refused},
        {"damaged keys", good, TrustedKeys::Damaged(), L"", StagedVerdict::Refused},
        {"not XML", SignedBytes("<Renewix><UpdateVersion>2.0</Renewix>", kSeed), keys_, L"", StagedVerdict::Refused},
        {"a file without a hash",
         SignedBytes(Document("2.0", current,
                              "<FileList><Directory Name=\"x\"><File Name=\"a\" Size=\"1\"/></Directory></FileList>"),
                     kSeed),
         keys_, L"", StagedVerdict::Refused},
        {"unreadable expiry", SignedBytes(Document("2.0", "soon"), kSeed), keys_, L"", StagedVerdict::Refused},
        {"expires now", SignedBytes(Document("2.0", "2030-06-01T12:00:00Z", files), kSeed), keys_, L"",
         StagedVerdict::Expired},
        {"no expiry", SignedBytes(Document("2.0", "", files), kSeed), keys_, L"", StagedVerdict::NoExpiry},
        {"no version", SignedBytes(Document("", current, files), kSeed), keys_, L"", StagedVerdict::NoVersion},
        {"unreadable version", SignedBytes(Document("two", current, files), kSeed), keys_, L"",
         StagedVerdict::NoVersion},
        {"below the floor", good, keys_, L"2.0.1", StagedVerdict::BelowFloor},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StagedAuthorisation read;
        EXPECT_NO_THROW(read = Read(row.bytes, row.keys, row.floor));
        EXPECT_EQ(read.verdict, row.verdict);
        EXPECT_TRUE(read.allow.placements.empty());
        EXPECT_TRUE(read.allow.registry.empty());
    }
    // The document already carried out is read again for each of its steps.
    const StagedAuthorisation again = Read(good, keys_, L"2.0");
    EXPECT_EQ(again.verdict, StagedVerdict::Authorised);
    EXPECT_EQ(again.allow.placements.size(), 1u);
}

TEST_F(StagedDocumentTest, OnlyDestinationsInsideTheFolderAndMachineKeysAreKept) {
    const std::string lists =
        "<FileList><Directory Name=\"&lt;ApplicationDir&gt;\">"
        "<Directory Name=\"help\">" + File("help.zip", "30", kHashC, " Action=\"unzip\"") + "</Directory>" +
        File("data.txt", "10", kHashA) + File("probe.dll", "20", kHashB, " Register=\"True\"") +
        File("..\\..\\escape.dll", "5", kHashA) + File("RenewixFiles\\update.xml", "5", kHashA) +
        File("sub/a.txt:evil", "5", kHashA) +
        "</Directory><Directory Name=\"&lt;WinDir&gt;\">" + File("evil.dll", "40", kHashA, " Register=\"True\"") +
        "</Directory></FileList>"
        "<RegList>"
        "<Key Name=\"HKEY_LOCAL_MACHINE\"><Key Name=\"Software\"><Key Name=\"Vendor\">"
        "<Value Name=\"Version\" Action=\"Add REG_SZ 2.0\"/></Key></Key></Key>"
        "<Key Name=\"HKEY_CLASSES_ROOT\\.vnd\"><Value Name=\"(Default)\" Action=\"Add REG_SZ Vendor.File\"/></Key>"
        "<Key Name=\"HKEY_CURRENT_USER\\Software\\Vendor\"><Value Name=\"User\" Action=\"Add REG_SZ x\"/></Key>"
        "<Key Name=\"HKEY_USERS\\S-1-5-18\\Software\\Vendor\"><Value Name=\"Run\" Action=\"Add REG_SZ x\"/></Key>"
        "<Key Name=\"HKEY_USERS\\.DEFAULT\\Software\\Vendor\"><Value Name=\"Run\" Action=\"Add REG_SZ x\"/></Key>"
        "<Key Name=\"Software\\Vendor\"><Value Name=\"Bare\" Action=\"Add REG_SZ x\"/></Key>"
        "</RegList>";
    const StagedAuthorisation read = Read(SignedBytes(Document("2.0", "2030-07-01T00:00:00Z", lists), kSeed), keys_);
    ASSERT_EQ(read.verdict, StagedVerdict::Authorised);
    EXPECT_WSTREQ8(L"2.0", read.version);

    // Sorted by destination: the order of the list is not what is authorised.
    std::vector<std::tuple<std::wstring, Sha256Digest, std::uint64_t, bool, bool>> placements;
    for (const Placement& p : read.allow.placements) {
        placements.emplace_back(p.destination, p.sha256, p.size, p.registerServer, p.unzip);
    }
    std::sort(placements.begin(), placements.end());
    EXPECT_EQ(placements, (decltype(placements){{kRoot + L"data.txt", DigestOf(kHashA), 10, false, false},
                                                {kRoot + L"help\\help.zip", DigestOf(kHashC), 30, false, true},
                                                {kRoot + L"probe.dll", DigestOf(kHashB), 20, true, false}}));
    EXPECT_TRUE(read.allow.archiveTargets.empty());
    std::vector<std::tuple<std::wstring, std::wstring, std::wstring>> registry;
    for (const RegistryGrant& g : read.allow.registry) registry.emplace_back(g.keyPath, g.valueName, g.action);
    EXPECT_EQ(registry, (decltype(registry){{L"HKEY_LOCAL_MACHINE\\Software\\Vendor", L"Version", L"Add REG_SZ 2.0"},
                                            {L"HKEY_CLASSES_ROOT\\.vnd", L"(Default)", L"Add REG_SZ Vendor.File"}}));
}

}  // namespace
