#include "foundation/client_config.h"

#include <cstring>
#include <mutex>

#include "foundation/text.h"

namespace config_record {

namespace {

using enum FieldKind;

#define RENEWIX_LOCATION_FIELDS(section, prefix, base)                                     \
    {section, prefix "Protocol", (base) + kProtocolOffset, kProtocolWidth, Text},          \
        {section, prefix "Address", (base) + kAddressOffset, kAddressWidth, Text},         \
        {section, prefix "Port", (base) + kPortOffset, kPortWidth, Text},                  \
        {section, prefix "User", (base) + kUserOffset, kUserWidth, Text},                  \
    {                                                                                      \
        section, prefix "Password", (base) + kPasswordOffset, kPasswordWidth, Text         \
    }

constexpr Field kFields[] = {
    RENEWIX_LOCATION_FIELDS("PrimaryServer", "Document", kPrimaryServer + kDocumentLocationInBlock),
    RENEWIX_LOCATION_FIELDS("PrimaryServer", "Files", kPrimaryServer + kFilesLocationInBlock),
    {"PrimaryServer", "SeparateFilesLocation", kPrimaryServer + kSeparateFilesInBlock, 4, Number},
    RENEWIX_LOCATION_FIELDS("BackupServer", "Document", kBackupServer + kDocumentLocationInBlock),
    RENEWIX_LOCATION_FIELDS("BackupServer", "Files", kBackupServer + kFilesLocationInBlock),
    {"BackupServer", "SeparateFilesLocation", kBackupServer + kSeparateFilesInBlock, 4, Number},
    {"BackupServer", "Enabled", kBackupEnabled, 4, Number},
    {"Application", "MainApplication", kMainApplication, 128, Text},
    {"Application", "ApplicationName", kApplicationName, 128, Text},
    {"Application", "CompanyWebAddress", kCompanyWebAddress, 128, Text},
    {"Application", "CompanyName", kCompanyName, 128, Text},
    {"Application", "Reserved1", kReserved1, 128, Text},
    {"Application", "CompanyEmail", kCompanyEmail, 128, Text},
    {"Application", "Reserved2", kReserved2, 64, Text},
    {"Application", "CheckNowKeyword", kCheckNowKeyword, 64, Text},
    {"Application", "BackgroundKeyword", kBackgroundKeyword, 64, Text},
    {"Application", "BaseSecureCode", kBaseSecureCode, 64, Text},
    {"Application", "DefaultVersion", kDefaultVersion, 32, Text},
    {"Application", "LogFileName", kLogFileName, 128, Text},
    {"Application", "StatusFileName", kStatusFileName, 128, Text},
    {"Options", "LoggingEnabled", kLoggingEnabled, 4, Number},
    {"Options", "ConfirmCancel", kConfirmCancel, 4, Number},
    {"Options", "CheckFrequency", kCheckFrequency, 4, Number},
    {"Options", "RememberDeclinedVersion", kRememberDeclinedVersion, 4, Number},
    {"Options", "LaunchAfterCheck", kLaunchAfterCheck, 4, Number},
    {"Options", "WizardAlwaysOnTop", kWizardAlwaysOnTop, 4, Number},
    {"Options", "InstanceNumber", kInstanceNumber, 4, Number},
};

#undef RENEWIX_LOCATION_FIELDS

}  // namespace

const Field* Fields(std::size_t* count) {
    *count = std::size(kFields);
    return kFields;
}

}  // namespace config_record

bool ClientConfig::LoadFromModule(HMODULE module) {
    keys_ = TrustedKeys::LoadFromModule(module);
    bytes_.fill(0);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(config_record::kResourceId), RT_RCDATA);
    if (!info) return false;
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return false;
    LoadFromBytes(static_cast<const std::uint8_t*>(data), SizeofResource(module, info));
    return true;
}

void ClientConfig::LoadFromBytes(const std::uint8_t* data, std::size_t size) {
    bytes_.fill(0);
    // A shorter resource leaves the missing tail zero rather than reading past it.
    std::memcpy(bytes_.data(), data, size < bytes_.size() ? size : bytes_.size());
}

std::wstring ClientConfig::Text(std::size_t offset, std::size_t width) const {
    return AnsiToWide(reinterpret_cast<const char*>(bytes_.data() + offset), width);
}

std::uint32_t ClientConfig::Number(std::size_t offset) const {
    const std::uint8_t* p = bytes_.data() + offset;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

ClientLocation ClientConfig::Location(std::size_t offset) const {
    using namespace config_record;
    return {Text(offset + kProtocolOffset, kProtocolWidth), Text(offset + kAddressOffset, kAddressWidth),
            Text(offset + kPortOffset, kPortWidth), Text(offset + kUserOffset, kUserWidth),
            Text(offset + kPasswordOffset, kPasswordWidth)};
}

ClientLocation ClientConfig::PrimaryFilesLocation() const {
    return Location(config_record::kPrimaryServer + config_record::kFilesLocationInBlock);
}
bool ClientConfig::PrimarySeparateFiles() const {
    return Number(config_record::kPrimaryServer + config_record::kSeparateFilesInBlock) != 0;
}
ClientLocation ClientConfig::BackupFilesLocation() const {
    return Location(config_record::kBackupServer + config_record::kFilesLocationInBlock);
}
bool ClientConfig::BackupSeparateFiles() const {
    return Number(config_record::kBackupServer + config_record::kSeparateFilesInBlock) != 0;
}

std::wstring ClientConfig::MainApplicationName() const { return Text(config_record::kMainApplication, 128); }
std::wstring ClientConfig::ApplicationName() const { return Text(config_record::kApplicationName, 128); }
std::wstring ClientConfig::CompanyWebAddress() const { return Text(config_record::kCompanyWebAddress, 128); }
std::wstring ClientConfig::CompanyName() const { return Text(config_record::kCompanyName, 128); }
std::wstring ClientConfig::CompanyEmail() const { return Text(config_record::kCompanyEmail, 128); }
std::wstring ClientConfig::CheckNowKeyword() const { return Text(config_record::kCheckNowKeyword, 64); }
std::wstring ClientConfig::BackgroundKeyword() const { return Text(config_record::kBackgroundKeyword, 64); }
std::wstring ClientConfig::BaseSecureCode() const { return Text(config_record::kBaseSecureCode, 64); }
std::wstring ClientConfig::DefaultVersion() const { return Text(config_record::kDefaultVersion, 32); }
std::wstring ClientConfig::LogFileName() const { return Text(config_record::kLogFileName, 128); }
std::wstring ClientConfig::StatusFileName() const { return Text(config_record::kStatusFileName, 128); }
