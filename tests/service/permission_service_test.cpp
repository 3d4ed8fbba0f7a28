#include "service/permission_service.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(PermissionService, NamesAndTexts) {
    EXPECT_WSTREQ8(L"Example Co: Viewer update permissions manager. 7.", FormatServiceName(L"Example Co", L"Viewer", 7));
    EXPECT_WSTREQ8(L"RenewixStop7", ServiceStopEventName(7));
    // Quoted, so that "C:\Program Files\..." can never start "C:\Program.exe".
    EXPECT_WSTREQ8(L"\"C:\\Program Files\\Vendor\\Renewix.exe\" -PermissionManagerRun",
                   ServiceCommandLine(L"C:\\Program Files\\Vendor\\Renewix.exe"));
    EXPECT_WSTREQ8(L"Unable to create a named pipe\r\nError ID: 5", ServiceErrorText(L"Unable to create a named pipe", 5));
    EXPECT_WSTREQ8(L"x\r\nError ID: -1", ServiceErrorText(L"x", 0xFFFFFFFF));
}

TEST(PermissionService, FolderCheckLooksForAnUpdateServerBesideAnUpdateClient) {
    EXPECT_WSTREQ8(L"C:\\Work\\UpdateServer\\", UpdateServerSibling(L"C:\\Work\\UpdateClient\\"));
    EXPECT_WSTREQ8(L"C:\\Work\\UpdateServer\\", UpdateServerSibling(L"C:\\Work\\UpdateClient"));
    // "UpdateClient" anywhere after the first character counts; the sibling is of the last folder.
    EXPECT_WSTREQ8(L"C:\\UpdateClient\\bin\\UpdateServer\\", UpdateServerSibling(L"C:\\UpdateClient\\bin\\sub\\"));
    EXPECT_WSTREQ8(L"", UpdateServerSibling(L"C:\\Work\\Client\\"));
    EXPECT_WSTREQ8(L"", UpdateServerSibling(L"C:\\Work\\updateclient\\"));  // with case
    EXPECT_WSTREQ8(L"", UpdateServerSibling(L"UpdateClient\\"));            // at the first character
    EXPECT_WSTREQ8(L"", UpdateServerSibling(L"xUpdateClient"));              // no backslash
}

}  // namespace
