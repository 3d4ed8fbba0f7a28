// The permission manager's rules: which paths it looks at, and each request decided from the
// request, its folder and what a verified document lists. Pure, so every row is a plain call.
#include "service/request_policy.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace PermissionManager;

const std::wstring kRoot = L"C:\\Program Files\\Vendor\\";
const std::wstring kStaging = kRoot + L"RenewixFiles\\";
const ServiceScope kScope{kRoot, kRoot + L"renewix.log", kRoot + L"status.xml"};

Wire::Request Open(DWORD access, DWORD disposition, const std::wstring& path, DWORD flags = 0) {
    return Wire::OpenRequest{access, disposition, flags, path};
}
Wire::Request OnPath(Wire::Opcode opcode, const std::wstring& path) { return Wire::PathRequest{opcode, path}; }
Wire::Request Move(const std::wstring& from, const std::wstring& to) { return Wire::MoveRequest{from, to}; }
Wire::Request Unzip(const std::wstring& archive, const std::wstring& folder) {
    return Wire::UnzipRequest{archive, folder};
}
Wire::Request Registry(const std::wstring& key, const std::wstring& value = L"Version",
                       const std::wstring& action = L"Add REG_SZ 2.0") {
    return Wire::UpdateRegistryRequest{key, value, action};
}

TEST(AdmitPath, OnlyPlainFullPathsInsideTheFolder) {
    const std::wstring admitted[] = {
        kStaging + L"UpdateFile1", kStaging + L"backup\\app.exe", kRoot + L"help\\de\\index.html", kRoot,
        L"C:\\Program Files\\Vendor", L"c:\\program files\\VENDOR\\App.exe", kRoot + L"\u30D8\u30EB\u30D7.chm",
        // Near misses of the refused forms are plain names.
        kRoot + L"COM10.txt", kRoot + L"console.log", kRoot + L"a~b.txt", kRoot + L"a.b.c"};
    const std::wstring refused[] = {
        L"\\\\host\\share\\x", L"\\\\?\\C:\\Program Files\\Vendor\\x", L"\\\\.\\C:\\Program Files\\Vendor\\x",
        // Separators an ANSI conversion would make of other characters.
        L"\uFF3C\uFF3Chost\uFF3Cshare\uFF3Cx", L"C:\uFF3CProgram Files\uFF3CVendor\uFF3Cx",
        L"\u00A5\u00A5host\\share\\x", kRoot + L"a\uFF3C..\uFF3C..\uFF3Cx", kRoot + L"a\u2215b",
        kRoot + L"a.txt:evil", kRoot + L"a.txt::$DATA", kRoot + L"COM1", kRoot + L"nul.txt", kRoot + L"COM\u00B9",
        kRoot + L"lpt\u00B3.log", kRoot + L"CONOUT$", kRoot + L"aux\\x.txt",
        // The system drops blanks before the extension too: these open COM1 and NUL.
        kRoot + L"COM1 .log", kRoot + L"nul .txt",
        kRoot + L"a.txt.", kRoot + L"a.txt ", kRoot + L"help.\\x", kRoot + L"..\\Other\\x", kRoot + L"help\\..\\..\\x",
        kRoot + L".", kRoot + L"help\\\\x", L"C:\\Program Files\\Vendor2\\x", L"C:\\Program Files\\",
        L"D:\\Program Files\\Vendor\\x", L"C:/Program Files/Vendor/x", kRoot + L"help/x", L"C:\\PROGRA~1\\Vendor\\x",
        kRoot + L"LONGNA~1.TXT", L"Vendor\\x", L"\\Program Files\\Vendor\\x", L"C:x", L"C:", L"",
        L"1:\\Program Files\\Vendor\\x", kRoot + L"a\tb", kRoot + L"a\x1F", kRoot + std::wstring(L"a\0b", 3),
        kRoot + L"a*.txt", kRoot + L"a?.txt", kRoot + L"a|b", kRoot + L"<a>"};
    for (const std::wstring& path : admitted) {
        SCOPED_TRACE(WideToUtf8(path));
        EXPECT_EQ(AdmitPath(path, kRoot), std::optional(path));
    }
    for (const std::wstring& path : refused) {
        SCOPED_TRACE(WideToUtf8(path));
        EXPECT_FALSE(AdmitPath(path, kRoot));
    }
    EXPECT_FALSE(AdmitPath(kRoot + L"x", L""));
}

TEST(Decide, WithoutADocumentOnlyStagingAndOwnFilesChange) {
    const std::wstring product = kRoot + L"data.txt";
    const struct {
        const char* what;
        Wire::Request request;
        bool allowed;
        bool needsDocument = false;
    } rows[] = {
        {"write in staging", Open(GENERIC_WRITE, CREATE_ALWAYS, kStaging + L"UpdateFile1"), true},
        {"read in the product", Open(GENERIC_READ, OPEN_EXISTING, product), true},
        {"read and write in the product", Open(GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, product), false},
        {"create in the product", Open(GENERIC_READ, CREATE_ALWAYS, product), false},
        {"read outside", Open(GENERIC_READ, OPEN_EXISTING, L"C:\\windows\\win.ini"), false},
        {"delete access", Open(DELETE, OPEN_EXISTING, kStaging + L"x"), false},
        {"owner change", Open(GENERIC_READ | WRITE_OWNER, OPEN_EXISTING, kStaging + L"x"), false},
        {"delete on close", Open(GENERIC_WRITE, CREATE_ALWAYS, kStaging + L"x", FILE_FLAG_DELETE_ON_CLOSE), false},
        {"disposition 0", Open(GENERIC_WRITE, 0, kStaging + L"x"), false},
        {"disposition 6", Open(GENERIC_WRITE, TRUNCATE_EXISTING + 1, kStaging + L"x"), false},
        {"write the log", Open(GENERIC_WRITE, OPEN_ALWAYS, kScope.logFile), true},
        {"write the status file", Open(GENERIC_WRITE, CREATE_ALWAYS, L"C:\\PROGRAM FILES\\Vendor\\Status.xml"), true},
        {"write beside the log", Open(GENERIC_WRITE, CREATE_ALWAYS, kScope.logFile + L".old"), false},
        {"write the status file's companion",
         Open(GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, kScope.statusFile + L".new", FILE_FLAG_WRITE_THROUGH), true},
        {"write the log's companion", Open(GENERIC_WRITE, CREATE_ALWAYS, kScope.logFile + L".new"), false},
        {"move in staging", Move(kStaging + L"UpdateFile1", kStaging + L"sub\\a.dll"), true},
        {"move in the product", Move(product, kRoot + L"data.old"), false},
        {"move the log away", Move(kScope.logFile, kStaging + L"x"), false},
        {"companion over the status file", Move(kScope.statusFile + L".new", kScope.statusFile), true},
        {"status file over its companion", Move(kScope.statusFile, kScope.statusFile + L".new"), false},
        {"log over the status file", Move(kScope.logFile, kScope.statusFile), false},
        {"companion over the log", Move(kScope.statusFile + L".new", kScope.logFile), false},
        {"staging over the status file", Move(kStaging + L"x", kScope.statusFile), false},
        {"move out of R", Move(kStaging + L"x", L"C:\\windows\\x.dll"), false},
        {"place", Move(kStaging + L"UpdateFile1", product), false, true},
        {"set aside", Move(product, kStaging + L"backup1"), false, true},
        {"delete tree in staging", OnPath(Wire::kDeleteTree, kStaging + L"old"), true},
        {"delete tree of the product", OnPath(Wire::kDeleteTree, kRoot + L"help"), false},
        {"delete in staging", OnPath(Wire::kDelete, kStaging + L"x"), true},
        {"delete in the product", OnPath(Wire::kDelete, product), false, true},
        {"delete the status file", OnPath(Wire::kDelete, kScope.statusFile), true},
        {"delete its companion", OnPath(Wire::kDelete, kScope.statusFile + L".new"), true},
        {"delete the log", OnPath(Wire::kDelete, kScope.logFile), false},
        {"attributes in the product", OnPath(Wire::kGetAttributes, product), true},
        {"folders in staging", OnPath(Wire::kMakeDirectories, kStaging + L"a\\b"), true},
        {"folders in the product", OnPath(Wire::kMakeDirectories, kRoot + L"help"), false, true},
        {"query the registry", Wire::QueryRegistryRequest{L"HKEY_LOCAL_MACHINE\\Software\\Vendor", L"REG_SZ"}, false},
        {"machine registry", Registry(L"HKEY_LOCAL_MACHINE\\Software\\Vendor"), false, true},
        {"user registry", Registry(L"HKEY_CURRENT_USER\\Software\\Vendor"), false},
        {"unzip", Unzip(kStaging + L"UpdateFile3", kRoot + L"help\\"), false, true},
        {"register", OnPath(Wire::kRegisterServer, kRoot + L"probe.dll"), false, true},
        {"register from staging", OnPath(Wire::kRegisterServer, kStaging + L"probe.dll"), false},
        {"unregister", OnPath(Wire::kUnregisterServer, kRoot + L"probe.dll"), false, true},
        {"unregister in staging", OnPath(Wire::kUnregisterServer, kStaging + L"probe.dll"), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Decision decision = Decide(row.request, kScope, nullptr);
        EXPECT_EQ(decision.allowed, row.allowed);
        EXPECT_EQ(decision.needsDocument, row.needsDocument);
    }
}

TEST(Decide, WithADocumentOnlyWhatItListsAndOnlyOnMachineKeys) {
    AllowList allow;
    allow.placements = {
        {kRoot + L"data.txt", Sha256Digest{1}, 10, false},
        {kRoot + L"probe.dll", Sha256Digest{2}, 20, true},
        {kRoot + L"help\\help.zip", Sha256Digest{3}, 30, false, true},
        {kRoot + L"top.zip", Sha256Digest{4}, 40, false, true},
        {kRoot + L"plain.dll", Sha256Digest{5}, 50, false},
    };
    allow.archiveTargets = {kRoot + L"help\\index.html"};
    // Listed too: their spelling alone must refuse them.
    const std::wstring refusedKeys[] = {
        L"HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Vendor", L"HKEY_USERS\\.DEFAULT\\Software\\Vendor",
        L"HKEY_USERS\\S-1-5-18\\Software\\Vendor", L"HKEY_CURRENT_USER\\Software\\Vendor", L"HKLM\\Software\\Vendor",
        L"Software\\Vendor", L"HKEY_LOCAL_MACHINE2\\Vendor", L"HKEY_LOCAL_MACHINE\\", L"HKEY_LOCAL_MACHINE",
        L"HKEY_LOCAL_MACHINE\\\\Software", L"HKEY_LOCAL_MACHINE\\Software\\\\Vendor",
        L"HKEY_LOCAL_MACHINE\\Software\\Vendor\\", L"hkey_local_machine\\Software\\Vendor",
        L"HKEY_LOCAL_MACHINE\\Software\\Ven\ndor"};
    const std::wstring key = L"HKEY_LOCAL_MACHINE\\Software\\Vendor";
    allow.registry.push_back({key, L"Version", L"Add REG_SZ 2.0"});
    allow.registry.push_back({L"HKEY_CLASSES_ROOT\\.vnd", L"", L"Add REG_SZ Vendor.File"});
    for (const std::wstring& refused : refusedKeys) allow.registry.push_back({refused, L"Version", L"Add REG_SZ 2.0"});

    using enum ContentCheck;
    constexpr int kNone = -1;
    const std::wstring staged = kStaging + L"UpdateFile1";
    const struct {
        const char* what;
        Wire::Request request;
        bool allowed;
        ContentCheck check = None;
        int placement = kNone;
    } rows[] = {
        {"place", Move(staged, kRoot + L"data.txt"), true, StagedPlacement, 0},
        {"place, other case", Move(staged, L"C:\\PROGRAM FILES\\VENDOR\\DATA.TXT"), true, StagedPlacement, 0},
        {"put back an archive's file", Move(staged, kRoot + L"help\\index.html"), true, StagedPlacement, kNone},
        {"place unlisted", Move(staged, kRoot + L"other.txt"), false},
        {"place outside R", Move(staged, L"C:\\windows\\data.txt"), false},
        {"place the staging folder", Move(kStaging, kRoot + L"data.txt"), false},
        {"set aside", Move(kRoot + L"data.txt", kStaging + L"backup1"), true, SetAside, 0},
        {"set aside an archive's file", Move(kRoot + L"help\\index.html", kStaging + L"backup2"), true,
         SetAside, kNone},
        {"set aside unlisted", Move(kRoot + L"other.txt", kStaging + L"backup3"), false},
        {"listed to listed", Move(kRoot + L"data.txt", kRoot + L"probe.dll"), false},
        {"listed, opened for writing", Open(GENERIC_WRITE, OPEN_EXISTING, kRoot + L"data.txt"), false},
        {"unzip", Unzip(kStaging + L"UpdateFile3", kRoot + L"help\\"), true, ListedArchive, 2},
        {"unzip, no separator", Unzip(kStaging + L"UpdateFile3", kRoot + L"help"), true, ListedArchive, 2},
        {"unzip into R", Unzip(kStaging + L"UpdateFile4", kRoot), true, ListedArchive, 3},
        {"unzip elsewhere", Unzip(kStaging + L"UpdateFile3", kRoot + L"docs\\"), false},
        {"unzip into staging", Unzip(kStaging + L"UpdateFile3", kStaging + L"x\\"), false},
        {"unzip from the product", Unzip(kRoot + L"help\\help.zip", kRoot + L"help\\"), false},
        {"register", OnPath(Wire::kRegisterServer, kRoot + L"probe.dll"), true, ListedServer, 1},
        {"register unmarked", OnPath(Wire::kRegisterServer, kRoot + L"plain.dll"), false},
        {"unregister", OnPath(Wire::kUnregisterServer, kRoot + L"probe.dll"), true, ListedServer, 1},
        {"unregister unmarked", OnPath(Wire::kUnregisterServer, kRoot + L"plain.dll"), false},
        {"register outside R", OnPath(Wire::kRegisterServer, L"C:\\windows\\system32\\probe.dll"), false},
        {"delete listed", OnPath(Wire::kDelete, kRoot + L"help\\index.html"), true},
        {"delete unlisted", OnPath(Wire::kDelete, kRoot + L"other.txt"), false},
        {"delete the folder of a listed file", OnPath(Wire::kDelete, kRoot + L"help"), true, EmptyFolder, kNone},
        {"folder of a listed file", OnPath(Wire::kMakeDirectories, kRoot + L"help\\"), true},
        {"folder of nothing listed", OnPath(Wire::kMakeDirectories, kRoot + L"docs"), false},
        // A folder in a listed file's place would only block its placement.
        {"folder named as a listed file", OnPath(Wire::kMakeDirectories, kRoot + L"data.txt"), false},
        {"folder named as a listed file, with separator", OnPath(Wire::kMakeDirectories, kRoot + L"data.txt\\"),
         false, None, kNone},
        {"listed value", Registry(key), true},
        {"listed value, other case", Registry(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\VENDOR", L"version"), true},
        {"listed class", Registry(L"HKEY_CLASSES_ROOT\\.vnd", L"", L"Add REG_SZ Vendor.File"), true},
        {"other value", Registry(key, L"Path"), false},
        {"other action", Registry(key, L"Version", L"Remove"), false},
        {"other data", Registry(key, L"Version", L"Add REG_SZ 9.0"), false},
        {"query", Wire::QueryRegistryRequest{key, L"REG_SZ"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Decision decision = Decide(row.request, kScope, &allow);
        EXPECT_EQ(decision.allowed, row.allowed);
        EXPECT_EQ(decision.check, row.check);
        EXPECT_EQ(decision.placement, row.placement == kNone ? nullptr : &allow.placements[row.placement]);
    }
    for (const std::wstring& refused : refusedKeys) {
        SCOPED_TRACE(WideToUtf8(refused));
        EXPECT_FALSE(Decide(Registry(refused), kScope, &allow).allowed);
    }
}

}  // namespace
