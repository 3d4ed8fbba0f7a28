// Records, a scripted downloader and the recorders of what a transfer shows, for the transfer tests.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "config/settings_file.h"
#include "foundation/cancellation.h"
#include "foundation/client_config.h"
#include "foundation/download_sink.h"
#include "foundation/text.h"
#include "foundation/user_prompts.h"
#include "transfer/downloader.h"

// One server's settings, the rest left empty.
inline ServerSettings Server(const std::wstring& protocol, const std::wstring& address,
                             const std::wstring& port = L"") {
    ServerSettings settings;
    settings.Protocol = protocol;
    settings.Address = address;
    settings.Port = port;
    return settings;
}

// A record from settings text, as the configuration tool would write it.
inline ClientConfig ConfigFrom(const std::wstring& settings) {
    ClientConfig::Bytes bytes{};
    std::wstring error;
    if (!ParseSettings(settings, bytes, error)) ADD_FAILURE() << "settings refused: " << WideToUtf8(error);
    ClientConfig config;
    config.LoadFromBytes(bytes.data(), bytes.size());
    return config;
}

// A server whose file arrives in the chunks a test lays out, reporting the size it is told.
class ScriptedDownloader : public IFileDownloader {
public:
    static inline std::deque<std::string> chunks;
    static inline std::int64_t reportedSize = -1;
    static inline renewix::Cancellation* cancelAtLastChunk = nullptr;  // as a Cancel that cuts a read short

    ScriptedDownloader(const ServerSettings& settings, const TransferContext& context)
        : IFileDownloader(settings, context) {}
    std::optional<XmlDocument> LoadDocument() override { return std::nullopt; }
    bool OpenDownloadFile(const std::wstring&) override { return true; }
    bool OpenDocumentFile() override { return true; }
    DWORD Read(void* buffer, DWORD size) override {
        if (chunks.empty()) return 0;
        if (chunks.size() == 1 && cancelAtLastChunk) cancelAtLastChunk->Cancel();
        std::string chunk = chunks.front();
        chunks.pop_front();
        const DWORD count = static_cast<DWORD>(chunk.size() < size ? chunk.size() : size);
        memcpy(buffer, chunk.data(), count);
        return count;
    }
    void CloseFile() override {}
    std::wstring CanonicalizeUrl(const std::wstring& url) override { return url; }
    std::wstring GetDocumentUrl() override { return L"scripted"; }
    std::wstring GetFilesBaseUrl() override { return L"scripted"; }
    std::wstring DescribeLastError() override { return L"scripted failure"; }
    bool GetFileTimes(FILETIME*, FILETIME*, FILETIME*) override { return false; }
    std::int64_t GetFileSize() override { return reportedSize; }
    bool Connect() override { return true; }
    bool IsInternetAvailable() override { return true; }

    static std::unique_ptr<IFileDownloader> Make(const std::wstring&, const ServerSettings& settings,
                                                 const TransferContext& context) {
        return std::make_unique<ScriptedDownloader>(settings, context);
    }
};

// The download page's part: what it was told, in order, and every progress report.
struct SinkRecorder : IDownloadSink {
    std::vector<std::string> calls;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    void Begin(int count, std::uint64_t total) override {
        calls.push_back("begin " + std::to_string(count) + " " + std::to_string(total));
    }
    void File(const std::wstring&, std::uint64_t size) override { calls.push_back("file " + std::to_string(size)); }
    void FileWhole(std::uint64_t size) override { calls.push_back("whole " + std::to_string(size)); }
    void Progress(std::uint64_t done, std::uint64_t size) override { progress.emplace_back(done, size); }
    void Done(int count) override { calls.push_back("done " + std::to_string(count)); }
    void Failed() override { calls.push_back("failed"); }
};

// The prompts the wizard would show, recorded; no credentials are given.
struct PromptRecorder : IUserPrompts {
    std::wstring shown, errors, errorTitle;
    bool AskCredentials(CredentialKind, std::wstring*, std::wstring*) override { return false; }
    void ShowError(const std::wstring& text, const std::wstring& title) override {
        errors += text;
        errorTitle = title;
    }
    void ShowClosingMessage(const std::wstring& text) override { shown = text; }
};
