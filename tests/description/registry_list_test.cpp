#include "description/registry_list.h"

#include <gtest/gtest.h>

#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/win_resource.h"
#include "foundation/registry_operations.h"
#include "install/registry_changes.h"
#include "test_support.h"

namespace {

const wchar_t kBase[] = L"Software\\RenewixTest\\Registry";

std::wstring ReadString(const std::wstring& subKey, const wchar_t* name, DWORD* type = nullptr) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer), valueType = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), name, RRF_RT_ANY, &valueType, buffer, &size) != ERROR_SUCCESS) {
        return L"<missing>";
    }
    if (type) *type = valueType;
    if (valueType == REG_DWORD) return std::to_wstring(*reinterpret_cast<DWORD*>(buffer));
    return buffer;
}

bool KeyExists(const std::wstring& subKey) {
    renewix::UniqueRegKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        ASSERT_TRUE(registry_.active());
    }
    renewix::ScopedComInit com_;
    RegistryOverride registry_;
    ScratchFolder folder_{L"registry"};
};

TEST_F(RegistryTest, RootKeys) {
    std::wstring sub;
    EXPECT_EQ(ResolveRootKey(L"HKEY_LOCAL_MACHINE\\Software\\X", &sub), HKEY_LOCAL_MACHINE);
    EXPECT_WSTREQ8(L"Software\\X", sub);
    EXPECT_EQ(ResolveRootKey(L"HKEY_CURRENT_CONFIG\\A", &sub), HKEY_CURRENT_CONFIG);
    EXPECT_EQ(ResolveRootKey(L"HKEY_USERS\\.DEFAULT", &sub), HKEY_USERS);
    EXPECT_WSTREQ8(L".DEFAULT", sub);
    EXPECT_EQ(ResolveRootKey(L"HKEY_CLASSES_ROOT", &sub), HKEY_CLASSES_ROOT);
    EXPECT_WSTREQ8(L"", sub);
    EXPECT_EQ(ResolveRootKey(L"hkey_local_machine\\Software", &sub), HKEY_CURRENT_USER);
    EXPECT_WSTREQ8(L"hkey_local_machine\\Software", sub);
    EXPECT_TRUE(IsUserRegistryPath(L"HKEY_CURRENT_USER\\Software"));
    EXPECT_TRUE(IsUserRegistryPath(L"HKEY_CURRENT_CONFIG"));
    EXPECT_FALSE(IsUserRegistryPath(L"HKEY_LOCAL_MACHINE\\Software"));
    // No root key: the user's hive in-process, so never the service's own hive through the pipe.
    EXPECT_TRUE(IsUserRegistryPath(L"Software\\Vendor"));
    EXPECT_TRUE(IsUserRegistryPath(L"hkey_local_machine\\Software"));
    EXPECT_FALSE(IsUserRegistryPath(L"HKEY_USERS\\.DEFAULT"));
}

TEST_F(RegistryTest, ActionsOnTheRegistry) {
    const std::wstring base = kBase;
    const std::wstring path = L"HKEY_CURRENT_USER\\" + base + L"\\Vendor";
    EXPECT_EQ(ApplyRegistryAction(path, L"Answer", L"Add REG_DWORD 42"), 1);
    DWORD type = 0;
    EXPECT_WSTREQ8(L"42", ReadString(base + L"\\Vendor", L"Answer", &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(ApplyRegistryAction(path, L"(Default)", L"Add REG_SZ 5"), 1);
    EXPECT_WSTREQ8(L"5", ReadString(base + L"\\Vendor", nullptr));
    EXPECT_EQ(ApplyRegistryAction(path, L"Empty", L"Add REG_SZ"), 1);
    EXPECT_WSTREQ8(L"", ReadString(base + L"\\Vendor", L"Empty"));
    EXPECT_EQ(ApplyRegistryAction(path, L"Lower", L"add REG_SZ x"), 1);
    EXPECT_WSTREQ8(L"<missing>", ReadString(base + L"\\Vendor", L"Lower"));
    EXPECT_EQ(ApplyRegistryAction(path, L"Spaced", L"Add REG_SZ two words"), 1);
    EXPECT_WSTREQ8(L"two words", ReadString(base + L"\\Vendor", L"Spaced"));

    EXPECT_EQ(ApplyRegistryAction(path, L"Answer", L"Delete"), 1);
    EXPECT_WSTREQ8(L"<missing>", ReadString(base + L"\\Vendor", L"Answer"));
    EXPECT_EQ(ApplyRegistryAction(path + L"\\Gone", L"x", L"Delete"), 1);

    EXPECT_EQ(ApplyRegistryAction(path + L"\\Made\\Deep", L"", L"Create"), 1);
    EXPECT_TRUE(KeyExists(base + L"\\Vendor\\Made\\Deep"));
    EXPECT_EQ(ApplyRegistryAction(path, L"", L"Remove"), 1);
    EXPECT_FALSE(KeyExists(base + L"\\Vendor"));
    EXPECT_EQ(ApplyRegistryAction(path, L"", L"Remove"), 1);
    // Removing a bare root is done, and leaves the hive as it was.
    EXPECT_EQ(ApplyRegistryAction(L"HKEY_CURRENT_USER", L"", L"Remove"), 1);
    EXPECT_TRUE(KeyExists(base));
    // A path without a root names the user's hive.
    EXPECT_EQ(ApplyRegistryAction(base + L"\\Plain", L"v", L"Add REG_SZ ok"), 1);
    EXPECT_WSTREQ8(L"ok", ReadString(base + L"\\Plain", L"v"));
    EXPECT_EQ(ApplyRegistryAction(base, L"v", L"Rename"), 1);
}

// A value is stored with the type the document names, or not at all.
TEST_F(RegistryTest, ValuesKeepTheirTypeAndRange) {
    const std::wstring base = kBase;
    const std::wstring path = L"HKEY_CURRENT_USER\\" + base + L"\\Typed";
    EXPECT_EQ(ApplyRegistryAction(path, L"Max", L"Add REG_DWORD 4294967295"), 1);
    EXPECT_WSTREQ8(L"4294967295", ReadString(base + L"\\Typed", L"Max"));
    EXPECT_EQ(ApplyRegistryAction(path, L"High", L"Add REG_DWORD 3000000000"), 1);
    EXPECT_WSTREQ8(L"3000000000", ReadString(base + L"\\Typed", L"High"));
    EXPECT_EQ(ApplyRegistryAction(path, L"Minus", L"Add REG_DWORD -1"), 1);
    EXPECT_WSTREQ8(L"4294967295", ReadString(base + L"\\Typed", L"Minus"));
    ASSERT_EQ(ApplyRegistryAction(path, L"Kept", L"Add REG_SZ original"), 1);
    for (const wchar_t* action : {L"Add REG_DWORD 4294967296", L"Add REG_DWORD abc", L"Add REG_DWORD 12abc",
                                  L"Add REG_DWORD", L"Add REG_EXPAND_SZ %SystemRoot%\\x", L"Add REG_BINARY 00"}) {
        EXPECT_EQ(ApplyRegistryAction(path, L"Kept", action), 0) << WideToUtf8(action);
        EXPECT_WSTREQ8(L"original", ReadString(base + L"\\Typed", L"Kept"));
    }
    // A refused value creates no key either.
    EXPECT_EQ(ApplyRegistryAction(path + L"\\Never", L"v", L"Add REG_EXPAND_SZ x"), 0);
    EXPECT_FALSE(KeyExists(base + L"\\Typed\\Never"));

    DWORD value = 0;
    EXPECT_TRUE(ReadDwordText(L" 7 ", &value));
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(ReadDwordText(L"-2147483648", &value));
    EXPECT_EQ(value, 0x80000000u);
    EXPECT_FALSE(ReadDwordText(L"-2147483649", &value));
    EXPECT_FALSE(ReadDwordText(L"", &value));
    EXPECT_FALSE(ReadDwordText(L"0x10", &value));
}

// Variables read text values of up to 511 characters, as many as promised.
TEST_F(RegistryTest, TextValuesOfFiveHundredElevenCharacters) {
    const std::wstring base = kBase;
    const std::wstring path = L"HKEY_CURRENT_USER\\" + base + L"\\Long";
    ASSERT_EQ(ApplyRegistryAction(path, L"Full", L"Add REG_SZ " + std::wstring(511, L'f')), 1);
    ASSERT_EQ(ApplyRegistryAction(path, L"Over", L"Add REG_SZ " + std::wstring(512, L'o')), 1);
    EXPECT_EQ(QueryRegistryValue(path + L"\\Full", L"REG_SZ"), std::wstring(511, L'f'));
    EXPECT_EQ(QueryRegistryValue(path + L"\\Over", L"REG_SZ"), L"");
    ASSERT_EQ(ApplyRegistryAction(path, L"Count", L"Add REG_DWORD 3000000000"), 1);
    EXPECT_EQ(QueryRegistryValue(path + L"\\Count", L"REG_DWORD"), L"-1294967296");
}

TEST_F(RegistryTest, ListReadFromTheDocumentAndApplied) {
    XmlDocument document = XmlDocument::Create();
    ASSERT_TRUE(document.LoadText(
        L"<Renewix><RegList>"
        L"<Value Name=\"TopLevel\" Action=\"Create\"/>"
        L"<Key Name=\"HKEY_CURRENT_USER\"><Key Name=\"Software\"><Key Name=\"RenewixTest\"><Key Name=\"Registry\">"
        L"<Value Name=\"Version\" Action=\"Add REG_SZ 2.1.0.7\"/>"
        L"<Key Name=\"Sub\"><Value Action=\"Create\"/></Key>"
        L"<Value Name=\"Skipped\" Action=\"Add REG_SZ no\" OS=\"0\"/>"
        L"<Value Action=\"Add REG_DWORD 7\" Name=\"Count\"/>"
        L"</Key></Key></Key></Key>"
        L"<Key><Key Name=\"Software\"><Value Name=\"RenewixNoSuchValue\" Action=\"Delete\"/></Key></Key>"
        L"</RegList></Renewix>"));
    DownloadRegistry list(TestLog());
    CapturedLog log(folder_ / L"registry.log");
    ASSERT_EQ(list.Read(document.SelectSingle(L"Renewix/RegList"), L""), 1);
    const auto& entries = list.Entries();
    ASSERT_EQ(entries.size(), 5u);
    // Keys first, depth first, then the element's own values.
    EXPECT_WSTREQ8(L"HKEY_CURRENT_USER\\Software\\RenewixTest\\Registry\\Sub", entries[0].keyPath);
    EXPECT_WSTREQ8(L"Create", entries[0].action);
    EXPECT_WSTREQ8(L"HKEY_CURRENT_USER\\Software\\RenewixTest\\Registry", entries[1].keyPath);
    EXPECT_WSTREQ8(L"Version", entries[1].valueName);
    EXPECT_WSTREQ8(L"Count", entries[2].valueName);
    EXPECT_WSTREQ8(L"Software", entries[3].keyPath);  // a Key without Name starts from nothing
    EXPECT_WSTREQ8(L"", entries[4].keyPath);
    EXPECT_WSTREQ8(L"TopLevel", entries[4].valueName);

    // Read again from an inner key: paths start below it, without the leading separator.
    DownloadRegistry inner(TestLog());
    ASSERT_EQ(inner.Read(document.SelectSingle(L"Renewix/RegList/Key"), L""), 1);
    ASSERT_EQ(inner.Entries().size(), 3u);
    EXPECT_WSTREQ8(L"Software\\RenewixTest\\Registry\\Sub", inner.Entries()[0].keyPath);

    PermissionManager::StandardFileManagement files(TestLog());
    EXPECT_EQ(ApplyRegistryList(list.Entries(), files, TestLog()), 1);
    EXPECT_WSTREQ8(L"2.1.0.7", ReadString(L"Software\\RenewixTest\\Registry", L"Version"));
    EXPECT_WSTREQ8(L"7", ReadString(L"Software\\RenewixTest\\Registry", L"Count"));
    EXPECT_TRUE(KeyExists(L"Software\\RenewixTest\\Registry\\Sub"));
    const std::string text = log.Finish();
    EXPECT_NE(text.find("\tItem skipped. Not targeted for this OS.\r\n"), std::string::npos);
    EXPECT_NE(text.find("\tUpdated registry:\tHKEY_CURRENT_USER\\Software\\RenewixTest\\Registry\r\n"), std::string::npos);
}

}  // namespace
