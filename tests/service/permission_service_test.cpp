#include "service/permission_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "foundation/paths.h"
#include "foundation/trusted_keys.h"
#include "service/pipe_security.h"
#include "service/pipe_server.h"
#include "service/piped_file_management.h"
#include "service/server_registration.h"
#include "service/service_root.h"
#include "service_support.h"
#include "test_support.h"

namespace {

using PermissionManager::RootCheck;

// The service's name, its quoted command line and its texts are read back from the installed service
// in the e2e suite; here, a code that reads as negative.
TEST(PermissionService, ErrorCodesShowSigned) {
    EXPECT_WSTREQ8(L"x\r\nError ID: -1", ServiceErrorText(L"x", 0xFFFFFFFF));
}

TEST(PermissionService, RefusalsNameTheFolderOrTheProgram) {
    const auto check = [](const wchar_t* path, DWORD readError) {
        RootCheck result;
        result.rights = PermissionManager::ChangeRights::OthersMayChange;
        result.path = path;
        result.readError = readError;
        return result;
    };
    const struct {
        const wchar_t* action;
        RootCheck check;
        const wchar_t* expected;  // between "Unable to " and the advice every refusal ends with
    } cases[] = {
        {L"install", check(L"C:\\Vendor\\", 0),
         L"install service: users other than the administrators can change the folder C:\\Vendor."},
        {L"start", check(L"C:\\", 0),
         L"start service: users other than the administrators can change the folder C:\\."},
        {L"install", check(L"C:\\Vendor\\Renewix.exe", 0),
         L"install service: users other than the administrators can change the program C:\\Vendor\\Renewix.exe."},
        {L"start", check(L"C:\\Vendor\\", ERROR_ACCESS_DENIED),
         L"start service: the access rights of C:\\Vendor cannot be read."},
    };
    for (const auto& row : cases) {
        EXPECT_WSTREQ8(L"Unable to " + std::wstring(row.expected) +
                           L" Install the program in a folder that only administrators can change.",
                       RootRefusalText(row.action, row.check));
    }
}

TEST(PermissionService, OnlyReadableKeysAreUsable) {
    Ed25519PublicKey key{};
    key[0] = 1;
    EXPECT_FALSE(HasUsableKeys(TrustedKeys()));
    EXPECT_FALSE(HasUsableKeys(TrustedKeys::Damaged()));
    EXPECT_FALSE(HasUsableKeys(TrustedKeys(std::vector<Ed25519PublicKey>{})));
    EXPECT_TRUE(HasUsableKeys(TrustedKeys({key})));
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

// The native name is the drive's device followed by the rest of the path.
TEST(ClientIdentity, OwnImageIsTheNativeNameOfTheExecutable) {
    const std::wstring path = ModulePath();
    ASSERT_EQ(path[1], L':');
    wchar_t device[MAX_PATH] = {};
    ASSERT_NE(QueryDosDeviceW(path.substr(0, 2).c_str(), device, MAX_PATH), 0u);
    EXPECT_WSTREQ8(std::wstring(device) + path.substr(2), PermissionManager::OwnNativeImage());
}

TEST(ClientIdentity, OnlyTheSameImageNameExactlyIsTheClient) {
    const std::wstring name = UniquePipeName(L"RenewixIdentity");
    renewix::UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr));
    ASSERT_TRUE(server.valid());
    renewix::UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                           nullptr));
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(PermissionManager::PipeClientProcess(server.get()), std::optional<DWORD>(GetCurrentProcessId()));

    const std::wstring own = PermissionManager::OwnNativeImage();
    std::wstring lower = own;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    ASSERT_NE(lower, own);
    const struct {
        std::wstring image;
        bool expected;
    } cases[] = {
        {own, true},
        {lower, false},             // another spelling is another name
        {own.substr(0, own.size() - 1), false},  // the whole name, not a prefix either way
        {own + L" ", false},
        {ModulePath(), false},      // the Win32 name is not the native one
        {L"", false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(WideToUtf8(row.image));
        EXPECT_EQ(PermissionManager::IsClientImage(server.get(), row.image), row.expected);
    }
}

// A connection counts as served once the service has answered its greeting.
std::unique_ptr<PermissionManager::PipeConnection> Served(const std::wstring& pipe) {
    auto connection = std::make_unique<PermissionManager::PipeConnection>(pipe);
    return connection->IsConnected() ? std::move(connection) : nullptr;
}

TEST(PipeServer, OneProcessGetsAtMostItsShareOfSessions) {
    PermissionManager::ServiceSettings settings;
    settings.scope.root = ApplicationDirectory();
    settings.ownImage = PermissionManager::OwnNativeImage();
    LocalServer server(settings);
    ASSERT_TRUE(server.Ready());
    std::vector<std::unique_ptr<PermissionManager::PipeConnection>> held;
    for (std::size_t i = 0; i < PermissionManager::PipeServer::kMaxSessionsPerProcess; ++i) {
        held.push_back(Served(server.pipe()));
        ASSERT_NE(held.back(), nullptr) << i;
    }
    EXPECT_EQ(Served(server.pipe()), nullptr);
    EXPECT_EQ(server.refused(), 1u);
    for (const auto& connection : held) EXPECT_TRUE(connection->IsConnected());

    // A session that ends gives its place back.
    held.pop_back();
    std::unique_ptr<PermissionManager::PipeConnection> again;
    EXPECT_TRUE(WaitUntil([&] { return (again = Served(server.pipe())) != nullptr; }));
}

// Copies of the test libraries in a folder of their own: host_probe writes, beside itself,
// which process registered it.
class Registration : public ::testing::Test {
protected:
    std::wstring Library(const wchar_t* source, const wchar_t* name) {
        const std::wstring path = folder_ / name;
        EXPECT_TRUE(CopyFileW((ApplicationDirectory() + source).c_str(), path.c_str(), FALSE));
        return path;
    }
    ScratchFolder folder_{L"registration"};
};

TEST_F(Registration, RunsInAChildAndSucceedsOnlyWhenItExitsWithZero) {
    const std::wstring garbage = folder_ / L"garbage.dll";
    ASSERT_TRUE(WriteFileBytes(garbage, std::string(4096, 'x')));
    const struct {
        std::wstring library;
        int expected;
        const char* logged;  // the failure's line: the path and regsvr32's exit code
        PermissionManager::ServerRegistration what = PermissionManager::ServerRegistration::Register;
    } cases[] = {
        {Library(L"host_probe.dll", L"probe.dll"), 1, ""},
        {Library(L"plain_library.dll", L"plain.dll"), 0, ", 4\r\n"},  // no DllRegisterServer
        {garbage, 0, ", 3\r\n"},                                      // cannot be loaded
        {folder_ / L"with \"quote.dll", 0, "Registration refused"},
        {folder_.path() + L"\\", 0, "Registration refused"},
        // Unregistering calls DllUnregisterServer, which this library lacks.
        {Library(L"host_probe.dll", L"unregistered.dll"), 0, ", 4\r\n",
         PermissionManager::ServerRegistration::Unregister},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(WideToUtf8(row.library));
        CapturedLog captured(folder_ / L"log.txt");
        EXPECT_EQ(PermissionManager::RegisterServerInChild(row.library, PermissionManager::kRegistrationTimeoutMs,
                                                           TestLog(), row.what),
                  row.expected);
        const std::string log = captured.Finish();
        if (row.expected == 1) {
            EXPECT_EQ(log.find("Registration"), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find(row.logged), std::string::npos) << log;
        }
    }
    // Registered by regsvr32, not by this process.
    const std::string host = ReadFileBytes(folder_ / L"probe.dll.host");
    EXPECT_NE(host.rfind(std::to_string(GetCurrentProcessId()) + " ", 0), 0u) << host;
    EXPECT_NE(host.find("regsvr32.exe\" /s \""), std::string::npos) << host;
    EXPECT_FALSE(Exists(folder_ / L"unregistered.dll.host"));
}

// A registration that outlasts its time is ended before the call returns.
TEST_F(Registration, AChildThatTakesTooLongIsEnded) {
    const std::wstring library = Library(L"host_probe.dll", L"slow.dll");
    CapturedLog captured(folder_ / L"log.txt");
    EXPECT_EQ(PermissionManager::RegisterServerInChild(library, 0, TestLog()), 0);
    EXPECT_NE(captured.Finish().find("Registration timed out"), std::string::npos);
    EXPECT_FALSE(Exists(library + L".host"));
}

}  // namespace
