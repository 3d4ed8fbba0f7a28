// The service's folder: who may change it, by descriptors written out in SDDL, and what the
// checks find on the folders Wine gives.
#include "service/service_root.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include "test_support.h"

namespace {

using PermissionManager::ChangeRights;
using PermissionManager::CheckRoot;
using PermissionManager::OwnFilePath;
using PermissionManager::RootCheck;
using PermissionManager::ServiceRoot;
using PermissionManager::WhoMayChange;

#define TI L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
// The account Wine runs every program and service as, and the descriptors it reports for
// folders of that Unix user (mode 755), of /tmp (1777) and of another Unix user.
#define WINE_USER L"S-1-5-21-0-0-0-1000"
#define WINE_FOLDER L"O:" WINE_USER L"G:S-1-5-21-0-0-0-513D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" WINE_USER L")"

struct DescriptorCase {
    const char* what;
    const wchar_t* sddl;
    const wchar_t* serviceAccount;  // null: none besides the system account
    ChangeRights expected;
};

const DescriptorCase kDescriptors[] = {
    // What an installer gives a folder under Program Files: the creator-owner entry only
    // passes to what administrators create inside.
    {"Program Files folder",
     L"O:BAG:SYD:AI(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
     L"(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;S-1-15-2-1)(A;OICIIOID;GXGR;;;S-1-15-2-1)"
     L"(A;ID;FA;;;" TI L")",
     nullptr, ChangeRights::OnlyAdministrators},
    {"owned by TrustedInstaller", L"O:" TI L"D:PAI(A;;FA;;;" TI L")(A;;FA;;;SY)(A;;0x1200a9;;;BU)", nullptr,
     ChangeRights::OnlyAdministrators},
    {"denials weigh nothing", L"O:SYD:(D;;FA;;;BU)(A;;FA;;;SY)(A;;GR;;;WD)", nullptr,
     ChangeRights::OnlyAdministrators},
    {"empty access list", L"O:BAD:", nullptr, ChangeRights::OnlyAdministrators},
    {"Wine folder, the service's account", WINE_FOLDER L"(A;OICI;0x1200a9;;;WD)", WINE_USER,
     ChangeRights::OnlyAdministrators},

    {"users may modify", L"O:BAD:(A;;FA;;;BA)(A;OICI;0x1301bf;;;BU)", nullptr, ChangeRights::OthersMayChange},
    {"authenticated users, inherited", L"O:BAD:AI(A;;FA;;;BA)(A;OICIID;0x1301bf;;;AU)", nullptr,
     ChangeRights::OthersMayChange},
    {"everyone, generic all", L"O:BAD:(A;;FA;;;BA)(A;;GA;;;WD)", nullptr, ChangeRights::OthersMayChange},
    {"interactive users may add folders", L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;IU)", nullptr,
     ChangeRights::OthersMayChange},
    {"creator owner on the folder itself", L"O:BAD:(A;;FA;;;BA)(A;;FA;;;CO)", nullptr,
     ChangeRights::OthersMayChange},
    {"creator group, for what is created", L"O:BAD:(A;;FA;;;BA)(A;OICIIO;GA;;;CG)", nullptr,
     ChangeRights::OthersMayChange},
    {"users may write what is created", L"O:BAD:(A;;FA;;;BA)(A;OICIIO;GW;;;BU)", nullptr,
     ChangeRights::OthersMayChange},
    {"users may delete", L"O:BAD:(A;;FA;;;BA)(A;;SD;;;BU)", nullptr, ChangeRights::OthersMayChange},
    {"users may change the access list", L"O:BAD:(A;;FA;;;BA)(A;;WD;;;BU)", nullptr, ChangeRights::OthersMayChange},
    {"users may take ownership", L"O:BAD:(A;;FA;;;BA)(A;;WO;;;BU)", nullptr, ChangeRights::OthersMayChange},
    {"users may delete children", L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", nullptr, ChangeRights::OthersMayChange},
    {"users may write attributes", L"O:BAD:(A;;FA;;;BA)(A;;0x100;;;BU)", nullptr, ChangeRights::OthersMayChange},
    {"users may write extended attributes", L"O:BAD:(A;;FA;;;BA)(A;;0x10;;;BU)", nullptr,
     ChangeRights::OthersMayChange},
    {"Wine's /tmp", WINE_FOLDER L"(A;OICI;0x1301ff;;;WD)", WINE_USER, ChangeRights::OthersMayChange},

    {"owned by a user", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", nullptr, ChangeRights::OwnerNotTrusted},
    {"no owner", L"D:(A;;FA;;;SY)", nullptr, ChangeRights::OwnerNotTrusted},
    {"Wine folder, no service account", WINE_FOLDER L"(A;OICI;0x1200a9;;;WD)", nullptr,
     ChangeRights::OwnerNotTrusted},
    {"Wine folder of another Unix user", L"O:ANG:S-1-5-21-0-0-0-513D:(A;OICI;FA;;;SY)(A;OICI;FA;;;AN)", WINE_USER,
     ChangeRights::OwnerNotTrusted},

    {"no access list", L"O:BA", nullptr, ChangeRights::NoAccessList},
};

TEST(ServiceRoot, WhoMayChangeReadsOwnerAndAllowEntries) {
    for (const DescriptorCase& row : kDescriptors) {
        SCOPED_TRACE(row.what);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1, &descriptor,
                                                                         nullptr))
            << GetLastError();
        renewix::UniqueLocalMem heldDescriptor(descriptor);
        PSID account = nullptr;
        if (row.serviceAccount) {
            ASSERT_TRUE(ConvertStringSidToSidW(row.serviceAccount, &account));
        }
        renewix::UniqueLocalMem heldAccount(account);
        EXPECT_EQ(WhoMayChange(descriptor, account), row.expected);
    }
    EXPECT_EQ(WhoMayChange(nullptr, nullptr), ChangeRights::NoAccessList);

    // A NULL access list, made by hand: Wine reads "D:NO_ACCESS_CONTROL" as an empty one.
    SECURITY_DESCRIPTOR open{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    PSID administrators = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"BA", &administrators));
    renewix::UniqueLocalMem heldAdministrators(administrators);
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, administrators, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_EQ(WhoMayChange(&open, nullptr), ChangeRights::NoAccessList);
}

TEST(ServiceRoot, OwnFilesAreNamesInsideTheFolder) {
    const std::wstring root = L"C:\\Program Files\\Vendor\\";
    const struct {
        const wchar_t* configured;
        const wchar_t* expected;
    } cases[] = {
        {L"", L"C:\\Program Files\\Vendor\\RenewixLog.txt"},
        {L"app.log", L"C:\\Program Files\\Vendor\\app.log"},
        {L"C:\\Program Files\\Vendor\\logs\\app.log", L"C:\\Program Files\\Vendor\\logs\\app.log"},
        {L"c:\\program files\\vendor\\app.log", L"c:\\program files\\vendor\\app.log"},
        {L"C:\\Program Files\\Vendor2\\app.log", L""},
        {L"D:\\Program Files\\Vendor\\app.log", L""},  // as long as one inside
        {L"C:\\Program Files\\Vendor\\..\\app.log", L""},
        {L"C:\\Program Files\\Vendor\\", L""},
        {L"..", L""},
        {L"CONOUT$", L""},
        {L"app.log:stream", L""},
        {L"logs/app.log", L""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(WideToUtf8(row.configured));
        EXPECT_WSTREQ8(row.expected, OwnFilePath(root, row.configured, L"RenewixLog.txt"));
    }
}

// The folder's path as it is on disk, whatever spelling opened it.
TEST(ServiceRoot, IsTheFinalPathOfTheExecutablesFolder) {
    ScratchFolder scratch(L"RootCase");
    const std::wstring folder = scratch / L"Vendor Folder";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring spelled = folder;
    for (wchar_t& c : spelled) c = static_cast<wchar_t>(towlower(c));
    const ServiceRoot root(spelled + L"\\renewix.exe");
    ASSERT_TRUE(root.valid()) << GetLastError();
    EXPECT_WSTREQ8(FullPathName(folder) + L"\\", root.path());

    const ServiceRoot missing(scratch / L"none\\renewix.exe");
    EXPECT_FALSE(missing.valid());
    EXPECT_FALSE(ServiceRoot(L"renewix.exe").valid());
}

TEST(ServiceRoot, CheckNamesWhatItCouldNotJudge) {
    ScratchFolder scratch(L"RootCheck");
    ScratchFolder elsewhere(L"RootElsewhere");
    ASSERT_TRUE(WriteFileBytes(elsewhere / L"renewix.exe", "MZ"));
    const ServiceRoot root(scratch / L"renewix.exe");
    ASSERT_TRUE(root.valid());

    const RootCheck missing = CheckRoot(root, scratch / L"renewix.exe");
    EXPECT_FALSE(missing.safe());
    EXPECT_EQ(missing.readError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_WSTREQ8(scratch / L"renewix.exe", missing.path);

    const RootCheck outside = CheckRoot(root, elsewhere / L"renewix.exe");
    EXPECT_FALSE(outside.safe());
    EXPECT_EQ(outside.readError, static_cast<DWORD>(ERROR_BAD_PATHNAME));
}

// Wine derives a descriptor from the Unix owner and mode: a folder of the Unix user with mode
// 755 belongs to the account everything runs as, and /tmp (1777) lets everyone change it.
TEST(ServiceRoot, UnderWineTheUsersOwnFolderIsSafeAndTmpIsNot) {
    if (PermissionManager::ServiceAccountBesidesSystem().empty()) GTEST_SKIP() << "Wine's descriptors only";
    ScratchFolder scratch(L"RootWine");
    ASSERT_TRUE(WriteFileBytes(scratch / L"renewix.exe", "MZ"));
    const ServiceRoot root(scratch / L"renewix.exe");
    ASSERT_TRUE(root.valid());
    const RootCheck own = CheckRoot(root, scratch / L"renewix.exe");
    EXPECT_TRUE(own.safe()) << static_cast<int>(own.rights) << " " << own.readError;

    if (!IsFolderPath(L"Z:\\tmp")) GTEST_SKIP() << "no Z:\\tmp";
    const ServiceRoot tmp(L"Z:\\tmp\\renewix.exe");
    ASSERT_TRUE(tmp.valid());
    EXPECT_WSTREQ8(L"Z:\\tmp\\", tmp.path());
    const RootCheck shared = CheckRoot(tmp, L"Z:\\tmp\\renewix.exe");
    EXPECT_EQ(shared.rights, ChangeRights::OthersMayChange);
    EXPECT_EQ(shared.readError, 0u);
    EXPECT_WSTREQ8(L"Z:\\tmp\\", shared.path);
}

}  // namespace
