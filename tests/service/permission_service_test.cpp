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

TEST(PermissionService, NamesAndTexts) {
    EXPECT_WSTREQ8(L"Example Co: Viewer update permissions manager. 7.", FormatServiceName(L"Example Co", L"Viewer", 7));
    EXPECT_WSTREQ8(L"RenewixStop7", ServiceStopEventName(7));
    // Quoted, so that "C:\Program Files\..." can never start "C:\Program.exe".
    EXPECT_WSTREQ8(L"\"C:\\Program Files\\Vendor\\Renewix.exe\" -PermissionManagerRun",
                   ServiceCommandLine(L"C:\\Program Files\\Vendor\\Renewix.exe"));
    EXPECT_WSTREQ8(L"Unable to create a named pipe\r\nError ID: 5", ServiceErrorText(L"Unable to create a named pipe", 5));
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
        const wchar_t* expected;
    } cases[] = {
        {L"install", check(L"C:\\Vendor\\", 0),
         L"Unable to install service: users other than the administrators can change the folder C:\\Vendor. Install "
         L"the program in a folder that only administrators can change."},
        {L"start", check(L"C:\\", 0),
         L"Unable to start service: users other than the administrators can change the folder C:\\. Install the "
         L"program in a folder that only administrators can change."},
        {L"install", check(L"C:\\Vendor\\Renewix.exe", 0),
         L"Unable to install service: users other than the administrators can change the program "
         L"C:\\Vendor\\Renewix.exe. Install the program in a folder that only administrators can change."},
        {L"start", check(L"C:\\Vendor\\", ERROR_ACCESS_DENIED),
         L"Unable to start service: the access rights of C:\\Vendor cannot be read. Install the program in a folder "
         L"that only administrators can change."},
    };
    for (const auto& row : cases) {
        EXPECT_WSTREQ8(row.expected, RootRefusalText(row.action, row.check));
    }
    EXPECT_WSTREQ8(L"Unable to install service: this update client trusts no signing keys, so the service could not "
                   L"tell the vendor's updates from anyone else's. Add the vendor's public keys with RenewixConfig "
                   L"(docs/security.md says how to sign).",
                   NoKeysText(L"install"));
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
        {own + L" ", false},        // the whole name, not a prefix
        {own.substr(0, own.size() - 1), false},
        {ModulePath(), false},      // the Win32 name is not the native one
        {L"", false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(WideToUtf8(row.image));
        EXPECT_EQ(PermissionManager::IsClientImage(server.get(), row.image), row.expected);
    }
}

TEST(ClientIdentity, AnotherProgramAtTheClientEndIsNotTheClient) {
    const std::wstring name = UniquePipeName(L"RenewixOther");
    renewix::UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr));
    ASSERT_TRUE(server.valid());
    // The test tool's hold-file opens the pipe as a client and keeps it until it is ended.
    std::wstring command = L"\"" + ApplicationDirectory() + L"test_tool.exe\" hold-file \"" + name + L"\" 60000";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &started));
    renewix::UniqueHandle process(started.hProcess);
    renewix::UniqueHandle thread(started.hThread);
    renewix::ScopeExit end([&] {
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), 10000);
    });
    ASSERT_TRUE(ConnectNamedPipe(server.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);

    EXPECT_EQ(PermissionManager::PipeClientProcess(server.get()), std::optional<DWORD>(started.dwProcessId));
    EXPECT_FALSE(PermissionManager::IsClientImage(server.get(), PermissionManager::OwnNativeImage()));
    const std::wstring image = PermissionManager::ProcessImageName(process.get());
    EXPECT_TRUE(image.ends_with(L"\\test_tool.exe")) << WideToUtf8(image);
    EXPECT_TRUE(PermissionManager::IsClientImage(server.get(), image));
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
        {folder_ / L"missing.dll", 0, ", 3\r\n"},
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

// A registration that outlasts its time is ended before the call returns, and the caller
// goes on as before.
TEST_F(Registration, AChildThatTakesTooLongIsEnded) {
    const std::wstring library = Library(L"host_probe.dll", L"slow.dll");
    CapturedLog captured(folder_ / L"log.txt");
    EXPECT_EQ(PermissionManager::RegisterServerInChild(library, 0, TestLog()), 0);
    EXPECT_NE(captured.Finish().find("Registration timed out"), std::string::npos);
    EXPECT_FALSE(Exists(library + L".host"));

    EXPECT_EQ(PermissionManager::RegisterServerInChild(library, PermissionManager::kRegistrationTimeoutMs, TestLog()),
              1);
    EXPECT_TRUE(Exists(library + L".host"));
}

}  // namespace
