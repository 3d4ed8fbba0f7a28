// Byte layout of the configuration record that the configuration tool writes into the
// client's resources (RT_RCDATA 74). Shared by the client and the tool so both agree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace config_record {

inline constexpr int kResourceId = 74;
inline constexpr std::size_t kSize = 3016;

// A location record: where the document or the files of one server live.
inline constexpr std::size_t kLocationSize = 416;
inline constexpr std::size_t kProtocolOffset = 0, kProtocolWidth = 16;
inline constexpr std::size_t kAddressOffset = 16, kAddressWidth = 256;
inline constexpr std::size_t kPortOffset = 272, kPortWidth = 16;
inline constexpr std::size_t kUserOffset = 288, kUserWidth = 64;
inline constexpr std::size_t kPasswordOffset = 352, kPasswordWidth = 64;

// A server block: document location, files location, separate-files switch.
inline constexpr std::size_t kServerBlockSize = 836;
inline constexpr std::size_t kDocumentLocationInBlock = 0;
inline constexpr std::size_t kFilesLocationInBlock = 416;
inline constexpr std::size_t kSeparateFilesInBlock = 832;

inline constexpr std::size_t kPrimaryServer = 0;
inline constexpr std::size_t kBackupServer = 836;
inline constexpr std::size_t kBackupEnabled = 1672;
inline constexpr std::size_t kMainApplication = 1676;
inline constexpr std::size_t kApplicationName = 1804;
inline constexpr std::size_t kCompanyWebAddress = 1932;
inline constexpr std::size_t kCompanyName = 2060;
inline constexpr std::size_t kReserved1 = 2188;
inline constexpr std::size_t kCompanyEmail = 2316;
inline constexpr std::size_t kReserved2 = 2444;
inline constexpr std::size_t kCheckNowKeyword = 2508;
inline constexpr std::size_t kBackgroundKeyword = 2572;
inline constexpr std::size_t kBaseSecureCode = 2636;
inline constexpr std::size_t kDefaultVersion = 2700;
inline constexpr std::size_t kLogFileName = 2732;
inline constexpr std::size_t kStatusFileName = 2860;
inline constexpr std::size_t kLoggingEnabled = 2988;
inline constexpr std::size_t kConfirmCancel = 2992;
inline constexpr std::size_t kCheckFrequency = 2996;
inline constexpr std::size_t kRememberDeclinedVersion = 3000;
inline constexpr std::size_t kLaunchAfterCheck = 3004;
inline constexpr std::size_t kWizardAlwaysOnTop = 3008;
inline constexpr std::size_t kInstanceNumber = 3012;

enum class FieldKind { Text, Number };

// One field of the record as the settings file names it.
struct Field {
    const char* section;
    const char* key;
    std::size_t offset;
    std::size_t width;  // bytes; 4 for numbers
    FieldKind kind;
};

// Every field of the record, in record order.
const Field* Fields(std::size_t* count);

}  // namespace config_record
