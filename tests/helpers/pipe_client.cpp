// Test helper for the permission manager. Started with a permission-manager keyword it is
// the service's own program, as Renewix.exe is; a copy configured with an instance number
// can so install itself as a service and then be that service's accepted client.
//   pipe_client greet <pipe>               "connected" or "refused"
//   pipe_client security <pipe>            the pipe's owner and access list (SDDL)
//   pipe_client exercise <pipe> <folder>   a file written and read back through the pipe: "ok"
//   pipe_client probe <pipe> <operation> <argument>...
//                                          one request on a connection of its own: the result, the
//                                          text in quotes, "ended" or "refused" (not served at all).
//                                          Open <path> read|write; Write <path> <local file> (an open
//                                          for writing, the file's bytes, a close); Move, Unzip <a> <b>;
//                                          Delete, GetAttributes, MakeDirectories, DeleteTree,
//                                          RegisterServer, UnregisterServer <path>; UpdateRegistry <key> <value> <action>;
//                                          QueryRegistry <path> <type>
//   pipe_client fuzz <pipe> <count> <seconds> <seed> <root> <outside folder> <registry key>
//   pipe_client squat <pipe>               serves "hello" on a pipe of its own until killed
//   pipe_client service <name>             "state=N pid=N path=..." or "absent"
//   pipe_client error-box                  the text of an "Error" message box, which it closes
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/client_config.h"
#include "foundation/file_bytes.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "service/permission_service.h"
#include "service/pipe_protocol.h"
#include "service/pipe_security.h"
#include "service/piped_file_management.h"

namespace Wire = PermissionManager::Wire;

namespace {

void Print(const std::wstring& text) {
    const std::string bytes = WideToUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

int Greet(const std::wstring& pipe) {
    PermissionManager::PipedFileManagement client(pipe);
    Print(client.IsConnected() ? L"connected" : L"refused");
    return client.IsConnected() ? 0 : 1;
}

int Security(const std::wstring& pipe) {
    // The pipe's free instance may be serving someone else for a moment: wait for it, as a
    // client would. The service drops a program it does not know at once, so the instance
    // may be gone before it is asked: ask again on a new one, for a while.
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool opened = false;
    DWORD error = ERROR_SUCCESS;
    for (const ULONGLONG deadline = GetTickCount64() + 30000; !descriptor && GetTickCount64() < deadline;) {
        renewix::UniqueFile handle(
            CreateFileW(pipe.c_str(), PermissionManager::kPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!handle) {
            error = GetLastError();
            if (error != ERROR_PIPE_BUSY) break;
            WaitNamedPipeW(pipe.c_str(), 1000);
            continue;
        }
        opened = true;
        if (GetSecurityInfo(handle.get(), SE_KERNEL_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
            ERROR_SUCCESS) {
            descriptor = nullptr;
            Sleep(50);
        }
    }
    if (!descriptor) {
        Print(opened ? std::wstring(L"no descriptor") : FormatText(L"no pipe (%lu)", error));
        return 1;
    }
    renewix::UniqueLocalMem held(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr)) {
        return 1;
    }
    renewix::UniqueLocalMem heldText(text);
    Print(text);
    return 0;
}

int Exercise(const std::wstring& pipe, const std::wstring& folder) {
    PermissionManager::PipedFileManagement client(pipe);
    if (!client.IsConnected()) {
        Print(L"refused");
        return 1;
    }
    const std::wstring path = folder + L"\\exercise.txt";
    const char text[] = "through the pipe";
    char back[64] = {};
    const auto written = client.Open(path, GENERIC_WRITE, CREATE_ALWAYS, 0);
    const bool stored = written && written->Write(text, sizeof(text)) && written->Close();
    const auto read = stored ? client.Open(path, GENERIC_READ, OPEN_EXISTING, 0) : nullptr;
    const bool ok = read && read->Read(back, sizeof(back)) == sizeof(text) &&
                    std::memcmp(back, text, sizeof(text)) == 0 && read->Close();
    Print(ok ? L"ok" : L"failed");
    return ok ? 0 : 1;
}

// ---- One request ----------------------------------------------------------------------

std::optional<Wire::Request> ProbeRequest(const std::vector<std::wstring>& a) {
    static const std::pair<const wchar_t*, Wire::Opcode> kPathOps[] = {
        {L"Delete", Wire::kDelete}, {L"GetAttributes", Wire::kGetAttributes},
        {L"MakeDirectories", Wire::kMakeDirectories}, {L"DeleteTree", Wire::kDeleteTree},
        {L"RegisterServer", Wire::kRegisterServer}, {L"UnregisterServer", Wire::kUnregisterServer}};
    const std::wstring& op = a[0];
    if (op == L"Open" && a.size() == 3 && (a[2] == L"read" || a[2] == L"write")) {
        return a[2] == L"read" ? Wire::OpenRequest{GENERIC_READ, OPEN_EXISTING, 0, a[1]}
                               : Wire::OpenRequest{GENERIC_WRITE, CREATE_ALWAYS, 0, a[1]};
    }
    if (op == L"Write" && a.size() == 3) return Wire::OpenRequest{GENERIC_WRITE, CREATE_ALWAYS, 0, a[1]};
    if (op == L"Move" && a.size() == 3) return Wire::MoveRequest{a[1], a[2]};
    if (op == L"Unzip" && a.size() == 3) return Wire::UnzipRequest{a[1], a[2]};
    if (op == L"UpdateRegistry" && a.size() == 4) return Wire::UpdateRegistryRequest{a[1], a[2], a[3]};
    if (op == L"QueryRegistry" && a.size() == 3) return Wire::QueryRegistryRequest{a[1], a[2]};
    for (const auto& [name, opcode] : kPathOps) {
        if (op == name && a.size() == 2) return Wire::PathRequest{opcode, a[1]};
    }
    return std::nullopt;
}

int Probe(const std::wstring& pipe, const std::vector<std::wstring>& args) {
    const std::optional<Wire::Request> request = args.empty() ? std::nullopt : ProbeRequest(args);
    std::string source;
    if (!request || (args[0] == L"Write" && !ReadWholeFile(args[2], source, 16 << 20))) {
        Print(L"usage: see the top of pipe_client.cpp");
        return 2;
    }
    PermissionManager::PipeConnection connection(pipe);
    if (!connection.IsConnected()) {
        Print(L"refused");
        return 1;
    }
    const bool text = std::holds_alternative<Wire::QueryRegistryRequest>(*request);
    Wire::Bytes reply(text ? Wire::kTextReplyBytes : 4);
    if (!connection.Send(*request) || !connection.ReceiveExact(reply.data(), reply.size())) {
        Print(L"ended");
        return 0;
    }
    if (text) {
        Print(L"\"" + Wire::DecodeTextReply(reply) + L"\"");
        return 0;
    }
    const auto result = static_cast<std::int32_t>(Wire::GetU32(reply.data()));
    if (args[0] != L"Write") {
        Print(std::to_wstring(result));
        return 0;
    }
    PermissionManager::PipedFile file(std::move(connection), static_cast<std::uint32_t>(result));
    Print(file.Write(source.data(), static_cast<DWORD>(source.size())) && file.Close() ? L"1" : L"0");
    return 0;
}

// ---- Fuzzing -------------------------------------------------------------------------

// Where the requests aim: the service's folder R, a folder beside it and a registry key under
// some root key. Nothing is filtered here: what lies out of bounds is sent, and its refusal
// by the service is what the fuzzer checks.
struct Territory {
    std::wstring root;      // R, without a trailing backslash
    std::wstring outside;   // a folder that is not under R
    std::wstring registry;  // "Software\\..." without a root key

    std::wstring Staging() const { return root + L"\\RenewixFiles"; }
};

enum class Place { Staging, Product, Refused };

bool IsUnder(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() && path[folder.size()] == L'\\' &&
           EqualsNoCase(std::wstring_view(path).substr(0, folder.size()), folder);
}

// Whether a drive path is free of every spelling the service never admits ("..", ".", empty
// components, trailing dots or blanks, short names, streams, forward slashes).
bool PlainSpelling(const std::wstring& path) {
    if (path.size() < 4 || path[1] != L':' || path[2] != L'\\') return false;
    std::wstring body = path.substr(3);
    if (body.back() == L'\\') body.pop_back();
    for (const wchar_t c : body) {
        if (c < 0x20 || c == L'/' || c == L':') return false;
    }
    for (std::size_t start = 0;;) {
        const std::size_t end = body.find(L'\\', start);
        const std::wstring name = body.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
        for (std::size_t at = name.find(L'~'); at != std::wstring::npos; at = name.find(L'~', at + 1)) {
            if (at + 1 < name.size() && name[at + 1] >= L'0' && name[at + 1] <= L'9') return false;
        }
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

class Fuzzer {
public:
    Fuzzer(std::wstring pipe, std::uint32_t seed, Territory territory)
        : pipe_(std::move(pipe)), random_(seed), territory_(std::move(territory)) {}

    // False with a message when the service misbehaved. Ends after `count` requests or
    // `seconds`, whichever comes first.
    bool Run(int count, int seconds) {
        const ULONGLONG deadline = GetTickCount64() + 1000ull * seconds;
        while (sent_ < count && GetTickCount64() < deadline) {
            if (!pipe_handle_ && !Connect()) {
                return Fail(FormatText(L"the service no longer accepts connections (%lu)", GetLastError()));
            }
            if (!Step()) return false;
        }
        pipe_handle_.reset();
        Print(FormatText(L"sent=%d connections=%d replies=%d ended=%d refused=%d", sent_, connections_, replies_,
                         ended_, refused_));
        return true;
    }

private:
    enum class Outcome { Reply, Ended, Stuck };

    std::uint32_t Next(std::uint32_t below) { return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(random_); }

    bool Fail(const std::wstring& why) {
        Print(L"FAILED after " + std::to_wstring(sent_) + L" requests: " + why);
        return false;
    }

    bool Note(const std::wstring& what) {
        Print(FormatText(L"%ls (%lu)", what.c_str(), GetLastError()));
        return false;
    }

    bool Connect() {
        for (int attempt = 0; attempt < 500; ++attempt) {
            pipe_handle_.reset(CreateFileW(pipe_.c_str(), PermissionManager::kPipeClientAccess, 0, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
            if (pipe_handle_) break;
            const DWORD error = GetLastError();
            if (error != ERROR_PIPE_BUSY) return Note(FormatText(L"no connection (%lu)", error));
            // The service makes the next instance right after a connection; Wine's wait does
            // not wait for it (see docs/wine-notes.md).
            if (!WaitNamedPipeW(pipe_.c_str(), 2000)) Sleep(20);
        }
        if (!pipe_handle_) return Note(L"always busy");
        ++connections_;
        SetLastError(0);
        Wire::Bytes greeting;
        Wire::PutU32(greeting, Wire::kGreeting);
        greeting.insert(greeting.end(), std::begin(Wire::kHello), std::end(Wire::kHello));
        Wire::Bytes reply;
        if (!Send(greeting)) return Note(L"greeting not sent");
        const Outcome outcome = Receive(Wire::kGreetingBytes, &reply);
        if (outcome != Outcome::Reply) return Note(outcome == Outcome::Stuck ? L"greeting unanswered" : L"greeting ended");
        if (std::memcmp(reply.data(), Wire::kHello, Wire::kGreetingBytes) != 0) return Note(L"greeting answered wrongly");
        issued_ = 0;
        productFiles_.assign(1, false);
        return true;
    }

    bool Send(const Wire::Bytes& bytes) {
        OVERLAPPED overlapped{};
        renewix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = event.get();
        DWORD done = 0;
        if (!WriteFile(pipe_handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (WaitForSingleObject(event.get(), 10000) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_handle_.get(), &overlapped);
            GetOverlappedResult(pipe_handle_.get(), &overlapped, &done, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_handle_.get(), &overlapped, &done, FALSE) && done == bytes.size();
    }

    // Exactly `count` bytes, the end of the connection, or nothing within a generous limit.
    Outcome Receive(std::size_t count, Wire::Bytes* out) {
        out->assign(count, 0);
        std::size_t got = 0;
        renewix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        while (got < count) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = event.get();
            ResetEvent(event.get());
            DWORD done = 0;
            if (!ReadFile(pipe_handle_.get(), out->data() + got, static_cast<DWORD>(count - got), nullptr,
                          &overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                return Outcome::Ended;
            }
            if (WaitForSingleObject(event.get(), 10000) != WAIT_OBJECT_0) {
                CancelIoEx(pipe_handle_.get(), &overlapped);
                GetOverlappedResult(pipe_handle_.get(), &overlapped, &done, TRUE);
                return Outcome::Stuck;
            }
            if (!GetOverlappedResult(pipe_handle_.get(), &overlapped, &done, FALSE) || done == 0) return Outcome::Ended;
            got += done;
        }
        return Outcome::Reply;
    }

    static void SetU32(Wire::Bytes& frame, std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4 && at + i < frame.size(); ++i) frame[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    std::wstring Name() {
        static const wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
        std::wstring name;
        for (std::uint32_t length = 1 + Next(8); length > 0; --length) {
            name.push_back(kAlphabet[Next(sizeof(kAlphabet) / 2 - 1)]);
        }
        return name;
    }
    std::wstring Tail() {
        // Often a name the test made in R and beside it (or C:\windows\win.ini): a request that
        // is carried out there shows, where one on a missing file fails the same as a refusal.
        static const wchar_t* kExisting[] = {L"a", L"b", L"b\\c", L"win.ini"};
        if (Next(3) == 0) return kExisting[Next(4)];
        std::wstring tail = Name();
        for (std::uint32_t more = Next(3); more > 0; --more) tail += L"\\" + Name();
        return tail;
    }

    // Mostly staging, where everything is served; then the rest of R, folders outside it, and
    // spellings that reach outside or name something other than they seem to.
    std::wstring Path() {
        const std::wstring staging = territory_.Staging() + L"\\";
        const std::wstring outsideName = territory_.outside.substr(territory_.outside.rfind(L'\\') + 1);
        switch (Next(16)) {
            case 0: case 1: case 2: case 3: case 4: case 5: return staging + Tail();
            case 6: case 7: return territory_.root + L"\\" + Tail();
            case 8: return territory_.outside + L"\\" + Tail();
            case 9: return (Next(2) ? L"C:\\windows\\" : L"C:\\") + Tail();
            case 10: return staging + L"..\\..\\" + outsideName + L"\\" + Tail();
            case 11: return territory_.root + L"x\\" + Tail();  // starts like R, is not under it
            case 12: return Next(2) ? L"\\\\localhost\\c$\\" + Tail() : L"\\\\?\\UNC\\localhost\\c$\\" + Tail();
            default: break;
        }
        std::wstring path = staging + Tail();
        switch (Next(10)) {
            case 0: ReplaceAll(path, L"\\", L"/"); return path;
            case 1: return path + L":evil";
            case 2: return path + (Next(2) ? L"." : L" ");
            case 3: return staging + L"progra~1\\" + Tail();
            case 4: return staging + L".\\" + Tail();
            case 5: return staging + L"\\" + Tail();
            case 6: return staging + (Next(2) ? L"con" : L"nul.txt");
            case 7: return L"\\\\?\\" + path;
            case 8: return L"\\\\.\\" + path;
            default: return Tail();
        }
    }
    std::wstring RegistryKey() {
        static const wchar_t* kRoots[] = {L"HKEY_LOCAL_MACHINE\\", L"HKEY_CLASSES_ROOT\\", L"HKEY_USERS\\.DEFAULT\\",
                                          L"HKEY_CURRENT_USER\\", L"HKLM\\"};
        return kRoots[Next(5)] + territory_.registry + (Next(2) ? L"\\" + Name() : L"");
    }
    std::uint32_t FileId() { return Next(4) == 0 ? Next(70) : 1 + Next(issued_ + 1); }

    Wire::Request ValidRequest() {
        static const DWORD kAccess[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE, FILE_APPEND_DATA, 0};
        static const DWORD kDisposition[] = {CREATE_ALWAYS, OPEN_ALWAYS, OPEN_EXISTING, CREATE_NEW, TRUNCATE_EXISTING, 0, 9};
        static const wchar_t* kActions[] = {L"Create", L"Remove", L"Delete", L"Add REG_SZ fuzz", L"Add REG_DWORD 7",
                                            L"Add", L"nothing"};
        switch (Next(14)) {
            case 0: return Wire::GreetingRequest{};
            case 1:
            case 2:
                return Wire::OpenRequest{kAccess[Next(5)], kDisposition[Next(7)], Next(3) == 0 ? Next(0x100) : 0, Path()};
            case 3: return Wire::WriteRequest{FileId()};
            case 4: return Wire::ReadRequest{FileId(), Next(3) == 0 ? Next(0xFFFFFFFFu) : Next(9000)};
            case 5: return Wire::CloseRequest{FileId()};
            case 6: return Wire::MoveRequest{Path(), Path()};
            case 7: {
                static const Wire::Opcode kPathOps[] = {Wire::kDelete, Wire::kGetAttributes, Wire::kMakeDirectories,
                                                        Wire::kDeleteTree, Wire::kRegisterServer,
                                                        Wire::kUnregisterServer};
                return Wire::PathRequest{kPathOps[Next(6)], Path()};
            }
            case 8: {
                FILETIME time{Next(0xFFFFFFFFu), Next(0x01FFFFFF)};
                return Wire::SetTimesRequest{time, time, time, Next(2) ? FileId() : Next(0xFFFFFFFFu)};
            }
            case 9: return Wire::UpdateRegistryRequest{RegistryKey(), Name(), kActions[Next(7)]};
            case 10:
                return Wire::QueryRegistryRequest{
                    Next(2) ? RegistryKey() + L"\\" + Name()
                            : std::wstring(L"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProductName"),
                    Next(2) ? L"REG_SZ" : L"REG_DWORD"};
            case 11: return Wire::UnzipRequest{Path(), Path()};
            default: return Wire::PathRequest{Wire::kGetAttributes, Path()};
        }
    }

    // One request as the bytes of its opcode and payload, perhaps damaged.
    Wire::Bytes Frame() {
        const Wire::Request request = ValidRequest();
        Wire::Bytes frame;
        Wire::PutU32(frame, Wire::OpcodeOf(request));
        const std::optional<Wire::Bytes> payload = Wire::EncodePayload(request);
        if (payload) frame.insert(frame.end(), payload->begin(), payload->end());
        if (Next(5) >= 2) return frame;
        Mutate(frame);
        // Bytes beyond a request would be the start of the next one: never sent, so that
        // every request the service parses is one whose answer is checked here.
        const std::optional<std::size_t> size = frame.size() >= 4 ? Wire::PayloadSize(Wire::GetU32(frame.data())) : std::nullopt;
        if (size && frame.size() > 4 + *size) frame.resize(4 + *size);
        return frame;
    }

    void Mutate(Wire::Bytes& frame) {
        switch (Next(7)) {
            case 0:  // an opcode nobody defined, or another request's opcode over this payload
                SetU32(frame, 0, Next(2) ? Next(0xFFFFFFFFu) : 995 + Next(25));
                break;
            case 1:  // cut short
                frame.resize(Next(static_cast<std::uint32_t>(frame.size())));
                break;
            case 2:  // a few bytes anywhere
                for (std::uint32_t n = 1 + Next(8); n > 0 && frame.size() > 4; --n) {
                    frame[4 + Next(static_cast<std::uint32_t>(frame.size() - 4))] = static_cast<std::uint8_t>(Next(256));
                }
                break;
            case 3:  // every unit of the texts without a terminator
                for (std::size_t i = 4; i + 1 < frame.size(); i += 2) {
                    if (frame[i] == 0 && frame[i + 1] == 0) frame[i] = 'a';
                }
                break;
            case 4:  // a huge count or id in the first numbers
                for (std::size_t i = 4; i < frame.size() && i < 12; ++i) frame[i] = static_cast<std::uint8_t>(Next(256));
                break;
            case 5:  // random payload of the right length
                for (std::size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(Next(256));
                break;
            default:  // an id never issued on this connection
                SetU32(frame, 4, issued_ + 1 + Next(200));
                break;
        }
    }

    // Where the service acts for a path, as far as its spelling alone decides.
    Place PlaceOf(const std::wstring& path) const {
        if (!PlainSpelling(path)) return Place::Refused;
        const std::wstring bare = path.back() == L'\\' ? path.substr(0, path.size() - 1) : path;
        const std::wstring staging = territory_.Staging();
        if (EqualsNoCase(bare, staging) || IsUnder(bare, staging)) return Place::Staging;
        if (EqualsNoCase(bare, territory_.root) || IsUnder(bare, territory_.root)) return Place::Product;
        return Place::Refused;
    }

    bool ProductFile(std::uint32_t id) const { return id < productFiles_.size() && productFiles_[id]; }

    // Whether the service must refuse a request: no signed document is ever staged here, so
    // whatever needs one is refused, and so is anything outside R or spelled to mislead.
    bool MustRefuse(const Wire::Request& request) const {
        using namespace Wire;
        if (const auto* open = std::get_if<OpenRequest>(&request)) {
            const Place place = PlaceOf(open->path);
            const bool writes = (open->access & ~GENERIC_READ) != 0 || open->disposition != OPEN_EXISTING;
            return place == Place::Refused || (place == Place::Product && writes);
        }
        if (const auto* move = std::get_if<MoveRequest>(&request)) {
            return PlaceOf(move->from) != Place::Staging || PlaceOf(move->to) != Place::Staging;
        }
        if (const auto* path = std::get_if<PathRequest>(&request)) {
            if (path->opcode == kGetAttributes) return PlaceOf(path->path) == Place::Refused;
            return path->opcode == kRegisterServer || path->opcode == kUnregisterServer ||
                   PlaceOf(path->path) != Place::Staging;
        }
        if (const auto* write = std::get_if<WriteRequest>(&request)) return ProductFile(write->fileId);
        if (const auto* times = std::get_if<SetTimesRequest>(&request)) return ProductFile(times->fileId);
        return std::holds_alternative<UpdateRegistryRequest>(request) ||
               std::holds_alternative<QueryRegistryRequest>(request) || std::holds_alternative<UnzipRequest>(request);
    }

    // Whether an answer is the refusal of its operation: an ended connection for an open,
    // else the failure value.
    static bool IsRefusal(std::uint32_t opcode, Outcome outcome, const Wire::Bytes& reply) {
        if (opcode == Wire::kOpen) return outcome == Outcome::Ended;
        if (outcome != Outcome::Reply) return false;
        if (opcode == Wire::kQueryRegistry) return Wire::DecodeTextReply(reply).empty();
        return Wire::GetU32(reply.data()) == (opcode == Wire::kGetAttributes ? INVALID_FILE_ATTRIBUTES : 0u);
    }

    static std::wstring Describe(const Wire::Request& request) {
        using namespace Wire;
        std::wstring what;
        if (const auto* r = std::get_if<OpenRequest>(&request)) what = FormatText(L"%lx %lu %ls", r->access, r->disposition, r->path.c_str());
        if (const auto* r = std::get_if<MoveRequest>(&request)) what = r->from + L" -> " + r->to;
        if (const auto* r = std::get_if<PathRequest>(&request)) what = r->path;
        if (const auto* r = std::get_if<UpdateRegistryRequest>(&request)) what = r->keyPath + L" " + r->valueName;
        if (const auto* r = std::get_if<QueryRegistryRequest>(&request)) what = r->registryPath;
        if (const auto* r = std::get_if<UnzipRequest>(&request)) what = r->archivePath + L" -> " + r->destination;
        return FormatText(L"opcode %u %ls", static_cast<unsigned>(OpcodeOf(request)), what.c_str());
    }

    bool Step() {
        const Wire::Bytes frame = Frame();
        const std::uint32_t opcode = frame.size() >= 4 ? Wire::GetU32(frame.data()) : 0;
        const std::optional<std::size_t> payload = frame.size() >= 4 ? Wire::PayloadSize(opcode) : std::nullopt;
        const std::size_t expected = payload ? 4 + *payload : 0;
        const bool complete = payload && frame.size() == expected;
        const Wire::ParsedRequest parsed = complete ? Wire::ParseRequest(frame) : Wire::ParsedRequest{};
        ++sent_;
        if (!Send(frame)) return Ended();
        if (frame.size() < 4 || (payload && frame.size() < expected)) {
            // The service waits for the rest: leaving ends the connection.
            pipe_handle_.reset();
            ++ended_;
            return true;
        }

        Wire::Bytes reply;
        Outcome outcome = Outcome::Ended;
        if (complete && parsed && opcode == Wire::kWrite) {
            Wire::Bytes data(1 + Next(Wire::kMaxTransfer));
            for (auto& byte : data) byte = static_cast<std::uint8_t>(Next(256));
            if (!Send(data)) return Ended();
            outcome = Receive(4, &reply);
        } else if (complete && parsed && opcode == Wire::kRead) {
            outcome = Receive(4, &reply);
            if (outcome == Outcome::Reply) {
                const std::uint32_t count = Wire::GetU32(reply.data());
                if (count > std::get<Wire::ReadRequest>(parsed.request).count) return Fail(L"a read reply longer than asked");
                if (count > 0) outcome = Receive(count, &reply);
            }
        } else {
            const std::size_t replySize = opcode == Wire::kGreeting        ? Wire::kGreetingBytes
                                          : opcode == Wire::kQueryRegistry ? Wire::kTextReplyBytes
                                                                           : 4;
            outcome = Receive(replySize, &reply);
        }
        if (outcome == Outcome::Stuck) return Fail(L"no answer and no end of the connection");
        if (complete && parsed && MustRefuse(parsed.request)) {
            if (!IsRefusal(opcode, outcome, reply)) {
                return Fail(L"a request out of bounds was not refused: " + Describe(parsed.request));
            }
            ++refused_;
        }
        if (outcome == Outcome::Ended) return Ended();
        if (!complete || !parsed) {
            return Fail(FormatText(L"a malformed request was answered (opcode %lu, %lu bytes, error %d)", opcode,
                                   static_cast<unsigned long>(frame.size()), static_cast<int>(parsed.error)));
        }
        ++replies_;
        if (opcode == Wire::kOpen) {
            issued_ = Wire::GetU32(reply.data());
            productFiles_.resize(issued_ + 1, false);
            productFiles_[issued_] = PlaceOf(std::get<Wire::OpenRequest>(parsed.request).path) == Place::Product;
        }
        return true;
    }

    bool Ended() {
        pipe_handle_.reset();
        ++ended_;
        return true;
    }

    std::wstring pipe_;
    std::mt19937 random_;
    Territory territory_;
    renewix::UniqueFile pipe_handle_;
    std::uint32_t issued_ = 0;
    std::vector<bool> productFiles_;  // by file id: opened in R outside staging, so read-only
    int sent_ = 0, connections_ = 0, replies_ = 0, ended_ = 0, refused_ = 0;
};

// ---- Stand-ins and observers -----------------------------------------------------------

// A pipe of the service's name made by an ordinary program: default security, any owner.
int Squat(const std::wstring& pipe) {
    renewix::UniqueFile server(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                                PIPE_UNLIMITED_INSTANCES, 1024, 8192, 1000, nullptr));
    if (!server) {
        Print(FormatText(L"cannot squat (%lu)", GetLastError()));
        return 1;
    }
    Print(L"serving");
    for (;;) {
        if (!ConnectNamedPipe(server.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
        char request[9];
        DWORD done = 0;
        ReadFile(server.get(), request, sizeof(request), &done, nullptr);
        WriteFile(server.get(), "hello", 5, &done, nullptr);
        FlushFileBuffers(server.get());
        DisconnectNamedPipe(server.get());
    }
}

int Service(const std::wstring& name) {
    renewix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    renewix::UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) {
        Print(L"absent");
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                         &needed);
    std::vector<BYTE> config(8192);
    auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    const bool haveConfig = QueryServiceConfigW(service.get(), query, static_cast<DWORD>(config.size()), &needed);
    Print(FormatText(L"state=%lu pid=%lu start=%lu path=%ls", status.dwCurrentState, status.dwProcessId,
                     haveConfig ? query->dwStartType : 0, haveConfig ? query->lpBinaryPathName : L""));
    return 0;
}

int ErrorBox() {
    HWND box = nullptr;
    for (int i = 0; i < 400 && !(box = FindWindowW(L"#32770", L"Error")); ++i) Sleep(50);
    if (!box) {
        Print(L"none");
        return 1;
    }
    wchar_t text[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    std::wstring shown = text;
    ReplaceAll(shown, L"\r\n", L"|");
    Print(shown);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2) {
        int exitCode = 0;
        ClientConfig config;
        config.LoadFromModule(GetModuleHandleW(nullptr));
        Log log;
        if (RunPermissionManagerCommand(argv[1], &exitCode, config, log)) return exitCode;
    }
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"greet" && argc == 3) return Greet(argv[2]);
    if (command == L"security" && argc == 3) return Security(argv[2]);
    if (command == L"exercise" && argc == 4) return Exercise(argv[2], argv[3]);
    if (command == L"probe" && argc >= 4) return Probe(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    if (command == L"fuzz" && argc == 9) {
        Fuzzer fuzzer(argv[2], static_cast<std::uint32_t>(std::wcstoul(argv[5], nullptr, 10)),
                      Territory{argv[6], argv[7], argv[8]});
        const int count = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
        return fuzzer.Run(count, static_cast<int>(std::wcstol(argv[4], nullptr, 10))) ? 0 : 3;
    }
    if (command == L"squat" && argc == 3) return Squat(argv[2]);
    if (command == L"service" && argc == 3) return Service(argv[2]);
    if (command == L"error-box") return ErrorBox();
    Print(L"usage: see the top of pipe_client.cpp");
    return 2;
}
