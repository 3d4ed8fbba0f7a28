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

    ClientConfig config = LoadFrom(client);
    ClientLocation primary = config.PrimaryDocumentLocation();
    EXPECT_WSTREQ8(L"http://", primary.protocol);
    EXPECT_WSTREQ8(L"updates.example/app/", primary.address);
    EXPECT_WSTREQ8(L"8080", primary.port);
    EXPECT_WSTREQ8(L"reader", primary.user);
    EXPECT_WSTREQ8(L"secret", primary.password);
    EXPECT_WSTREQ8(L"\\\\server\\share", config.PrimaryFilesLocation().address);
    EXPECT_TRUE(config.PrimarySeparateFiles());
    EXPECT_WSTREQ8(L"backup/", config.BackupDocumentLocation().address);
    EXPECT_FALSE(config.BackupSeparateFiles());
    EXPECT_EQ(config.BackupServerEnabled(), 1u);
    EXPECT_WSTREQ8(L"Viewer.exe", config.MainApplicationName());
    EXPECT_WSTREQ8(L"Example Viewer", config.ApplicationName());
    EXPECT_WSTREQ8(L"www.example", config.CompanyWebAddress());
    EXPECT_WSTREQ8(L"Example Ltd", config.CompanyName());
    EXPECT_WSTREQ8(L"help@example", config.CompanyEmail());
    EXPECT_WSTREQ8(L"CheckNow", config.CheckNowKeyword());
    EXPECT_WSTREQ8(L"0", config.BackgroundKeyword());
    EXPECT_WSTREQ8(L"1A2B", config.BaseSecureCode());
    EXPECT_WSTREQ8(L"1.0", config.DefaultVersion());
    EXPECT_WSTREQ8(L"update.log", config.LogFileName());
    EXPECT_WSTREQ8(L"state.xml", config.StatusFileName());
    EXPECT_EQ(config.LoggingEnabled(), 1u);
    EXPECT_EQ(config.ConfirmCancel(), 2u);
    EXPECT_EQ(config.CheckFrequency(), 3u);
    EXPECT_EQ(config.RememberDeclinedVersion(), 1u);
    EXPECT_EQ(config.LaunchAfterCheck(), 5u);
    EXPECT_EQ(config.WizardAlwaysOnTop(), 6u);
    EXPECT_EQ(config.InstanceNumber(), 4294967295u);
}

TEST(ClientConfig, FullWidthTextWithoutTerminatorIsNeverReadPastItsField) {
    ScratchFolder folder(L"config-fullwidth");
    const std::wstring client = CopyOfClient(folder);
    ClientConfig::Bytes record{};
    // Every text field filled to its whole width, no zero anywhere: a record written by
    // someone else's tool, or damaged.
    record.fill('x');
    std::wstring error;
    ASSERT_TRUE(WriteRecordToExecutable(client, record, error)) << WideToUtf8(error);
    ClientConfig config = LoadFrom(client);
    EXPECT_WSTREQ8(std::wstring(128, L'x'), config.ApplicationName());
    EXPECT_WSTREQ8(std::wstring(32, L'x'), config.DefaultVersion());
    EXPECT_WSTREQ8(std::wstring(16, L'x'), config.PrimaryDocumentLocation().protocol);
    EXPECT_WSTREQ8(std::wstring(64, L'x'), config.BackupFilesLocation().password);
}

TEST(ClientConfig, MissingOrShortResourceLeavesZeros) {
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

    ClientConfig own;
    own.LoadFromModule(GetModuleHandleW(nullptr));
    EXPECT_WSTREQ8(L"", own.LogFileName());
}

}  // namespace
