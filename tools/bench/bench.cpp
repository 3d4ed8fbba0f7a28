// Measurements for scripts/bench, one per run so each process's peak memory is its own:
//   renewix_bench crc FILE            ComputeFileCrc against zlib over the same 4096-byte reads
//   renewix_bench transfer FILE DIR   the client's file-share transfer of FILE into DIR
//   renewix_bench copy FILE DIR       CopyFileW of FILE into DIR
//   renewix_bench http PORT NAME SIZE DIR [CRC]   the client's HTTP transfer of http://127.0.0.1:PORT/NAME
//   renewix_bench wininet PORT NAME [READ]   a bare WinINet loop over the same URL (same flags, 8 KiB
//                                     reads or READ bytes)
//   renewix_bench patch BASE PATCH OUT SIZE   ApplyPatchFile of PATCH to BASE into OUT
// Each prints "name seconds peak-working-set-MiB" lines; patch-apply gives the peak private
// bytes instead of the working set.
#include <windows.h>
#include <psapi.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "foundation/win_resource.h"
#include "foundation/client_config.h"
#include "foundation/crc32.h"
#include "foundation/file_management.h"
#include "foundation/log.h"
#include "foundation/run_state.h"
#include "description/variables.h"
#include "transfer/downloader.h"
#include "transfer/file_transfer.h"
#include "transfer/http_downloader.h"
#include "transfer/patch.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double PeakMiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

void Report(const char* name, double seconds) { std::printf("%s %.3f %.1f\n", name, seconds, PeakMiB()); }

std::uint32_t ZlibFileCrc(const std::wstring& path) {
    renewix::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<unsigned char> buffer(4096);
    uLong crc = crc32(0, nullptr, 0);
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer.data(), 4096, &read, nullptr) && read > 0) crc = crc32(crc, buffer.data(), read);
    return static_cast<std::uint32_t>(crc);
}

// The share the bench reads from, whatever the (empty) record says.
ServerSettings g_benchSettings;
std::unique_ptr<IFileDownloader> BenchDownloader(const std::wstring&, const ServerSettings&,
                                                 const TransferContext& context) {
    return CreateDownloader(L"file:", g_benchSettings, context);
}

std::unique_ptr<IFileDownloader> HttpBenchDownloader(const std::wstring&, const ServerSettings&,
                                                     const TransferContext& context) {
    return std::make_unique<HTTPFileDownloader>(g_benchSettings, context);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring mode = argv[1], file = argv[2];
    if (mode == L"crc") {
        // Alternating rounds, best of each: the first reads of a file pay for warming caches.
        double best[2] = {1e9, 1e9};
        std::uint32_t ours = 0, theirs = 0;
        for (int round = 0; round < 5; ++round) {
            auto start = std::chrono::steady_clock::now();
            CCrc32Static::ComputeFileCrc(file, ours);
            best[0] = std::min(best[0], Seconds(start));
            start = std::chrono::steady_clock::now();
            theirs = ZlibFileCrc(file);
            best[1] = std::min(best[1], Seconds(start));
        }
        Report("client-crc", best[0]);
        Report("zlib-crc", best[1]);
        return ours == theirs ? 0 : 1;
    }
    if (mode == L"wininet" && argc >= 4) {
        auto start = std::chrono::steady_clock::now();
        UniqueInternet session(InternetOpenW(L"RenewixAgent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        UniqueInternet connection(InternetConnectW(session.get(), L"127.0.0.1", static_cast<INTERNET_PORT>(_wtoi(argv[2])),
                                                   nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        UniqueInternet request(HttpOpenRequestW(connection.get(), L"GET", (L"/" + std::wstring(argv[3])).c_str(), nullptr,
                                                nullptr, nullptr, HTTPFileDownloader::kRequestFlags, 0));
        if (!request || !HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) return 1;
        // 8 KiB reads, or the size given: the bare loop at the client's read size bounds what the
        // client can do on this WinINet.
        const DWORD size = argc >= 5 ? static_cast<DWORD>(_wtoi(argv[4])) : 8192;
        std::vector<char> buffer(size);
        unsigned long long total = 0;
        for (DWORD read = 0; InternetReadFile(request.get(), buffer.data(), size, &read) && read > 0;) total += read;
        Report("wininet-loop", Seconds(start));
        return total > 0 ? 0 : 1;
    }
    if (mode == L"http" && argc >= 6) {
        ServerSettings settings;
        settings.Protocol = settings.FilesProtocol = L"http://";
        settings.Address = L"127.0.0.1/update.xml";
        settings.FilesAddress = L"127.0.0.1/";
        settings.Port = settings.FilesPort = argv[2];
        settings.SeparateFilesLocation = 1;
        g_benchSettings = settings;
        ClientConfig config;
        RunState state;
        Log log;
        TextVariables variables(config, state, log);
        ServerSelection selection(config, TransferContext{log, variables}, HttpBenchDownloader);
        PermissionManager::StandardFileManagement files(log);
        CFileTransfer transfer(selection, files, nullptr, nullptr);
        auto start = std::chrono::steady_clock::now();
        // A file is continued after a cut only when it is checked at the end: the CRC, when given.
        const std::uint32_t crc = argc >= 7 ? static_cast<std::uint32_t>(wcstoul(argv[6], nullptr, 16)) : 0;
        const bool ok = transfer.TransferFile(argv[5], argv[3], argv[3], static_cast<std::uint32_t>(_wtoi(argv[4])), crc);
        Report("client-http", Seconds(start));
        return ok ? 0 : 1;
    }
    if (mode == L"patch" && argc >= 6) {
        Log log;
        PermissionManager::StandardFileManagement files(log);
        // Wine gives the private bytes of the moment (the process's anonymous resident pages),
        // not a peak: a sampler keeps the largest it saw while the patch is applied.
        std::atomic<SIZE_T> peakPrivate{0};
        const auto sample = [&] {
            PROCESS_MEMORY_COUNTERS_EX counters{};
            counters.cb = sizeof(counters);
            if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                     sizeof(counters))) {
                peakPrivate = std::max<SIZE_T>(peakPrivate, std::max(counters.PrivateUsage, counters.PeakPagefileUsage));
            }
        };
        std::jthread sampler([&](std::stop_token stop) {
            while (!stop.stop_requested()) {
                sample();
                Sleep(1);
            }
        });
        auto start = std::chrono::steady_clock::now();
        const PatchOutcome outcome =
            ApplyPatchFile(files, argv[2], argv[3], argv[4], {static_cast<std::uint64_t>(_wtoi64(argv[5])), 0, std::nullopt});
        const double seconds = Seconds(start);
        sampler.request_stop();
        sampler.join();
        sample();
        std::printf("patch-apply %.3f %.1f\n", seconds, static_cast<double>(peakPrivate.load()) / (1024.0 * 1024.0));
        std::printf("patch-working-set %.3f %.1f\n", seconds, PeakMiB());
        return outcome == PatchOutcome::Applied ? 0 : 1;
    }
    if (argc < 4) return 2;
    const std::wstring folder = argv[3];
    const std::wstring name = file.substr(file.rfind(L'\\') + 1);
    if (mode == L"copy") {
        auto start = std::chrono::steady_clock::now();
        const BOOL ok = CopyFileW(file.c_str(), (folder + L"\\" + name).c_str(), FALSE);
        Report("copyfile", Seconds(start));
        return ok ? 0 : 1;
    }
    if (mode == L"transfer") {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 1;
        std::uint32_t crc = 0;
        CCrc32Static::ComputeFileCrc(file, crc);
        ClientConfig config;  // no record: the downloader below carries the settings
        RunState state;
        Log log;
        TextVariables variables(config, state, log);
        ServerSettings settings;
        settings.Protocol = L"file:";
        settings.SeparateFilesLocation = 1;
        settings.FilesAddress = file.substr(0, file.rfind(L'\\'));
        settings.Address = file;  // Connect opens the document location: any readable file serves
        g_benchSettings = settings;
        ServerSelection selection(config, TransferContext{log, variables}, BenchDownloader);
        PermissionManager::StandardFileManagement files(log);
        CFileTransfer transfer(selection, files, nullptr, nullptr);
        auto start = std::chrono::steady_clock::now();
        const bool ok = transfer.TransferFile(folder, name, name, data.nFileSizeLow, crc);
        Report("client-transfer", Seconds(start));
        return ok ? 0 : 1;
    }
    return 2;
}
