#include "foundation/log.h"

#include <windows.h>

#include <atomic>
#include <utility>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/file_management.h"

Log::Log() = default;

Log::~Log() { Stop(); }

void Log::Start(PermissionManager::IClientFileManager& files, const std::wstring& path, int disabled) {
    StartHeld(files, path, disabled);
    Open();
}

void Log::StartHeld(PermissionManager::IClientFileManager& files, const std::wstring& path, int disabled) {
    std::lock_guard lock(mutex_);
    files_ = &files;
    path_ = path;
    disabled_ = disabled;
    file_.reset();
    open_ = false;
    heldBytes_.clear();
    headingWritten_ = false;
    held_ = disabled == 0;
    if (held_) WriteLocked(HeadingLine(L"Logging started"));
    openingBytes_ = heldBytes_.size();
}

void Log::Open() {
    std::lock_guard lock(mutex_);
    if (!held_ || !files_) return;
    held_ = false;
    // Needed only here: the manager may go before the log does.
    PermissionManager::IClientFileManager& files = *std::exchange(files_, nullptr);
    std::string held = std::move(heldBytes_);
    heldBytes_.clear();

    std::wstring name = path_.empty() ? L"RenewixLog.txt" : path_;
    std::wstring filePath;
    DWORD disposition = CREATE_ALWAYS;
    if (name.find(L'\\') != std::wstring::npos) {
        filePath = name;
    } else if (name != L"CONOUT$") {
        filePath = ApplicationDirectory() + name;
    } else {
        AllocConsole();
        filePath = name;
        disposition = OPEN_EXISTING;
    }

    file_ = files.Open(filePath, GENERIC_READ | GENERIC_WRITE, disposition, 0);
    if (!file_) return;
    open_ = true;
    static const unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
    file_->Write(kByteOrderMark, 2);
    file_->Write(held.data(), static_cast<DWORD>(openingBytes_));
    const bool piped = dynamic_cast<PermissionManager::StandardFileManagement*>(&files) == nullptr;
    if (piped) WriteLocked(HeadingLine(L"Permission management service is active"));
    if (held.size() > openingBytes_) file_->Write(held.data() + openingBytes_, static_cast<DWORD>(held.size() - openingBytes_));
}

void Log::Stop() {
    std::lock_guard lock(mutex_);
    held_ = false;
    heldBytes_.clear();
    if (file_) {
        WriteLocked(L"\tEnd of recording\r\n");
        file_->Close();
    }
    file_.reset();
    files_ = nullptr;
    open_ = false;
}

bool Log::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void Log::WriteLocked(const std::wstring& line) {
    WriteBytesLocked(line.data(), static_cast<unsigned long>(line.size() * sizeof(wchar_t)));
}

void Log::WriteBytesLocked(const void* data, unsigned long count) {
    if (held_) {
        heldBytes_.append(static_cast<const char*>(data), count);
    } else if (file_) {
        file_->Write(data, count);
    }
}

void Log::WriteLine(const std::wstring& line) {
    std::lock_guard lock(mutex_);
    WriteLocked(line);
}

std::wstring Log::HeadingLine(const std::wstring& text) {
    const bool first = !headingWritten_.exchange(true);
    return first ? text + L"\r\n" : L"\r\n" + text + L"\r\n";
}

void Log::WriteHeading(const std::wstring& text) { WriteLine(HeadingLine(text)); }

void Log::WriteEntry(const std::wstring& text) { WriteLine(L"\t" + text + L"\r\n"); }

void Log::WriteValue(const std::wstring& title, const std::wstring& value) {
    WriteLine(L"\t" + title + L":\t" + value + L"\r\n");
}

void Log::WriteTwoValues(const std::wstring& title, const std::wstring& first, const std::wstring& second) {
    WriteLine(L"\t" + title + L":\t" + first + L", " + second + L"\r\n");
}

void Log::WriteNumber(const std::wstring& title, long long number) {
    WriteLine(L"\t" + title + L":\t" + std::to_wstring(number) + L"\r\n");
}

void Log::WriteValueNumber(const std::wstring& title, const std::wstring& value, long long number) {
    WriteLine(L"\t" + title + L":\t" + value + L", " + std::to_wstring(number) + L"\r\n");
}

void Log::WriteBlank() { WriteEntry(L""); }

void Log::WriteRaw(const void* data, unsigned long count) {
    std::lock_guard lock(mutex_);
    WriteBytesLocked(data, count);
}

std::wstring Log::FormatDate(int year, int month, int day) {
    return FormatText(L"%02d/%02d/%02d", month, day, year % 100);
}

std::wstring Log::FormatTime(int hour, int minute, int second) {
    return FormatText(L"%02d:%02d:%02d", hour, minute, second);
}

void Log::WriteSessionHeader(const std::wstring& clientVersion, const std::wstring& osName) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    WriteTwoValues(L"Date", FormatDate(now.wYear, now.wMonth, now.wDay),
                   FormatTime(now.wHour, now.wMinute, now.wSecond));
    WriteValue(L"Client", clientVersion);
    WriteValue(L"OS", osName);
}
