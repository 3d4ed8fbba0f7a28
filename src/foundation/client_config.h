// The read-only configuration record embedded in the client's resources.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "foundation/trusted_keys.h"
#include "foundation/config_record.h"

// One location record: protocol prefix, address, port and credentials.
struct ClientLocation {
    std::wstring protocol;
    std::wstring address;
    std::wstring port;
    std::wstring user;
    std::wstring password;
};

class ClientConfig {
public:
    using Bytes = std::array<std::uint8_t, config_record::kSize>;

    // Fills the record from a module's resource (a missing resource leaves it all zero), and
    // the trusted keys from theirs.
    bool LoadFromModule(HMODULE module);
    void LoadFromBytes(const std::uint8_t* data, std::size_t size);
    const Bytes& bytes() const { return bytes_; }

    // Text field at an absolute offset, never read past its width.
    std::wstring Text(std::size_t offset, std::size_t width) const;
    std::uint32_t Number(std::size_t offset) const;

    ClientLocation PrimaryDocumentLocation() const { return Location(config_record::kPrimaryServer); }
    ClientLocation PrimaryFilesLocation() const;
    bool PrimarySeparateFiles() const;
    ClientLocation BackupDocumentLocation() const { return Location(config_record::kBackupServer); }
    ClientLocation BackupFilesLocation() const;
    bool BackupSeparateFiles() const;
    std::uint32_t BackupServerEnabled() const { return Number(config_record::kBackupEnabled); }

    std::wstring MainApplicationName() const;
    std::wstring ApplicationName() const;
    std::wstring CompanyWebAddress() const;
    std::wstring CompanyName() const;
    std::wstring CompanyEmail() const;
    std::wstring CheckNowKeyword() const;
    std::wstring BackgroundKeyword() const;
    std::wstring BaseSecureCode() const;
    std::wstring DefaultVersion() const;
    std::wstring LogFileName() const;
    std::wstring StatusFileName() const;
    std::uint32_t LoggingEnabled() const { return Number(config_record::kLoggingEnabled); }
    std::uint32_t ConfirmCancel() const { return Number(config_record::kConfirmCancel); }
    std::uint32_t CheckFrequency() const { return Number(config_record::kCheckFrequency); }
    std::uint32_t RememberDeclinedVersion() const { return Number(config_record::kRememberDeclinedVersion); }
    std::uint32_t LaunchAfterCheck() const { return Number(config_record::kLaunchAfterCheck); }
    std::uint32_t WizardAlwaysOnTop() const { return Number(config_record::kWizardAlwaysOnTop); }
    std::uint32_t InstanceNumber() const { return Number(config_record::kInstanceNumber); }

    // The keys that update documents must be signed with; none configured: documents are used
    // as they come, signed or not.
    const TrustedKeys& Keys() const { return keys_; }
    void SetKeys(TrustedKeys keys) { keys_ = std::move(keys); }

private:
    ClientLocation Location(std::size_t offset) const;

    Bytes bytes_{};
    TrustedKeys keys_;
};
