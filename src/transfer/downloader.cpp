#include "transfer/downloader.h"

#include <tuple>

#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/log.h"
#include "foundation/client_config.h"
#include "transfer/ftp_downloader.h"
#include "transfer/http_downloader.h"
#include "transfer/network_downloader.h"

ServerSettings ServerSettingsFromConfig(const ClientConfig& config, bool primary) {
    ServerSettings s;
    ClientLocation document = primary ? config.PrimaryDocumentLocation() : config.BackupDocumentLocation();
    std::tie(s.Protocol, s.Address, s.Port, s.UserName, s.Password) =
        std::tie(document.protocol, document.address, document.port, document.user, document.password);
    s.SeparateFilesLocation = primary ? config.PrimarySeparateFiles() : config.BackupSeparateFiles();
    if (s.SeparateFilesLocation) {
        ClientLocation files = primary ? config.PrimaryFilesLocation() : config.BackupFilesLocation();
        std::tie(s.FilesProtocol, s.FilesAddress, s.FilesPort, s.FilesUserName, s.FilesPassword) =
            std::tie(files.protocol, files.address, files.port, files.user, files.password);
    }
    return s;
}

std::optional<XmlDocument> CreateXmlDom(Log& log) {
    try {
        return XmlDocument::Create(L"Microsoft.XMLDOM");
    } catch (const XmlError&) {
        log.WriteHeading(L"Error creating XMLDOM");
        return std::nullopt;
    }
}

std::wstring FilesAddressFor(const std::wstring& address) {
    std::size_t cut = address.find(L'?');
    if (cut == std::wstring::npos) cut = address.rfind(L'/');
    if (cut == std::wstring::npos) cut = address.rfind(L'\\');
    return cut == std::wstring::npos ? address : address.substr(0, cut);
}

IFileDownloader::IFileDownloader(const ServerSettings& settings, const TransferContext& context)
    : log_(context.log), variables_(context.variables), settings_(settings), cancellation_(context.cancellation) {
    // Called here, not through the derived classes: every downloader completes its
    // locations the same way before it is used.
    IFileDownloader::ResolveLocations();
}

bool IFileDownloader::StopForCancel() {
    if (!cancellation_ || !cancellation_->Cancelled()) return false;
    if (!cancelReported_) log_.WriteEntry(L"Cancelled by the user");
    cancelReported_ = true;
    return true;
}

bool IFileDownloader::FetchDocumentBytes(std::string& bytes) {
    bytes.clear();
    if (!OpenDocumentFile()) {
        if (StopForCancel()) return false;
        log_.WriteValue(L"Unable to fetch the update description", GetDocumentUrl());
        return false;
    }
    bool whole = true;
    if (const std::wstring refused = RefusedResponse(); !refused.empty()) {
        log_.WriteValue(L"Unable to fetch the update description", GetDocumentUrl());
        log_.WriteEntry(refused);
        whole = false;
    }
    const std::int64_t reported = GetFileSize();
    char buffer[8192];
    for (DWORD count; whole && (count = Read(buffer, sizeof(buffer))) != 0;) {
        // A document is a few kilobytes: a server that keeps sending is not sending one.
        if (bytes.size() + count > kMaxDocumentBytes) {
            log_.WriteValueNumber(L"The update description is larger than the limit", GetDocumentUrl(),
                                  static_cast<long long>(kMaxDocumentBytes));
            whole = false;
            break;
        }
        bytes.append(buffer, count);
    }
    if (StopForCancel()) whole = false;
    if (whole && reported > 0 && static_cast<std::uint64_t>(reported) != bytes.size()) {
        log_.WriteValueNumber(L"The update description arrived cut short", GetDocumentUrl(),
                              static_cast<long long>(bytes.size()));
        whole = false;
    }
    CloseFile();
    if (!whole) bytes.clear();
    return whole;
}

void IFileDownloader::ResolveLocations() {
    if (settings_.SeparateFilesLocation) return;
    settings_.FilesProtocol = settings_.Protocol;
    settings_.FilesPort = settings_.Port;
    const std::wstring replaced = variables_.ReplaceVariables(settings_.Address);
    if (replaced != settings_.Address) log_.WriteTwoValues(L"Transform", settings_.Address, replaced);
    settings_.Address = replaced;
    settings_.FilesAddress = FilesAddressFor(settings_.Address);
}

std::unique_ptr<IFileDownloader> CreateDownloader(const std::wstring& protocol, const ServerSettings& settings,
                                                  const TransferContext& context) {
    if (protocol == L"file:") return std::make_unique<NetworkFileDownloader>(settings, context);
    if (protocol == L"ftp://") return std::make_unique<FTPFileDownloader>(settings, context);
    return std::make_unique<HTTPFileDownloader>(settings, context);
}

IFileDownloader* ServerSelection::CreateServerDownloader(bool primary) {
    if (released_) return nullptr;
    if (primary) {
        if (!primary_ && !backup_) {
            ServerSettings settings = ServerSettingsFromConfig(config_, true);
            primary_ = factory_(settings.Protocol, settings, context_);
            if (primary_) primary_->SetPrompts(prompts_);
        }
        return primary_.get();
    }
    if (config_.BackupServerEnabled() == 0) return nullptr;
    if (!backup_) {
        if (current_ == primary_.get()) current_ = nullptr;
        primary_.reset();
        ServerSettings settings = ServerSettingsFromConfig(config_, false);
        backup_ = factory_(settings.Protocol, settings, context_);
        if (backup_) backup_->SetPrompts(prompts_);
    }
    return backup_.get();
}

void ServerSelection::Release() {
    released_ = true;
    current_ = nullptr;
    primary_.reset();
    backup_.reset();
}

IFileDownloader* ServerSelection::GetActiveDownloader(int* available) {
    Log& log = context_.log;
    if (released_) {
        if (available) *available = 0;
        return nullptr;
    }
    if (!started_) {
        started_ = true;
        current_ = CreateServerDownloader(true);
    }
    int ignored = 0;
    int& isAvailable = available ? *available : ignored;
    isAvailable = 0;
    if (tried_) {
        isAvailable = current_ != nullptr;
        return current_;
    }
    tried_ = true;
    if (!current_) return nullptr;
    if (current_->Connect()) {
        isAvailable = 1;
        return current_;
    }
    // A cancelled run tries no other server.
    if (current_->StopForCancel()) {
        current_ = nullptr;
        return nullptr;
    }
    isAvailable = current_->IsInternetAvailable();
    log.WriteValue(L"Primary server error", current_->GetDocumentUrl());
    log.WriteEntry(isAvailable ? L"The connection to the primary file server has failed.\r\n"
                               : L"An internet connection is unavailable.");
    current_ = CreateServerDownloader(false);
    if (!current_) {
        log.WriteEntry(L"No backup server listed.");
        log.WriteHeading(L"Verify internet/network connection and try again.");
        return nullptr;
    }
    isAvailable = current_->IsInternetAvailable();
    if (current_->Connect()) {
        log.WriteEntry(L"Using backup server connections.");
        return current_;
    }
    log.WriteValue(L"Backup server error", current_->GetDocumentUrl());
    log.WriteEntry(isAvailable ? L"The connection to the backup file server has failed.\r\n"
                               : L"An internet connection is unavailable.");
    // The failed backup stays current, so that later calls answer at once.
    return nullptr;
}
