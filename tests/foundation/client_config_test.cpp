#include "foundation/client_config.h"

#include <gtest/gtest.h>

#include "config/record_resource.h"
#include "config/settings_file.h"
#include "foundation/paths.h"
#include "foundation/win_resource.h"
#include "test_support.h"

namespace {

// A copy of the client executable in a scratch folder, to carry a record.
std::wstring CopyOfClient(const ScratchFolder& folder) {
    const std::wstring copy = folder / L"Client.exe";
    EXPECT_TRUE(CopyFileW((ApplicationDirectory() + L"Renewix.exe").c_str(), copy.c_str(), FALSE));
    return copy;
}

ClientConfig LoadFrom(const std::wstring& executable) {
    ClientConfig config;
    renewix::UniqueModule module(LoadLibraryExW(executable.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    EXPECT_TRUE(module.valid());
    EXPECT_TRUE(config.LoadFromModule(module.get()));
    return config;
}

TEST(ClientConfig, FieldsWrittenByTheToolAreReadBack) {
    ScratchFolder folder(L"config-fields");
    const std::wstring client = CopyOfClient(folder);
    ClientConfig::Bytes record{};
    std::wstring error;
    ASSERT_TRUE(ParseSettings(L"[PrimaryServer]\nDocumentProtocol=http://\nDocumentAddress=updates.example/app/\n"
                              L"DocumentPort=8080\nDocumentUser=reader\nDocumentPassword=secret\n"
                              L"FilesProtocol=file://\nFilesAddress=\\\\server\\share\nSeparateFilesLocation=1\n"
                              L"[BackupServer]\nDocumentAddress=backup/\nEnabled=1\n"
                              L"[Application]\nMainApplication=Viewer.exe\nApplicationName=Example Viewer\n"
                              L"CompanyWebAddress=www.example\nCompanyName=Example Ltd\nCompanyEmail=help@example\n"
                              L"CheckNowKeyword=CheckNow\nBackgroundKeyword=0\nBaseSecureCode=1A2B\n"
                              L"DefaultVersion=1.0\nLogFileName=update.log\nStatusFileName=state.xml\n"
                              L"[Options]\nLoggingEnabled=1\nConfirmCancel=2\nCheckFrequency=3\n"
                              L"RememberDeclinedVersion=1\nLaunchAfterCheck=5\nWizardAlwaysOnTop=6\n"
                              L"InstanceNumber=4294967295\n",
                              record, error))
        << WideToUtf8(error);
    ASSERT_TRUE(WriteRecordToExecutable(client, record, error)) << WideToUtf8(error);

    const ClientConfig config = LoadFrom(client);
    const ClientLocation primary = config.PrimaryDocumentLocation();
    const std::pair<std::wstring, std::wstring> texts[] = {
        {primary.protocol, L"http://"}, {primary.address, L"updates.example/app/"}, {primary.port, L"8080"},
        {primary.user, L"reader"}, {primary.password, L"secret"},
        {config.PrimaryFilesLocation().address, L"\\\\server\\share"},
        {config.BackupDocumentLocation().address, L"backup/"},
        {config.MainApplicationName(), L"Viewer.exe"}, {config.ApplicationName(), L"Example Viewer"},
        {config.CompanyWebAddress(), L"www.example"}, {config.CompanyName(), L"Example Ltd"},
        {config.CompanyEmail(), L"help@example"}, {config.CheckNowKeyword(), L"CheckNow"},
        {config.BackgroundKeyword(), L"0"}, {config.BaseSecureCode(), L"1A2B"}, {config.DefaultVersion(), L"1.0"},
        {config.LogFileName(), L"update.log"}, {config.StatusFileName(), L"state.xml"},
    };
    for (const auto& [read, written] : texts) EXPECT_WSTREQ8(written, read);
    const std::pair<std::uint32_t, std::uint32_t> numbers[] = {
        {config.PrimarySeparateFiles(), 1}, {config.BackupSeparateFiles(), 0}, {config.BackupServerEnabled(), 1},
        {config.LoggingEnabled(), 1}, {config.ConfirmCancel(), 2}, {config.CheckFrequency(), 3},
        {config.RememberDeclinedVersion(), 1}, {config.LaunchAfterCheck(), 5}, {config.WizardAlwaysOnTop(), 6},
        {config.InstanceNumber(), 4294967295u},
    };
    for (const auto& [read, written] : numbers) EXPECT_EQ(read, written) << "written " << written;
}

// Records the tool did not write: none, a short one, and one with every text field filled to
// its whole width and no zero anywhere (someone else's tool, or damage), read within each field.
TEST(ClientConfig, OtherRecordsAreReadWithinTheirFields) {
    ClientConfig config;
    // The test executable itself carries no record.
    EXPECT_FALSE(config.LoadFromModule(GetModuleHandleW(nullptr)));
    EXPECT_TRUE(config.MainApplicationName().empty());
    EXPECT_EQ(config.LoggingEnabled(), 0u);
    EXPECT_EQ(config.CheckFrequency(), 0u);

    const std::uint8_t shortRecord[4] = {'a', 'b', 'c', 'd'};
    config.LoadFromBytes(shortRecord, sizeof(shortRecord));
    EXPECT_WSTREQ8(L"abcd", config.PrimaryDocumentLocation().protocol);
    EXPECT_EQ(config.InstanceNumber(), 0u);

    ClientConfig::Bytes full;
    full.fill('x');
    config.LoadFromBytes(full.data(), full.size());
    EXPECT_WSTREQ8(std::wstring(128, L'x'), config.ApplicationName());
    EXPECT_WSTREQ8(std::wstring(32, L'x'), config.DefaultVersion());
    EXPECT_WSTREQ8(std::wstring(16, L'x'), config.PrimaryDocumentLocation().protocol);
    EXPECT_WSTREQ8(std::wstring(64, L'x'), config.BackupFilesLocation().password);
}

}  // namespace
