#include "foundation/log.h"

#include <windows.h>

#include <atomic>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "install/file_management.h"

namespace {
std::atomic<bool> g_firstHeadingWritten{false};
}

Log& Log::Instance() {
    static Log log;
    return log;
}

Log::Log() = default;

Log::~Log() { Stop(); }

void Log::Start(const std::wstring& path, int disabled) {
    std::lock_guard lock(mutex_);
    path_ = path;
    disabled_ = disabled;
    if (disabled) return;

    std::wstring name = path.empty() ? L"RenewixLog.txt" : path;
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

    file_ = PermissionManager::CreateFileManager();
    open_ = false;
    if (!file_->Open(filePath, GENERIC_READ | GENERIC_WRITE, disposition, 0)) return;
    open_ = true;
    static const unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
    file_->Write(kByteOrderMark, 2);
    WriteLocked(HeadingLine(L"Logging started"));
    const bool piped = dynamic_cast<PermissionManager::StandardFileManagement*>(file_.get()) == nullptr;
    if (piped) WriteLocked(HeadingLine(L"Permission management service is active"));
}

void Log::Stop() {
    WriteEntry(L"End of recording");
    std::lock_guard lock(mutex_);
    if (file_) file_->Close();
    file_.reset();
    open_ = false;
}

bool Log::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void Log::WriteLocked(const std::wstring& line) {
    if (file_) file_->Write(line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)));
}

void Log::WriteLine(const std::wstring& line) {
    std::lock_guard lock(mutex_);
    WriteLocked(line);
}

std::wstring Log::HeadingLine(const std::wstring& text) {
    const bool first = !g_firstHeadingWritten.exchange(true);
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

void Log::WriteNumber(const std::wstring& title, int number) {
    WriteLine(L"\t" + title + L":\t" + std::to_wstring(number) + L"\r\n");
}

void Log::WriteValueNumber(const std::wstring& title, const std::wstring& value, int number) {
    WriteLine(L"\t" + title + L":\t" + value + L", " + std::to_wstring(number) + L"\r\n");
}

void Log::WriteBlank() { WriteEntry(L""); }

void Log::WriteRaw(const void* data, unsigned long count) {
    std::lock_guard lock(mutex_);
    if (file_) file_->Write(data, count);
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
