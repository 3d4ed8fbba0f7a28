// Fetches update files from the working server with size and CRC checks.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "transfer/downloader.h"
#include "ui/wizard_messages.h"


class CFileTransfer {
public:
    // Silent exactly when the run's UI kind is silent.
    explicit CFileTransfer(HWND owner);
    // For tests: an explicit server selection and silence.
    CFileTransfer(HWND owner, ServerSelection& selection, bool silent);
    virtual ~CFileTransfer() = default;

    // Fetches remoteName into localDirectory\localName; false after any failure, which
    // has been logged and (unless silent) shown.
    bool TransferFile(const std::wstring& localDirectory, const std::wstring& remoteName,
                      const std::wstring& localName, std::uint32_t expectedSize, std::uint32_t expectedCrc);
    // A transfer that finds `*stop` set deletes what it wrote and fails quietly.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    void ReportDownloadError(const std::wstring& errorText, const std::wstring& fileName, std::uint32_t expectedSize,
                             std::uint32_t actualSize);

    static constexpr std::size_t kBufferSize = 8192;
    static constexpr std::size_t kDumpSize = 1600;

private:
    void ShowError(const std::wstring& text, const wchar_t* caption);

    HWND owner_;
    int silent_;
    ServerSelection& selection_;
    std::array<std::uint8_t, kBufferSize> buffer_{};
    const std::atomic<bool>* stop_ = nullptr;
};
