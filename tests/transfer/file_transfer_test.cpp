#include "transfer/file_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fake_file_management.h"
#include "foundation/win_resource.h"
#include "test_support.h"
#include "transfer/transfer_support.h"

namespace {

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(com_.succeeded());
        CreateDirectoryW((folder_ / L"server").c_str(), nullptr);
        CreateDirectoryW((folder_ / L"server\\bin").c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(folder_ / L"server\\update.xml", "<Renewix/>"));
        config_ = ConfigFrom(L"[PrimaryServer]\nDocumentProtocol=file:\nDocumentAddress=" +
                             (folder_ / L"server\\update.xml") + L"\n");
    }

    // A test that sets the scripted server's failures sets them for its own transfers only.
    void TearDown() override {
        ScriptedDownloader::cancelAtLastChunk = nullptr;
    }

    std::wstring Local() const { return folder_ / L"downloads\\UpdateFile1"; }

    renewix::ScopedComInit com_;
    ScratchFolder folder_{L"transfer"};
    ClientConfig config_;
    TestRun run_;
    PermissionManager::StandardFileManagement files_{TestLog()};
};

// What a transfer from a file: server leaves and says. A successful transfer's log is given
// whole; a failed one's must hold the part given. Every server file carries the same date.
TEST_F(TransferTest, EachFileIsCheckedAgainstTheDocument) {
    const std::string body(20000, 'b'), nine = "123456789", real(5000, 'r');
    // As long as the dump of the last chunk, in UTF-16, so that the dump reads back as text.
    std::string dump, dumped;
    while (dump.size() < CFileTransfer::kDumpSize) dump.append("d\0u\0m\0p\0", 8), dumped += "dump";
    // The size and CRC made to match the document's: only the hash tells it apart.
    std::string forged = real;
    forged.replace(100, 20, "something else here!");
    ASSERT_TRUE(ForgeCrc(forged, 200, CrcOf(real)));
    ASSERT_NE(forged, real);
    const Sha256Digest realSha = Sha256Of(real.data(), real.size());
    const auto fetched = [](const std::string& remote, std::uint32_t crc) {
        return "\tDownload fetched whole:\t" + remote + "\r\n" +
               (crc ? "\tFile download success:\t" + remote + ", " + std::to_string(static_cast<int>(crc)) + "\r\n" : "") +
               "\tEnd of recording\r\n";
    };
    const std::string shaError = "\r\nFile SHA-256 error. Exiting.\r\n\tFile:\tbin/forged.dll\r\n\tExpected SHA-256:\t" +
                                 WideToUtf8(HexText(realSha)) + "\r\n\tDetected SHA-256:\t" +
                                 WideToUtf8(HexText(Sha256Of(forged.data(), forged.size()))) + "\r\n";
    const std::string dashes(47, '-');
    struct Row {
        const char* what;
        const wchar_t* remote;
        const std::string* server;  // the file the server holds; null: none
        std::uint64_t size;
        std::uint32_t crc;
        std::optional<Sha256Digest> sha256;
        bool result;
        std::string logged;
        bool keepLocalTimes = false;  // as a client that trusts only signed content: the server's times are not
    };
    const Row rows[] = {
        {"a good file", L"bin/app.dll", &body, 20000, CrcOf(body), {}, true, fetched("bin/app.dll", CrcOf(body))},
        {"without a CRC: no check and no success line", L"bin/app.dll", &body, 20000, 0, {}, true,
         fetched("bin/app.dll", 0)},
        {"keeping local times", L"bin/app.dll", &body, 20000, CrcOf(body), {}, true, fetched("bin/app.dll", CrcOf(body)),
         true},
        {"a zero size touches nothing", L"never/there.bin", nullptr, 0, 0x1234, {}, true, "\tEnd of recording\r\n"},
        // The dump is the last chunk's bytes, straight into the UTF-16 log.
        {"the server's file is longer", L"big.bin", &dump, 4, 0, {}, false,
         "\r\nFile download errors\r\n\tFilename: big.bin\r\nExpected file size: 4\r\nActual file size: " +
             std::to_string(dump.size()) + "\r\n"
         "\r\n\r\nDiagnosis of failure may be possible from this dump of the last buffer transfer:\r\n"
         "\r\nResult of file download: big.bin\r\n\r\n" + dashes + "\r\n" + dumped + "\r\n\r\n" + dashes + "\r\n\t\r\n\r\n"},
        {"the server's file is shorter", L"short.bin", &nine, 100, 0, {}, false, "Actual file size: 9\r\n"},
        {"no such file", L"bin/none.dll", nullptr, 10, 0, {}, false,
         "\tCritical error connecting to file server:\tbin/none.dll\r\n"},
        {"a CRC that does not match", L"bin/nine.dll", &nine, 9, 0x12345678, {}, false,
         "\r\nFile CRC error. Exiting.\r\n\tFile:\tbin/nine.dll\r\n\tExpected CRC:\t305419896\r\n"
         "\tDetected CRC:\t-873187034\r\n"},
        {"a CRC that matches", L"bin/nine.dll", &nine, 9, 0xCBF43926, {}, true, fetched("bin/nine.dll", 0xCBF43926)},
        {"a forged CRC fails the hash", L"bin/forged.dll", &forged, 5000, CrcOf(real), realSha, false, shaError},
        {"the hash is checked without a CRC", L"bin/forged.dll", &forged, 5000, 0, realSha, false, shaError},
    };
    SYSTEMTIME when{2015, 3, 0, 4, 5, 6, 7, 0};
    FILETIME stamp;
    SystemTimeToFileTime(&when, &stamp);
    const std::wstring downloads = folder_ / L"downloads";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchFolder::RemoveTree(downloads);
        std::wstring serverPath = folder_ / L"server\\" + row.remote;
        std::replace(serverPath.begin(), serverPath.end(), L'/', L'\\');
        if (row.server) {
            ASSERT_TRUE(WriteFileBytes(serverPath, *row.server));
            renewix::UniqueFile file(
                CreateFileW(serverPath.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &stamp));
        }
        ServerSelection selection(config_, run_.transfer);
        CFileTransfer transfer(selection, files_, nullptr, nullptr);
        if (row.keepLocalTimes) transfer.KeepLocalTimes();
        CapturedLog captured(folder_ / L"transfer.log");
        EXPECT_EQ(transfer.TransferFile(downloads, row.remote, L"UpdateFile1", row.size, row.crc, row.sha256),
                  row.result);
        const std::string log = captured.Finish();
        if (!row.result) {
            EXPECT_NE(log.find(row.logged), std::string::npos) << log;
            // A file that failed its checks must not be found by the next run as "already downloaded".
            EXPECT_FALSE(Exists(Local()));
        } else if (row.size == 0) {
            EXPECT_EQ(log, row.logged);
            EXPECT_FALSE(Exists(downloads));
        } else {
            EXPECT_EQ(log, row.logged);
            EXPECT_EQ(ReadFileBytes(Local()), *row.server);
            // Only the checked file takes its name: nothing partial stays beside it.
            EXPECT_FALSE(Exists(Local() + L".partial"));
            EXPECT_FALSE(Exists(Local() + L".resume"));
            WIN32_FILE_ATTRIBUTE_DATA data;
            ASSERT_TRUE(GetFileAttributesExW(Local().c_str(), GetFileExInfoStandard, &data));
            EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &stamp) == 0, !row.keepLocalTimes);
        }
    }
}

// Servers that send what a test lays out: what a transfer from each leaves and says. Every
// failure but a Cancel is reported with the dump, and what was written goes.
TEST_F(TransferTest, ScriptedServers) {
    constexpr std::uint64_t kChunk = CFileTransfer::kBufferSize;
    using Reports = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    struct Row {
        const char* what;
        std::int64_t reportedSize;  // -1: unknown
        std::deque<std::string> chunks;
        std::uint64_t size;
        std::vector<std::string> logged;
        bool result = false;
        bool cancelled = false;  // a Cancel cuts the last read short
        std::size_t writesFailAfter = SIZE_MAX;
        Reports progress = {};  // when given, every progress report
    };
    const Row rows[] = {
        {"an unknown size that grows too long", 0, {std::string(8192, 'a'), std::string(8192, 'c'), std::string(10, 'd')},
         10000, {"Actual file size: 16384\r\n"}},
        {"an unknown size that ends at the size", 0, {std::string(3000, 'e'), std::string(2000, 'f')}, 5000, {}, true},
        // An end before the size is a dropped connection, tried again and then reported. Sizes are
        // counted as they are: 4 GiB + 10 against 10 bytes sent is short, not a wrapped match.
        {"a size beyond 32 bits", -1, {std::string(10, 'w')}, 0x10000000Aull,
         {"The connection ended early, trying again:\tf.bin, 10\r\n", "Expected file size: 4294967306\r\n"}},
        // A Cancel that cuts a read short (the closed handle makes it return nothing) is no
        // download error: no dump, no box.
        {"a cancelled read", 300, {std::string(100, 'c'), std::string(100, 'd')}, 300,
         {"File transfer cancelled:\tf.bin"}, false, true},
        {"a write that fails part-way", 8292, {std::string(8192, 'a'), std::string(100, 'b')}, 8292,
         {"Actual file size: 8292\r\n"}, false, false, 8192},
        {"progress after every chunk", 2 * kChunk + 100,
         {std::string(kChunk, 'p'), std::string(kChunk, 'q'), std::string(100, 'r')}, 2 * kChunk + 100, {}, true, false,
         SIZE_MAX, {{kChunk, 2 * kChunk + 100}, {2 * kChunk, 2 * kChunk + 100}, {2 * kChunk + 100, 2 * kChunk + 100}}},
    };
    const std::wstring local = L"C:\\downloads\\UpdateFile1", partial = local + L".partial";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TestRun run;
        FakeFileManagement files;
        files.FailWritesAfter(partial, row.writesFailAfter);
        ScriptedDownloader::reportedSize = row.reportedSize;
        ScriptedDownloader::chunks = row.chunks;
        ScriptedDownloader::cancelAtLastChunk = row.cancelled ? &run.cancellation : nullptr;
        ServerSelection selection(config_, run.transfer, ScriptedDownloader::Make);
        SinkRecorder recorder;
        CFileTransfer transfer(selection, files, &recorder, nullptr);
        transfer.SetRetryPause(1);
        CapturedLog captured(folder_ / L"scripted.log");
        EXPECT_EQ(transfer.TransferFile(L"C:\\downloads", L"f.bin", L"UpdateFile1", row.size, 0), row.result);
        const std::string log = captured.Finish();
        for (const std::string& line : row.logged) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_EQ(log.find("File download errors") != std::string::npos, !row.result && !row.cancelled) << log;
        std::string sent;
        for (const std::string& chunk : row.chunks) sent += chunk;
        EXPECT_EQ(files.HasFile(local), row.result);
        EXPECT_EQ(files.FileBytes(local), row.result ? sent : "");
        EXPECT_FALSE(files.HasFile(partial));
        const std::vector<std::wstring> calls = files.Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), L"Delete " + partial), row.result ? 0 : 1);
        if (!row.progress.empty()) {
            EXPECT_EQ(recorder.progress, row.progress);
        }
    }
}

// A server that keeps one version of a file, drops connections where a test says and goes on
// from an offset when asked for the version it holds.
class RangedDownloader : public ScriptedDownloader {
public:
    static inline std::string body;
    static inline std::wstring version = L"v1";
    static inline std::deque<std::size_t> dropAfter;  // per open: bytes sent before the drop
    static inline std::vector<std::pair<std::uint64_t, std::uint64_t>> opens;  // asked, given
    static inline renewix::Cancellation* cancelAt = nullptr;  // cancelled at the first drop
    static inline bool sendsFromStart = false;  // says it goes on, sends from byte 0

    using ScriptedDownloader::ScriptedDownloader;
    bool OpenDownloadFileFrom(const std::wstring&, std::uint64_t offset, const std::wstring& validator,
                              std::uint64_t* start) override {
        position_ = offset > 0 && validator == version ? offset : 0;
        *start = position_;
        if (sendsFromStart) position_ = 0;
        opens.emplace_back(offset, *start);
        left_ = dropAfter.empty() ? body.size() : dropAfter.front();
        if (!dropAfter.empty()) dropAfter.pop_front();
        return true;
    }
    DWORD Read(void* buffer, DWORD size) override {
        const std::size_t count = std::min({static_cast<std::size_t>(size), body.size() - position_, left_});
        if (count == 0 && cancelAt && position_ < body.size()) cancelAt->Cancel();
        memcpy(buffer, body.data() + position_, count);
        position_ += count;
        left_ -= count;
        return static_cast<DWORD>(count);
    }
    std::wstring Validator() override { return version; }
    std::int64_t GetFileSize() override { return static_cast<std::int64_t>(body.size()); }
    static std::unique_ptr<IFileDownloader> Make(const std::wstring&, const ServerSettings& settings,
                                                 const TransferContext& context) {
        return std::make_unique<RangedDownloader>(settings, context);
    }

private:
    std::size_t position_ = 0;
    std::size_t left_ = 0;
};

// A connection that drops is tried again from where it stopped. After the last new attempt,
// or a Cancel, the file fails and what arrived waits for the next run, which goes on from it
// (the bytes the server sends add up to the file once) only while the server holds the same
// version and the bytes check out.
TEST_F(TransferTest, WhatArrivedIsContinued) {
    RangedDownloader::body.clear();
    for (int i = 0; i < 1000; ++i) RangedDownloader::body += static_cast<char>('a' + i % 26);
    const std::string& body = RangedDownloader::body;
    // A transfer of a run of its own: a Cancel ends only that run.
    const auto transfer = [&](std::string* log, bool cancelAtDrop) {
        TestRun run;
        RangedDownloader::cancelAt = cancelAtDrop ? &run.cancellation : nullptr;
        ServerSelection selection(config_, run.transfer, RangedDownloader::Make);
        CFileTransfer transfer(selection, files_, nullptr, nullptr);
        transfer.SetRetryPause(1);
        CapturedLog captured(folder_ / L"continued.log");
        const bool ok = transfer.TransferFile(folder_ / L"downloads", L"f.bin", L"UpdateFile1", body.size(), CrcOf(body),
                                              Sha256Of(body.data(), body.size()));
        *log = captured.Finish();
        return ok;
    };
    using Opens = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    const Opens fourDrops = {{0, 0}, {100, 100}, {200, 200}, {300, 300}};
    const std::string refetched = "The continued download failed its checks, fetching it whole again:\tf.bin\r\n";
    const struct {
        const char* what;
        std::deque<std::size_t> dropAfter;
        bool cancelled;
        Opens opens;
        std::vector<std::string> logged;
        std::size_t kept;  // what waits for the next run; 0: the file arrived
        // For the next run: bytes written over the kept ones, the server's version and answer.
        std::string keptBytes = "";
        std::wstring nextVersion = L"v1";
        bool sendsFromStart = false;  // says it goes on, sends from byte 0
        Opens nextOpens = {};  // none given: it goes on from what was kept
        std::string nextLogged = "";
    } rows[] = {
        {"more drops than new attempts", {100, 100, 100, 100}, false, fourDrops, {"File download errors"}, 400},
        {"a Cancel", {250}, true, {{0, 0}}, {"File transfer cancelled:\tf.bin"}, 250},
        {"the server's file changed", {100, 100, 100, 100}, false, fourDrops, {}, 400, "", L"v2", false, {{400, 0}},
         "Download fetched whole:\tf.bin\r\n"},
        {"the kept bytes are wrong", {100, 100, 100, 100}, false, fourDrops, {}, 400, std::string(400, '?'), L"v1", false,
         {{400, 400}, {0, 0}}, refetched},
        {"the server sends from byte 0 though it said it goes on", {100, 100, 100, 100}, false, fourDrops, {}, 400, "",
         L"v1", true, {{400, 400}, {0, 0}}, refetched},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RangedDownloader::version = L"v1";
        RangedDownloader::sendsFromStart = false;
        RangedDownloader::opens.clear();
        RangedDownloader::dropAfter = row.dropAfter;
        std::string log;
        EXPECT_EQ(transfer(&log, row.cancelled), row.kept == 0) << log;
        EXPECT_EQ(RangedDownloader::opens, row.opens);
        for (const std::string& line : row.logged) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_EQ(Exists(Local() + L".resume"), row.kept > 0);
        if (row.kept == 0) {
            EXPECT_EQ(ReadFileBytes(Local()), body);
            EXPECT_FALSE(Exists(Local() + L".partial"));
            continue;
        }
        EXPECT_EQ(ReadFileBytes(Local() + L".partial"), body.substr(0, row.kept));
        EXPECT_FALSE(Exists(Local()));

        if (!row.keptBytes.empty()) {
            ASSERT_TRUE(WriteFileBytes(Local() + L".partial", row.keptBytes));
        }
        RangedDownloader::opens.clear();
        RangedDownloader::version = row.nextVersion;
        RangedDownloader::sendsFromStart = row.sendsFromStart;
        ASSERT_TRUE(transfer(&log, false)) << log;
        EXPECT_EQ(ReadFileBytes(Local()), body);
        EXPECT_EQ(RangedDownloader::opens, (row.nextOpens.empty() ? Opens{{row.kept, row.kept}} : row.nextOpens));
        const std::string continued = "Download continued from byte:\tf.bin, " + std::to_string(row.kept) + "\r\n";
        EXPECT_NE(log.find(row.nextLogged.empty() ? continued : row.nextLogged), std::string::npos) << log;
    }
}

TEST_F(TransferTest, AnUpdateNotMadeKeepsOnlyThePartialDownloads) {
    const std::wstring downloads = folder_ / L"downloads";
    ASSERT_TRUE(PermissionManager::MakeDirectoryPath(downloads + L"\\sub"));
    for (const wchar_t* name : {L"a.dll.partial", L"a.dll.resume", L"UpdateFile1", L"sub\\b.partial"}) {
        ASSERT_TRUE(WriteFileBytes(downloads + L"\\" + name, "x"));
    }
    ClearDownloadsKeepingPartials(files_, downloads);
    EXPECT_TRUE(Exists(downloads + L"\\a.dll.partial"));
    EXPECT_TRUE(Exists(downloads + L"\\a.dll.resume"));
    EXPECT_FALSE(Exists(downloads + L"\\UpdateFile1"));
    EXPECT_FALSE(Exists(downloads + L"\\sub"));
}

}  // namespace
