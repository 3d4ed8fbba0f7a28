// The piped client against the real pipe server, run in this process on pipe and event
// names of its own; raw clients for what the piped client never sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "description/signed_document.h"
#include "foundation/crypto.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/trusted_keys.h"
#include "service/pipe_protocol.h"
#include "service/pipe_security.h"
#include "service/pipe_server.h"
#include "service/pipe_session.h"
#include "service/piped_file_management.h"
#include "service/service_root.h"
#include "service/staged_document.h"
#include "service_support.h"
#include "test_support.h"

namespace {

namespace Wire = PermissionManager::Wire;
using PermissionManager::IManagedFile;
using PermissionManager::PipedFile;
using PermissionManager::PipedFileManagement;

// The service's id of a file opened through the pipe; 0 for none.
std::uint32_t RemoteId(const std::unique_ptr<IManagedFile>& file) {
    const auto* piped = dynamic_cast<const PipedFile*>(file.get());
    return piped ? piped->RemoteFile() : 0;
}

// What the server reports, kept instead of shown.
template <typename Item>
class Reports {
public:
    void Add(Item item) {
        std::lock_guard hold(lock_);
        items_.push_back(std::move(item));
    }
    std::vector<Item> Take() {
        std::lock_guard hold(lock_);
        return std::exchange(items_, {});
    }

private:
    std::mutex lock_;
    std::vector<Item> items_;
};

struct ReportedError {
    std::wstring text;
    DWORD code;
};
Reports<ReportedError> g_errors;
Reports<std::wstring> g_refusals;

void RecordError(const std::wstring& text) {
    const DWORD code = GetLastError();
    g_errors.Add({text, code});
}
void RecordRefusal(const std::wstring& line) { g_refusals.Add(line); }

// The key this test's "vendor" signs with.
const Ed25519Seed kVendorSeed = SeedOf(7);

// A service rooted in `root` (at its final path, as the service finds its own), trusting the
// vendor's key, serving this test's own executable.
PermissionManager::ServiceSettings TestSettings(const std::wstring& root) {
    PermissionManager::ServiceSettings settings;
    settings.scope.root = PermissionManager::ServiceRoot(root + L"\\renewix.exe").path();
    settings.scope.logFile = settings.scope.root + L"RenewixLog.txt";
    settings.scope.statusFile = settings.scope.root + L"RenewixStatus.xml";
    settings.keys = TrustedKeys({PublicKeyFor(kVendorSeed)});
    settings.instance = 7;
    settings.ownImage = PermissionManager::OwnNativeImage();
    settings.reportRefusal = RecordRefusal;
    return settings;
}

// A client that writes whatever bytes it is given and reads with a time limit.
class RawClient {
public:
    // Waits out a busy moment (every instance taken while the server makes the next one), as
    // the real client does; under load that moment can be long.
    explicit RawClient(const std::wstring& pipe) : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        WaitUntil(
            [&] {
                handle_.reset(CreateFileW(pipe.c_str(), PermissionManager::kPipeClientAccess, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OVERLAPPED, nullptr));
                return handle_.valid() || GetLastError() != ERROR_PIPE_BUSY;
            });
    }

    bool Send(Wire::Bytes bytes) { return Transfer(true, bytes.data(), bytes.size()) == bytes.size(); }
    bool SendRequest(const Wire::Request& request) { return Send(FrameOf(request)); }
    // Exactly `count` bytes; nothing when the service ended the connection. A service that
    // does neither within the limit fails the test.
    std::optional<Wire::Bytes> Receive(std::size_t count) {
        Wire::Bytes bytes(count);
        for (std::size_t got = 0; got < count;) {
            bool late = false;
            const std::optional<DWORD> done = Transfer(false, bytes.data() + got, count - got, &late);
            if (done.value_or(0) == 0) {
                if (late) ADD_FAILURE() << "the service neither answered nor ended the connection";
                return std::nullopt;
            }
            got += *done;
        }
        return bytes;
    }
    std::optional<std::int32_t> Result() {
        const std::optional<Wire::Bytes> reply = Receive(4);
        if (!reply) return std::nullopt;
        return static_cast<std::int32_t>(Wire::GetU32(reply->data()));
    }
    bool Greet() {
        if (!SendRequest(Wire::GreetingRequest{})) return false;
        const std::optional<Wire::Bytes> reply = Receive(5);
        return reply && std::equal(reply->begin(), reply->end(), std::begin(Wire::kHello));
    }
    // Whether the service has ended this connection.
    bool Ended() {
        std::uint8_t byte;
        bool late = false;
        return !Transfer(false, &byte, 1, &late) && !late;
    }

private:
    // One write or read, waited for at most 10 s: the bytes it moved; nothing when it failed,
    // or when the limit passed (then it is cancelled and `late` set).
    std::optional<DWORD> Transfer(bool write, std::uint8_t* data, std::size_t count, bool* late = nullptr) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        const DWORD size = static_cast<DWORD>(count);
        const BOOL started = write ? WriteFile(handle_.get(), data, size, nullptr, &overlapped)
                                   : ReadFile(handle_.get(), data, size, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING) return std::nullopt;
        DWORD done = 0;
        if (WaitForSingleObject(event_.get(), 10000) != WAIT_OBJECT_0) {
            CancelIoEx(handle_.get(), &overlapped);
            GetOverlappedResult(handle_.get(), &overlapped, &done, TRUE);
            if (late) *late = true;
            return std::nullopt;
        }
        if (!GetOverlappedResult(handle_.get(), &overlapped, &done, FALSE)) return std::nullopt;
        return done;
    }

    renewix::UniqueFile handle_;
    renewix::UniqueHandle event_;
};

// Paths in the service's staging folder, where every file operation is served.
struct StagingFolder {
    std::wstring root;
    std::wstring path() const { return root; }
    std::wstring operator/(const std::wstring& name) const { return root + L"\\" + name; }
};

class PipeSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_errors.Take();
        g_refusals.Take();
        ASSERT_TRUE(server_.Ready());
        files_.emplace(server_.pipe());
        ASSERT_TRUE(files_->IsConnected());
    }
    void TearDown() override {
        server_.Stop();
        for (const ReportedError& error : g_errors.Take()) ADD_FAILURE() << WideToUtf8(error.text);
    }

    ScratchFolder product_{L"pipe"};
    StagingFolder folder_{MadeFolder(product_ / L"RenewixFiles")};
    LocalServer server_{TestSettings(product_.path()), RecordError};
    std::optional<PipedFileManagement> files_;  // connected in SetUp

private:
    static std::wstring MadeFolder(const std::wstring& path) {
        CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }
};

TEST_F(PipeSessionTest, EveryFileOperationThroughThePipe) {
    const std::wstring path = folder_ / L"upper\\lower\\data.bin";
    std::unique_ptr<IManagedFile> file = files_->Open(path, GENERIC_WRITE, CREATE_ALWAYS, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(RemoteId(file), 1u);
    // More than one request carries: the client sends it in pieces.
    std::string data(20000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(file->Write(data.data(), static_cast<DWORD>(data.size())), 1);
    SYSTEMTIME when{2004, 5, 0, 6, 7, 8, 9, 0};
    FILETIME time;
    SystemTimeToFileTime(&when, &time);
    file->SetTimes(time, time, time);
    EXPECT_EQ(file->Write("", 0), 1);
    EXPECT_EQ(file->Close(), 1);
    EXPECT_EQ(RemoteId(file), 0u);
    EXPECT_EQ(file->Close(), 1);  // nothing open: nothing sent
    EXPECT_EQ(file->Write("x", 1), 0);
    EXPECT_EQ(ReadFileBytes(path), data);
    WIN32_FILE_ATTRIBUTE_DATA facts;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &facts));
    EXPECT_EQ(CompareFileTime(&facts.ftLastWriteTime, &time), 0);

    file = files_->Open(path, GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(RemoteId(file), 1u);  // a connection of its own
    std::string back;
    std::vector<char> buffer(30000);
    for (DWORD got; (got = file->Read(buffer.data(), static_cast<DWORD>(buffer.size()))) != 0;) {
        EXPECT_LE(got, Wire::kMaxTransfer);  // a larger read is asked for in the largest piece
        back.append(buffer.data(), got);
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(file->Close(), 1);

    EXPECT_EQ(files_->GetAttributes(path) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(files_->GetAttributes(folder_ / L"upper") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(files_->GetAttributes(folder_ / L"missing"), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"other.txt", "other"));
    EXPECT_EQ(files_->Move(path, folder_ / L"other.txt"), 0);  // never over an existing file
    EXPECT_EQ(files_->Move(path, folder_ / L"moved\\data.bin"), 1);
    EXPECT_EQ(ReadFileBytes(folder_ / L"moved\\data.bin"), data);
    EXPECT_EQ(files_->Delete(folder_ / L"moved\\data.bin"), 1);
    EXPECT_EQ(files_->Delete(folder_ / L"moved\\data.bin"), 0);
    EXPECT_EQ(files_->MakeDirectories(folder_ / L"a\\b\\c"), 1);
    EXPECT_TRUE(IsFolderPath(folder_ / L"a\\b\\c"));
    EXPECT_EQ(files_->DeleteTree(folder_ / L"a"), 1);
    EXPECT_FALSE(Exists(folder_ / L"a"));
    EXPECT_EQ(files_->DeleteTree(folder_ / L"never"), 1);
    EXPECT_EQ(files_->Unzip(folder_ / L"missing.zip", folder_ / L"out"), 0);  // nothing to authorise it

    // A relative path means the client's folder, so the client resolves it before sending.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(folder_.path().c_str()));
    file = files_->Open(L"relative.txt", GENERIC_WRITE, CREATE_ALWAYS, 0);
    SetCurrentDirectoryW(previous);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Close(), 1);
    EXPECT_TRUE(Exists(folder_ / L"relative.txt"));

    // A path too long for its field is refused here, and the connection goes on.
    EXPECT_EQ(files_->Open(folder_ / std::wstring(300, L'n'), GENERIC_WRITE, CREATE_ALWAYS, 0), nullptr);
    EXPECT_EQ(files_->GetAttributes(folder_ / L"other.txt") & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

std::string HexOf(const std::string& bytes) {
    return WideToUtf8(HexText(Sha256Of(bytes.data(), bytes.size())));
}

// A document listing two files in the program's folder and one machine-wide value, signed
// with `seed`.
std::string SignedDocument(const std::string& data, const std::string& library, const Ed25519Seed& seed) {
    const std::string document =
        "<?xml version=\"1.0\"?>\r\n<Renewix><UpdateVersion>2.0</UpdateVersion>"
        "<Expires>2099-01-01T00:00:00Z</Expires><FileList><Directory Name=\"&lt;ApplicationDir&gt;\">"
        "<File Name=\"data.txt\" Src=\"f/\" Size=\"" + std::to_string(data.size()) + "\" CRC=\"0\" SHA256=\"" +
        HexOf(data) + "\"/><File Name=\"probe.dll\" Src=\"f/\" Register=\"True\" Size=\"" +
        std::to_string(library.size()) + "\" CRC=\"0\" SHA256=\"" + HexOf(library) +
        "\"/><Directory Name=\"plugins\"><File Name=\"extra.txt\" Src=\"f/\" Size=\"" + std::to_string(data.size()) +
        "\" CRC=\"0\" SHA256=\"" + HexOf(data) + "\"/></Directory></Directory></FileList>"
        "<RegList><Key Name=\"HKEY_LOCAL_MACHINE\"><Key Name=\"Software\">"
        "<Key Name=\"RenewixPipeTest\"><Value Name=\"Version\" Action=\"Add REG_SZ 2.0\"/></Key></Key></Key>"
        "</RegList></Renewix>\r\n";
    return SignedBytes(document, seed);
}

// The server runs in this process, so the hive it writes is a stand-in. Only what a document
// signed with the vendor's key lists is placed, registered or written, and a file the service
// set aside goes back only with the bytes it had.
TEST_F(PipeSessionTest, OnlyWhatTheSignedDocumentListsIsPlaced) {
    RegistryOverride registry{HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    ASSERT_TRUE(registry.active());
    const std::string data = "version 2 data";
    const std::string library = ReadFileBytes(ApplicationDirectory() + L"host_probe.dll");
    ASSERT_FALSE(library.empty());
    const auto stage = [&](const std::wstring& name, const std::string& bytes) {
        std::unique_ptr<IManagedFile> file = files_->Open(folder_ / name, GENERIC_WRITE, CREATE_ALWAYS, 0);
        return file && file->Write(bytes.data(), static_cast<DWORD>(bytes.size())) && file->Close();
    };
    const std::wstring placed = product_ / L"data.txt";
    ASSERT_TRUE(stage(L"UpdateFile1", data));
    ASSERT_TRUE(stage(L"UpdateFile2", library));
    ASSERT_TRUE(stage(L"forged", "forged bytes"));
    ASSERT_TRUE(WriteFileBytes(placed, "version 1 data"));

    // Nothing is authorised by a missing, a foreign or an altered document.
    std::string altered = SignedDocument(data, library, kVendorSeed);
    altered[altered.find("2.0")] = '3';
    for (const std::string& document : {std::string(), SignedDocument(data, library, SeedOf(8)), altered}) {
        ASSERT_TRUE(document.empty() || stage(L"update.xml", document));
        EXPECT_EQ(files_->Move(placed, folder_ / L"data.bak"), 0);
        EXPECT_EQ(files_->UpdateRegistry(L"HKEY_LOCAL_MACHINE\\Software\\RenewixPipeTest", L"Version",
                                         L"Add REG_SZ 2.0"), 0);
    }
    EXPECT_EQ(ReadFileBytes(placed), "version 1 data");

    ASSERT_TRUE(stage(L"update.xml", SignedDocument(data, library, kVendorSeed)));
    // The old file set aside comes back only as it was, and from any connection: a client
    // started again puts back what an ended one set aside.
    EXPECT_EQ(files_->Move(placed, folder_ / L"data.bak"), 1);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"data.bak", "changed in staging"));
    EXPECT_EQ(files_->Move(folder_ / L"data.bak", placed), 0);
    ASSERT_TRUE(WriteFileBytes(folder_ / L"data.bak", "version 1 data"));
    EXPECT_EQ(PipedFileManagement(server_.pipe()).Move(folder_ / L"data.bak", placed), 1);
    EXPECT_EQ(files_->Move(placed, folder_ / L"data.bak"), 1);

    EXPECT_EQ(files_->Move(folder_ / L"forged", placed), 0);                  // not the listed bytes
    {
        // Bytes that could still change after the hash are never placed.
        renewix::UniqueFile writer(CreateFileW((folder_ / L"UpdateFile1").c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer.valid());
        EXPECT_EQ(files_->Move(folder_ / L"UpdateFile1", placed), 0);
    }
    EXPECT_EQ(files_->Move(folder_ / L"UpdateFile1", placed), 1);
    EXPECT_EQ(ReadFileBytes(placed), data);
    // A folder on the way to a listed file goes only when it is empty; no other folder goes.
    ASSERT_EQ(files_->MakeDirectories(product_ / L"plugins"), 1);
    ASSERT_TRUE(WriteFileBytes(product_ / L"plugins\\user.txt", "the user's"));
    EXPECT_EQ(files_->Delete(product_ / L"plugins"), 0);
    EXPECT_EQ(ReadFileBytes(product_ / L"plugins\\user.txt"), "the user's");
    ASSERT_TRUE(DeleteFileW((product_ / L"plugins\\user.txt").c_str()));
    EXPECT_EQ(files_->Delete(product_ / L"plugins"), 1);
    EXPECT_FALSE(Exists(product_ / L"plugins"));

    EXPECT_EQ(files_->RegisterServer(product_ / L"probe.dll"), 0);  // not placed yet
    EXPECT_EQ(files_->Move(folder_ / L"UpdateFile2", product_ / L"probe.dll"), 1);
    EXPECT_EQ(files_->RegisterServer(product_ / L"probe.dll"), 1);
    EXPECT_TRUE(Exists(product_ / L"probe.dll.host"));
    // Unregistering is carried out, not refused, and fails: this library has no DllUnregisterServer.
    EXPECT_EQ(files_->UnregisterServer(product_ / L"probe.dll"), 0);
    EXPECT_TRUE(Exists(product_ / L"probe.dll.host"));

    const std::wstring key = L"HKEY_LOCAL_MACHINE\\Software\\RenewixPipeTest";
    EXPECT_EQ(files_->UpdateRegistry(key, L"Version", L"Add REG_SZ 2.0"), 1);
    wchar_t written[8] = {};
    DWORD size = sizeof(written);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\RenewixPipeTest", L"Version", RRF_RT_REG_SZ, nullptr,
                           written, &size),
              ERROR_SUCCESS);
    EXPECT_WSTREQ8(L"2.0", written);

    // A document once carried out cannot be used again below a newer one's floor.
    ASSERT_TRUE(PermissionManager::RaiseVersionFloor(7, L"3.0"));
    EXPECT_EQ(files_->UpdateRegistry(key, L"Version", L"Add REG_SZ 2.0"), 0);

    // A refusal is reported with its request and path.
    const std::vector<std::wstring> refusals = g_refusals.Take();
    EXPECT_NE(std::find(refusals.begin(), refusals.end(),
                        L"Request refused: Move (1005) " + (folder_ / L"forged")), refusals.end());
    EXPECT_EQ(std::find(refusals.begin(), refusals.end(),
                        L"Request refused: UnregisterServer (1015) " + (product_ / L"probe.dll")), refusals.end());
}

// The records of what the service set aside are its instance's, in the registry: a client
// talking to the service after it restarted still puts a file back, only where it came from,
// and the last record gone leaves no key behind. No client can grow them without bound:
// beyond the limit nothing is set aside.
TEST_F(PipeSessionTest, SetAsideFilesGoBackAfterARestartAndOnlyUpToTheLimit) {
    RegistryOverride registry{HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    ASSERT_TRUE(registry.active());
    const std::wstring placed = product_ / L"data.txt";
    ASSERT_TRUE(WriteFileBytes(folder_ / L"update.xml", SignedDocument("version 2 data", "library", kVendorSeed)));
    ASSERT_TRUE(WriteFileBytes(placed, "version 1 data"));
    const auto records = [] {
        renewix::UniqueRegKey key;
        DWORD count = 0;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Renewix\\PermissionManager\\SetAside7", 0, KEY_READ,
                          key.put()) != ERROR_SUCCESS) {
            return -1;
        }
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr);
        return static_cast<int>(count);
    };
    EXPECT_EQ(PipedFileManagement(server_.pipe()).Move(placed, folder_ / L"data.bak"), 1);
    EXPECT_EQ(records(), 1);
    server_.Stop();

    LocalServer restarted(TestSettings(product_.path()), RecordError);
    ASSERT_TRUE(restarted.Ready());
    PipedFileManagement files(restarted.pipe());
    EXPECT_EQ(files.Move(folder_ / L"data.bak", product_ / L"probe.dll"), 0);  // listed, but not where it was
    EXPECT_EQ(files.Move(folder_ / L"data.bak", placed), 1);
    EXPECT_EQ(ReadFileBytes(placed), "version 1 data");
    EXPECT_EQ(records(), -1);

    using Records = PermissionManager::SetAsideRecords;
    const Records full(7);  // the test server's instance
    for (DWORD i = 0; i < Records::kMaxRecords; ++i) {
        ASSERT_TRUE(full.Note({0, 0xFFFFFFFF, i}, product_ / L"old.txt", Sha256Digest{}));
    }
    EXPECT_EQ(files.Move(placed, folder_ / L"data.bak"), 0);
    EXPECT_EQ(ReadFileBytes(placed), "version 1 data");
    full.Forget({0, 0xFFFFFFFF, 0});
    EXPECT_EQ(files.Move(placed, folder_ / L"data.bak"), 1);
}

// Without a document the policy leaves everything outside staging as it is, but for the
// service's own log; its table decides the rest.
TEST_F(PipeSessionTest, NothingOutsideStagingChangesWithoutADocument) {
    ASSERT_TRUE(WriteFileBytes(product_ / L"kept.txt", "kept"));
    EXPECT_EQ(files_->Open(product_ / L"kept.txt", GENERIC_WRITE, OPEN_EXISTING, 0), nullptr);
    EXPECT_NE(files_->Open(product_ / L"kept.txt", GENERIC_READ, OPEN_EXISTING, 0), nullptr);
    EXPECT_EQ(files_->Delete(product_ / L"kept.txt"), 0);
    EXPECT_EQ(ReadFileBytes(product_ / L"kept.txt"), "kept");
    std::unique_ptr<IManagedFile> log = files_->Open(product_ / L"RenewixLog.txt", GENERIC_WRITE, CREATE_ALWAYS, 0);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->Write("line", 4), 1);
}

// Each file is served on a connection of its own: two are open at once, and the path
// operations go on beside them; a file whose owner goes is closed by the service.
TEST_F(PipeSessionTest, TwoFilesOpenAtOnceEachOnItsOwnConnection) {
    const std::wstring first = folder_ / L"first.txt";
    ASSERT_TRUE(WriteFileBytes(first, "1"));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"second.txt", "22"));
    auto one = files_->Open(first, GENERIC_READ, OPEN_EXISTING, 0);
    const auto two = files_->Open(folder_ / L"second.txt", GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    char buffer[4];
    EXPECT_EQ(two->Read(buffer, 4), 2u);
    EXPECT_EQ(one->Read(buffer, 4), 1u);
    EXPECT_NE(files_->GetAttributes(first), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(DeleteFileW(first.c_str()));  // held open by the service
    one.reset();
    EXPECT_TRUE(WaitUntil([&] { return DeleteFileW(first.c_str()) != FALSE; }));
    EXPECT_EQ(two->Read(buffer, 4), 0u);  // at its end, and still served
}

// The download worker and the window's thread share the run's manager: their requests on its
// one connection never interleave.
TEST_F(PipeSessionTest, PathOperationsFromTwoThreadsStayInStep) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"file.txt", "f"));
    std::atomic<int> wrong{0};
    const auto ask = [&](const std::wstring& path, bool folder) {
        for (int i = 0; i < 200; ++i) {
            const DWORD attributes = files_->GetAttributes(path);
            if (attributes == INVALID_FILE_ATTRIBUTES || ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) ++wrong;
        }
    };
    std::thread other(ask, folder_.path(), true);
    ask(folder_ / L"file.txt", false);
    other.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(files_->IsConnected());
}

// What a connection may not send ends it, and only it: bytes that are no request, ids it never
// issued, a failed open, an open beyond the limit.
TEST_F(PipeSessionTest, ARefusedRequestEndsOnlyItsOwnConnection) {
    ASSERT_TRUE(WriteFileBytes(folder_ / L"f.txt", "f"));
    const Wire::OpenRequest open{GENERIC_READ, OPEN_EXISTING, 0, folder_ / L"f.txt"};
    Wire::Bytes unterminated;
    Wire::PutU32(unterminated, Wire::kGetAttributes);
    for (std::size_t i = 0; i < Wire::kPathUnits; ++i) unterminated.insert(unterminated.end(), {'C', 0});
    const struct {
        const char* what;
        Wire::Bytes frame;
        std::uint32_t opens = 0;  // files opened first
        bool closeLast = false;   // and the last of them closed again
    } rows[] = {
        {"opcode 1337", {0x39, 0x05, 0, 0}},
        {"a path without terminator", unterminated},
        {"a close of an id never issued", FrameOf(Wire::CloseRequest{2}), 1},
        {"a read of an id never issued", FrameOf(Wire::ReadRequest{2, 1}), 1},
        {"a write to an id never issued", FrameOf(Wire::WriteRequest{2}), 1},
        {"times of an id never issued", FrameOf(Wire::SetTimesRequest{{}, {}, {}, 2}), 1},
        {"a failed open", FrameOf(Wire::OpenRequest{GENERIC_READ, OPEN_EXISTING, 0, folder_ / L"missing.txt"})},
        // Ids are never reused: with the 50th closed, this would still be the 51st.
        {"a 51st open", FrameOf(open), Wire::kMaxFilesPerConnection, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RawClient raw(server_.pipe());
        ASSERT_TRUE(raw.Greet());
        for (std::uint32_t id = 1; id <= row.opens; ++id) {
            ASSERT_TRUE(raw.SendRequest(open));
            ASSERT_EQ(raw.Result(), static_cast<std::int32_t>(id));
        }
        if (row.closeLast) {
            ASSERT_TRUE(raw.SendRequest(Wire::CloseRequest{row.opens}));
            EXPECT_EQ(raw.Result(), 1);
        }
        ASSERT_TRUE(raw.Send(row.frame));
        EXPECT_TRUE(raw.Ended());
        EXPECT_NE(files_->GetAttributes(folder_.path()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_TRUE(RawClient(server_.pipe()).Greet());
}

// Every file and folder under `folder` but `skip`, with the files' bytes, attributes and times.
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder, const std::wstring& skip = L"") {
    std::map<std::wstring, std::string> found;
    ForEachChild(folder, [&](const std::wstring& name, bool isFolder) {
        const std::wstring path = folder + L"\\" + name;
        if (path == skip) return;
        WIN32_FILE_ATTRIBUTE_DATA facts{};
        GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &facts);
        found[path] = (isFolder ? "" : ReadFileBytes(path)) + " " + std::to_string(facts.dwFileAttributes) + " " +
                      std::to_string(facts.ftLastWriteTime.dwLowDateTime);
        if (isFolder) found.merge(Snapshot(path, skip));
    });
    return found;
}

// The file a request names; 0 for none.
template <typename Request>
std::uint32_t FileNamed(const Request& request) {
    if constexpr (requires { request.fileId; }) return request.fileId;
    return 0;
}

// Random and damaged requests on raw connections: at staging, the rest of the served folder,
// folders beside it and spellings that lead elsewhere; malformed, cut short, and naming files
// never opened. No document is staged, so nothing outside staging may change and no key may
// be made; a malformed request ends its own connection, and a fresh client is still served.
TEST_F(PipeSessionTest, BoundedFuzzLeavesTheServerServing) {
    RegistryOverride registry{HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_USER};
    ASSERT_TRUE(registry.active());
    // Beside the served folder, and a folder whose path starts as the served folder's does.
    ScratchFolder outside(L"fuzz"), lookalike(L"pipe-" + std::to_wstring(GetCurrentProcessId()) + L"x");
    const std::wstring staging = folder_.path(), r = product_.path(), o = outside.path();
    for (const std::wstring& folder : {r, o, lookalike.path(), staging}) {
        ASSERT_TRUE(CreateDirectoryW((folder + L"\\b").c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(folder + L"\\a", "a") && WriteFileBytes(folder + L"\\b\\c", "c"));
    }
    const auto everything = [&] { return std::array{Snapshot(r, staging), Snapshot(o), Snapshot(lookalike.path())}; };
    const auto before = everything();
    FuzzNumbers next(20260514);
    const auto pick = [&](const auto& from) { return from[next(std::size(from))]; };
    // Half the paths at staging, where everything is served, or at the rest of the served folder;
    // the others anywhere, beside it and spelled to lead elsewhere too. Names that exist, so that
    // what is done shows.
    const std::wstring places[] = {
        staging + L"\\", r + L"\\", o + L"\\", lookalike.path() + L"\\", staging + L"\\..\\", staging + L"/",
        staging + L"\\.\\", staging + L"\\..\\..\\" + o.substr(o.rfind(L'\\') + 1) + L"\\", staging + L"\\\\",
        L"\\\\?\\" + staging + L"\\", L"\\\\localhost\\" + o.substr(0, 1) + L"$" + o.substr(2) + L"\\"};
    const wchar_t* names[] = {L"a", L"b\\c", L"a", L"b\\c", L"b", L"n", L"a.", L"a:s", L"nul.txt", L"b\\..\\a"};
    const auto path = [&] { return places[next(2) ? next(2) : next(std::size(places))] + pick(names); };
    const wchar_t* keys[] = {L"HKEY_LOCAL_MACHINE", L"HKEY_CLASSES_ROOT", L"HKEY_USERS\\.DEFAULT", L"HKEY_CURRENT_USER",
                             L"HKLM"};
    const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE, DELETE};
    const Wire::Opcode pathOps[] = {Wire::kDelete,     Wire::kGetAttributes,  Wire::kMakeDirectories,
                                    Wire::kDeleteTree, Wire::kRegisterServer, Wire::kUnregisterServer};
    std::uint32_t issued = 0;  // files opened on the current connection
    const Wire::OpenRequest first{GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, 0, staging + L"\\f"};
    // A file of this connection's, or any id, most of which it never issued.
    const auto id = [&] { return next(2) ? 1 + next(issued) : 1 + next(Wire::kMaxFilesPerConnection); };
    const auto request = [&]() -> Wire::Request {
        const std::wstring key = pick(keys) + std::wstring(L"\\Software\\RenewixFuzz");
        switch (next(12)) {
            case 0: return Wire::GreetingRequest{};
            case 1: case 2: return Wire::OpenRequest{pick(access), 1 + next(5), 0, path()};
            case 3: return Wire::WriteRequest{id()};
            case 4: return Wire::ReadRequest{id(), next(9000)};
            case 5: return Wire::CloseRequest{id()};
            case 6: return Wire::SetTimesRequest{{}, {}, {next(0xFFFFFFFF), 0x01D00000}, id()};
            case 7: return Wire::MoveRequest{path(), path()};
            case 8: case 9: return Wire::PathRequest{pick(pathOps), path()};
            case 10:
                if (next(2)) return Wire::QueryRegistryRequest{key + L"\\v", L"REG_SZ"};
                return Wire::UpdateRegistryRequest{key, L"v", next(2) ? L"Create" : L"Add REG_SZ fuzz"};
            default: return Wire::UnzipRequest{path(), path()};
        }
    };
    std::optional<RawClient> raw;
    int sent = 0, answered = 0;
    for (; sent < 1000; ++sent) {  // bounded by count, not time, so every run sends the same requests
        if (!raw) {
            // Retried: a session that has just ended may still count against this process.
            ASSERT_TRUE(WaitUntil([&] { return raw.emplace(server_.pipe()).Greet(); }, 5000)) << sent;
            ASSERT_TRUE(raw->SendRequest(first));  // a file for the requests that name one
            ASSERT_EQ(raw->Result(), 1);
            issued = 1;
        }
        Wire::Bytes frame = next(16) == 0 ? RandomFrame(next) : FrameOf(request());
        if (next(6) == 0 && !frame.empty()) Damage(frame, next);
        // The service reads the opcode, then a known opcode's payload; more would be the next request.
        const std::size_t length =
            4 + (frame.size() < 4 ? 0 : Wire::PayloadSize(Wire::GetU32(frame.data())).value_or(0));
        frame.resize(std::min(frame.size(), length));
        ASSERT_TRUE(raw->Send(frame)) << sent;
        if (frame.size() < length) {  // the service waits for the rest
            raw.reset();
            continue;
        }
        const Wire::ParsedRequest parsed = Wire::ParseRequest(frame);
        if (!parsed || std::visit([](const auto& any) { return FileNamed(any); }, parsed.request) > issued) {
            ASSERT_TRUE(raw->Ended()) << "request " << sent << " was malformed or named a file never opened";
            raw.reset();
            continue;
        }
        const std::uint32_t opcode = Wire::OpcodeOf(parsed.request);
        ASSERT_TRUE(opcode != Wire::kWrite || raw->Send(Wire::Bytes(1 + next(64), 'w')));  // a write's data
        const std::optional<Wire::Bytes> reply =
            raw->Receive(opcode == Wire::kGreeting ? 5 : opcode == Wire::kQueryRegistry ? Wire::kTextReplyBytes : 4);
        if (opcode == Wire::kOpen && !reply) {  // a refused or failed open ends the connection
            raw.reset();
            continue;
        }
        ASSERT_TRUE(reply) << "request " << sent << " went unanswered";
        const std::uint32_t result = Wire::GetU32(reply->data());
        if (opcode == Wire::kOpen) ++issued;
        ASSERT_TRUE(opcode != Wire::kOpen || result == issued) << "ids are given in turn";
        if (opcode == Wire::kRead) {
            ASSERT_LE(result, std::get<Wire::ReadRequest>(parsed.request).count);
            ASSERT_TRUE(raw->Receive(result));
        }
        ++answered;
    }
    EXPECT_GT(answered, sent / 4);  // the requests reach past the first checks
    EXPECT_EQ(everything(), before);
    wchar_t made[256] = {};
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_USER}) {
        EXPECT_EQ(RegEnumKeyW(root, 0, made, 256), ERROR_NO_MORE_ITEMS) << WideToUtf8(made);
    }
    EXPECT_NE(PipedFileManagement(server_.pipe()).GetAttributes(r), INVALID_FILE_ATTRIBUTES);
}

// Clients that open the pipe and close it again at once, before the server listens on the
// instance they took, never stop the service for everyone else.
TEST_F(PipeSessionTest, ClientsThatComeAndGoAtOnceLeaveTheServiceServing) {
    for (int i = 0; i < 300; ++i) {
        RawClient gone(server_.pipe());
    }
    PipedFileManagement files(server_.pipe());
    EXPECT_TRUE(files.IsConnected());
    // A failure the server reported fails the test in TearDown.
    EXPECT_NE(files.GetAttributes(folder_.path()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PipeSessionTest, StoppingEndsIdleSessionsAndTheirConnections) {
    server_.Stop();  // returns only when every session has ended
    EXPECT_EQ(files_->GetAttributes(folder_.path()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(files_->IsConnected());
}

TEST_F(PipeSessionTest, AClientFromAnotherExecutableIsRefused) {
    const std::wstring helper = ApplicationDirectory() + L"test_tool.exe";
    std::wstring command = L"\"" + helper + L"\" greet " + server_.pipe();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(helper.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    renewix::UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 1u);  // "refused"
    // This test's own executable is the server's: it is served.
    EXPECT_TRUE(PipedFileManagement(server_.pipe()).IsConnected());
}

// A stand-in server on a pipe of its own that answers greetings its way and counts them.
class FakeServer {
public:
    FakeServer(bool trustedOwner, const char (&answer)[6]) : name_(UniquePipeName(L"RenewixFake")) {
        PermissionManager::PipeSecurity security;
        pipe_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1024, 8192,
                                     1000, trustedOwner ? security.attributes() : nullptr));
        std::memcpy(answer_, answer, 5);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        // A connection that never came is ended by connecting to it ourselves.
        renewix::UniqueFile unblock(CreateFileW(name_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        unblock.reset();
        thread_.join();
    }
    const std::wstring& name() const { return name_; }
    int greetings() const { return greetings_; }

private:
    void Serve() {
        if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        std::uint8_t request[9];
        for (;;) {
            DWORD got = 0, total = 0;
            while (total < sizeof(request) && ReadFile(pipe_.get(), request + total, sizeof(request) - total, &got,
                                                       nullptr) && got > 0) {
                total += got;
            }
            if (total < sizeof(request)) return;
            ++greetings_;
            DWORD written = 0;
            if (!WriteFile(pipe_.get(), answer_, 5, &written, nullptr)) return;
        }
    }

    std::wstring name_;
    renewix::UniqueFile pipe_;
    char answer_[5];
    std::atomic<int> greetings_{0};
    std::thread thread_;
};

TEST(PipedFileManagement, AGreetingAnsweredWronglyThreeTimesLeavesTheClientUnconnected) {
    FakeServer fake(true, "nope!");
    PipedFileManagement files(fake.name());
    EXPECT_FALSE(files.IsConnected());
    EXPECT_EQ(fake.greetings(), PipedFileManagement::kGreetingAttempts);
    // Every request fails at once, without a pipe (they share one exchange).
    EXPECT_EQ(files.GetAttributes(L"C:\\"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(files.Move(L"C:\\a", L"C:\\b"), 0);
    EXPECT_EQ(files.Unzip(L"C:\\a.zip", L"C:\\d"), 0);  // nothing extracted, not "cannot open"
}

TEST(PipedFileManagement, APipeAnOrdinaryProgramMadeIsNotTrusted) {
    FakeServer squatter(false, "hello");
    PipedFileManagement files(squatter.name());
    EXPECT_FALSE(files.IsConnected());
    EXPECT_EQ(squatter.greetings(), 0);  // nothing was sent to it
}

TEST(PipeServer, RefusesAPipeNameAnotherProcessAlreadyServes) {
    g_errors.Take();
    const std::wstring name = UniquePipeName(L"RenewixSquat");
    renewix::UniqueFile squatter(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 1024, 1024,
                                                  1000, nullptr));
    ASSERT_TRUE(squatter.valid());
    Log log;
    ScratchFolder root(L"squat");
    PermissionManager::PipeServer server(name, TestSettings(root.path()), RecordError, log);
    renewix::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(server.Run(stop.get()));  // returns at once
    const std::vector<ReportedError> errors = g_errors.Take();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_WSTREQ8(L"Unable to create a named pipe", errors[0].text);
    EXPECT_EQ(errors[0].code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// The handler itself refuses ids it never issued, whatever its caller checked first.
TEST(RequestHandler, NoIdIsIssuedBeforeAnOpen) {
    ScratchFolder folder(L"handler");
    Log log;
    const PermissionManager::ServiceSettings settings = TestSettings(folder.path());
    PermissionManager::RequestHandler handler(settings, log);
    EXPECT_FALSE(handler.Handle(Wire::CloseRequest{1}).has_value());
    EXPECT_FALSE(handler.HandleWrite(1, {}).has_value());
}

}  // namespace
