#include "transfer/network_downloader.h"

#include "foundation/log.h"
#include "foundation/text.h"
#include "transfer/resume.h"

namespace {

std::wstring WithBackslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

}  // namespace

std::optional<XmlDocument> NetworkFileDownloader::LoadDocument() {
    try {
        std::optional<XmlDocument> document = CreateXmlDom(log_);
        if (!document) return std::nullopt;
        if (!document->LoadFile(GetDocumentUrl())) return std::nullopt;
        return document;
    } catch (const XmlError& error) {
        log_.WriteHeading(L"Unable to connect to the file share!");
        log_.WriteEntry(error.description);
    } catch (...) {
        log_.WriteHeading(L"An unknown error occured when connecting to the file share!");
    }
    return std::nullopt;
}

std::wstring NetworkFileDownloader::GetDocumentUrl() {
    if (documentUrl_.empty()) documentUrl_ = WithBackslashes(settings_.Address);
    return documentUrl_;
}

std::wstring NetworkFileDownloader::GetFilesBaseUrl() {
    if (filesBaseUrl_.empty()) {
        filesBaseUrl_ = WithBackslashes(settings_.FilesAddress);
        while (!filesBaseUrl_.empty() && filesBaseUrl_.back() == L'\\') filesBaseUrl_.pop_back();
    }
    return filesBaseUrl_;
}

std::wstring NetworkFileDownloader::FilePathFor(const std::wstring& input) {
    std::wstring name = WithBackslashes(input);
    for (std::size_t at = name.find(L"\\\\"); at != std::wstring::npos; at = name.find(L"\\\\", at + 1)) {
        name.replace(at, 2, L"\\");
    }
    if (!name.empty() && name[0] != L'\\') name.insert(0, 1, L'\\');
    return CanonicalizeUrl(GetFilesBaseUrl() + name);
}

bool NetworkFileDownloader::OpenForReading(const std::wstring& path) {
    file_ = PermissionManager::StandardFile::Open(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    return file_ != nullptr;
}

bool NetworkFileDownloader::OpenDownloadFile(const std::wstring& name) { return OpenForReading(FilePathFor(name)); }

bool NetworkFileDownloader::OpenDownloadFileFrom(const std::wstring& name, std::uint64_t offset,
                                                 const std::wstring& validator, std::uint64_t* start) {
    *start = 0;
    if (!OpenDownloadFile(name)) return false;
    if (offset == 0 || validator.empty() || validator != Validator() || offset >= file_->OpenSize()) return true;
    if (file_->SeekTo(offset)) {
        *start = offset;
        return true;
    }
    // A file that cannot seek is read from its start, on a handle that has not moved.
    return OpenDownloadFile(name);
}

std::wstring NetworkFileDownloader::Validator() {
    FILETIME creation{}, lastAccess{}, lastWrite{};
    if (!file_ || !file_->GetTimes(&creation, &lastAccess, &lastWrite)) return {};
    return SizeAndTimeValidator(file_->OpenSize(), lastWrite);
}

bool NetworkFileDownloader::Connect() {
    const std::wstring path = GetDocumentUrl();
    if (OpenForReading(path)) return true;
    const DWORD error = GetLastError();
    log_.WriteValue(L"Unable to connect to", path);
    SetLastError(error);
    DescribeLastError();
    return false;
}

std::wstring NetworkFileDownloader::DescribeLastError() {
    const DWORD code = GetLastError();
    if (code == 0) return L"File error occured";
    log_.WriteNumber(L"System error code", static_cast<int>(code));
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    if (text.empty()) {
        log_.WriteNumber(L"HTTP code: ", static_cast<int>(code));
        return L"File error occured";
    }
    text = text.substr(0, text.find(L'\r'));
    log_.WriteEntry(text);
    return text;
}

bool NetworkFileDownloader::GetFileTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    return file_ && file_->GetTimes(creation, lastAccess, lastWrite);
}

std::int64_t NetworkFileDownloader::GetFileSize() { return static_cast<std::int64_t>(file_ ? file_->OpenSize() : 0); }
