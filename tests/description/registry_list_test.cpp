#include "description/registry_list.h"

#include <gtest/gtest.h>

#include <cstring>

#include "description/description_support.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/registry_operations.h"
#include "install/registry_changes.h"

namespace {

const wchar_t kBase[] = L"Software\\RenewixTest\\Registry";

bool KeyExists(const std::wstring& subKey) {
    renewix::UniqueRegKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A value of the user's hive as an action would add it ("REG_DWORD 42"), "key" for the key
// itself when `name` is null, or "<missing>".
std::wstring Look(const std::wstring& subKey, const wchar_t* name) {
    if (!name) return KeyExists(subKey) ? L"key" : L"<missing>";
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer), type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), name, RRF_RT_ANY, &type, buffer, &size) != ERROR_SUCCESS) {
        return L"<missing>";
    }
    if (type == REG_DWORD) {
        DWORD value;
        std::memcpy(&value, buffer, sizeof(value));
        return L"REG_DWORD " + std::to_wstring(value);
    }
    return (type == REG_SZ ? L"REG_SZ " : L"type " + std::to_wstring(type) + L" ") + buffer;
}

class RegistryTest : public DocumentTest {
protected:
    RegistryTest() : DocumentTest(L"registry") {}
    void SetUp() override {
        DocumentTest::SetUp();
        ASSERT_TRUE(registry_.active());
    }
    RegistryOverride registry_;
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

// Each action in turn, and what the hive then holds. A value is stored with the type the
// document names, or not at all.
TEST_F(RegistryTest, ActionsApplyInTurn) {
    const std::wstring base = kBase;
    const auto user = [&](const wchar_t* key) { return L"HKEY_CURRENT_USER\\" + base + L"\\" + key; };
    const struct {
        std::wstring path;
        const wchar_t* name;
        std::wstring action;
        int result;
        const wchar_t* lookedAt;  // below base; "" for base itself
        const wchar_t* lookedName;  // null: the key
        const wchar_t* found;
    } steps[] = {
        {user(L"Vendor"), L"Answer", L"Add REG_DWORD 42", 1, L"Vendor", L"Answer", L"REG_DWORD 42"},
        {user(L"Vendor"), L"(Default)", L"Add REG_SZ 5", 1, L"Vendor", L"", L"REG_SZ 5"},
        {user(L"Vendor"), L"Empty", L"Add REG_SZ", 1, L"Vendor", L"Empty", L"REG_SZ "},
        {user(L"Vendor"), L"Lower", L"add REG_SZ x", 1, L"Vendor", L"Lower", L"<missing>"},
        {user(L"Vendor"), L"Spaced", L"Add REG_SZ two words", 1, L"Vendor", L"Spaced", L"REG_SZ two words"},
        {user(L"Vendor"), L"Answer", L"Delete", 1, L"Vendor", L"Answer", L"<missing>"},
        {user(L"Vendor\\Gone"), L"x", L"Delete", 1, L"Vendor\\Gone", nullptr, L"<missing>"},
        {user(L"Vendor\\Made\\Deep"), L"", L"Create", 1, L"Vendor\\Made\\Deep", nullptr, L"key"},
        {user(L"Vendor"), L"", L"Remove", 1, L"Vendor", nullptr, L"<missing>"},
        {user(L"Vendor"), L"", L"Remove", 1, L"Vendor", nullptr, L"<missing>"},  // again: gone, still done
        // Removing a bare root is done, and leaves the hive as it was.
        {L"HKEY_CURRENT_USER", L"", L"Remove", 1, L"", nullptr, L"key"},
        // A path without a root names the user's hive.
        {base + L"\\Plain", L"v", L"Add REG_SZ ok", 1, L"Plain", L"v", L"REG_SZ ok"},
        {user(L"Typed"), L"Max", L"Add REG_DWORD 4294967295", 1, L"Typed", L"Max", L"REG_DWORD 4294967295"},
        {user(L"Typed"), L"Minus", L"Add REG_DWORD -1", 1, L"Typed", L"Minus", L"REG_DWORD 4294967295"},
        {user(L"Typed"), L"Lowest", L"Add REG_DWORD -2147483648", 1, L"Typed", L"Lowest", L"REG_DWORD 2147483648"},
        {user(L"Typed"), L"Blanks", L"Add REG_DWORD  7 ", 1, L"Typed", L"Blanks", L"REG_DWORD 7"},
        {user(L"Typed"), L"Kept", L"Add REG_SZ original", 1, L"Typed", L"Kept", L"REG_SZ original"},
        {user(L"Typed"), L"Kept", L"Add REG_DWORD 4294967296", 0, L"Typed", L"Kept", L"REG_SZ original"},
        {user(L"Typed"), L"Kept", L"Add REG_DWORD -2147483649", 0, L"Typed", L"Kept", L"REG_SZ original"},
        {user(L"Typed"), L"Kept", L"Add REG_DWORD 12abc", 0, L"Typed", L"Kept", L"REG_SZ original"},
        {user(L"Typed"), L"Kept", L"Add REG_DWORD", 0, L"Typed", L"Kept", L"REG_SZ original"},
        {user(L"Typed"), L"Kept", L"Add REG_EXPAND_SZ %SystemRoot%\\x", 0, L"Typed", L"Kept", L"REG_SZ original"},
        {user(L"Typed"), L"Kept", L"Add REG_BINARY 00", 0, L"Typed", L"Kept", L"REG_SZ original"},
        // A refused value creates no key either.
        {user(L"Typed\\Never"), L"v", L"Add REG_EXPAND_SZ x", 0, L"Typed\\Never", nullptr, L"<missing>"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(WideToUtf8(step.path + L" " + step.name + L" " + step.action));
        EXPECT_EQ(ApplyRegistryAction(step.path, step.name, step.action), step.result);
        const std::wstring key = *step.lookedAt ? base + L"\\" + step.lookedAt : base;
        EXPECT_WSTREQ8(step.found, Look(key, step.lookedName));
    }
}

TEST_F(RegistryTest, ListReadFromTheDocumentAndApplied) {
    const XmlNode regList = Load(
        L"<Renewix><RegList>"
        L"<Value Name=\"TopLevel\" Action=\"Create\"/>"
        L"<Key Name=\"HKEY_CURRENT_USER\"><Key Name=\"Software\"><Key Name=\"RenewixTest\"><Key Name=\"Registry\">"
        L"<Value Name=\"Version\" Action=\"Add REG_SZ 2.1.0.7\"/>"
        L"<Key Name=\"Sub\"><Value Action=\"Create\"/></Key>"
        L"<Value Name=\"Skipped\" Action=\"Add REG_SZ no\" OS=\"0\"/>"
        L"<Value Action=\"Add REG_DWORD 7\" Name=\"Count\"/>"
        L"</Key></Key></Key></Key>"
        L"<Key><Key Name=\"Software\"><Value Name=\"RenewixNoSuchValue\" Action=\"Delete\"/></Key></Key>"
        L"</RegList></Renewix>",
        L"Renewix/RegList");
    DownloadRegistry list(TestLog());
    PermissionManager::StandardFileManagement files(TestLog());
    const std::string text = LogOf([&] {
        ASSERT_EQ(list.Read(regList, L""), 1);
        EXPECT_EQ(ApplyRegistryList(list.Entries(), files, TestLog()), 1);
    });
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
    ASSERT_EQ(inner.Read(regList.SelectSingle(L"Key"), L""), 1);
    ASSERT_EQ(inner.Entries().size(), 3u);
    EXPECT_WSTREQ8(L"Software\\RenewixTest\\Registry\\Sub", inner.Entries()[0].keyPath);

    EXPECT_WSTREQ8(L"REG_SZ 2.1.0.7", Look(L"Software\\RenewixTest\\Registry", L"Version"));
    EXPECT_WSTREQ8(L"REG_DWORD 7", Look(L"Software\\RenewixTest\\Registry", L"Count"));
    EXPECT_TRUE(KeyExists(L"Software\\RenewixTest\\Registry\\Sub"));
    EXPECT_NE(text.find("\tItem skipped. Not targeted for this OS.\r\n"), std::string::npos);
    EXPECT_NE(text.find("\tUpdated registry:\tHKEY_CURRENT_USER\\Software\\RenewixTest\\Registry\r\n"), std::string::npos);
}

}  // namespace
