#include "service/pipe_session.h"

#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "description/signed_document.h"
#include "foundation/file_bytes.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/zip_extractor.h"
#include "service/pipe_security.h"
#include "service/server_registration.h"
#include "service/service_root.h"
#include "service/staged_document.h"

namespace PermissionManager {

namespace {

std::int32_t AsResult(DWORD value) { return static_cast<std::int32_t>(value); }

// The whole of an open file, up to `limit` bytes; false when it is longer or unreadable.
bool ReadOpenFile(HANDLE file, std::string& bytes, std::size_t limit) {
    bytes.clear();
    char buffer[8192];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof(buffer), &read, nullptr)) return false;
        if (read == 0) return true;
        if (bytes.size() + read > limit) return false;
        bytes.append(buffer, read);
    }
}

// The most a staged document may hold; a real one is a few kilobytes.
constexpr std::size_t kMaxStagedDocument = 4 * 1024 * 1024;

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Whether the folders from the root down to the one holding `path` are plain folders that
// still lie under the root: no junction, symbolic link or mount point leads elsewhere.
// Folders that do not exist yet end the walk (they would be made by the service).
bool FoldersStayInside(const std::wstring& path, const std::wstring& root) {
    std::wstring deepest;
    for (std::size_t at = path.find(L'\\', root.size()); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        const std::wstring folder = path.substr(0, at);
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) break;
        if (IsReparsePoint(attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
        deepest = folder;
    }
    const std::wstring check = deepest.empty() ? root.substr(0, root.size() - 1) : deepest;
    renewix::UniqueFile folder(CreateFileW(check.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                           nullptr));
    if (!folder) return false;
    const std::wstring final = DrivePathOf(folder.get());
    return !final.empty() && IsInside(final, root);
}

// Opens an admitted path without following a reparse point, and only when the file reached
// lies under the root and, opened for writing, has no other name elsewhere (a hard link).
renewix::UniqueFile OpenInside(const std::wstring& path, const std::wstring& root, DWORD access, DWORD share,
                               DWORD disposition, DWORD flags) {
    if (!FoldersStayInside(path, root)) return {};
    if ((access & (GENERIC_WRITE | DELETE)) || disposition != OPEN_EXISTING) {
        // An open that may truncate must not reach a file that has another name elsewhere.
        renewix::UniqueFile existing(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION facts{};
        if (existing && (!GetFileInformationByHandle(existing.get(), &facts) || facts.nNumberOfLinks > 1 ||
                         IsReparsePoint(facts.dwFileAttributes))) {
            return {};
        }
    }
    // Nothing is emptied before the file is known to be inside: the truncation an open would
    // make happens after the checks, through the same handle.
    const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    const DWORD opening = disposition == CREATE_ALWAYS ? OPEN_ALWAYS
                          : disposition == TRUNCATE_EXISTING ? OPEN_EXISTING
                                                              : disposition;
    renewix::UniqueFile file(CreateFileW(path.c_str(), access | (truncate ? GENERIC_WRITE : 0), share, nullptr, opening,
                                         flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return {};
    BY_HANDLE_FILE_INFORMATION facts{};
    const std::wstring final = DrivePathOf(file.get());
    if (!GetFileInformationByHandle(file.get(), &facts) || IsReparsePoint(facts.dwFileAttributes) ||
        (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || final.empty() || !IsInside(final, root) ||
        ((access & (GENERIC_WRITE | DELETE)) && facts.nNumberOfLinks > 1)) {
        return {};
    }
    if (truncate && !SetEndOfFile(file.get())) return {};
    return file;
}

// The SHA-256 of an open file from its start; nothing when it cannot be read whole.
std::optional<Sha256Digest> HashOpenFile(HANDLE file) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return std::nullopt;
    Sha256 hash;
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return std::nullopt;
        if (read == 0) break;
        hash.Update(buffer.data(), read);
    }
    return hash.Finish();
}

// Renames the very file that was checked, not whatever the path names by then.
bool RenameOpenFile(HANDLE file, const std::wstring& to) {
    const std::wstring target = L"\\??\\" + to;
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.c_str(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != FALSE;
}

// One lock for the records of every session: the limit is checked and a record written as one.
std::mutex g_recordsLock;

// A record's value: named after the file's id; its data the SHA-256 set aside, then the path
// it came from in UTF-16 without a terminator.
std::wstring RecordName(const SetAsideRecords::FileKey& file) {
    return FormatText(L"%08lX-%08lX%08lX", file.volume, file.indexHigh, file.indexLow);
}

std::optional<SetAsideRecords::FileKey> FileKeyOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!GetFileInformationByHandle(file, &facts)) return std::nullopt;
    return SetAsideRecords::FileKey{facts.dwVolumeSerialNumber, facts.nFileIndexHigh, facts.nFileIndexLow};
}

// Deletes the very file that was checked; a record of setting it aside goes with it, so that
// records of backups a client has cleaned up do not pile up towards the limit.
bool DeleteOpenFile(HANDLE file, const SetAsideRecords& records) {
    const std::optional<SetAsideRecords::FileKey> key = FileKeyOf(file);
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof(info))) return false;
    if (key) records.Forget(*key);
    return true;
}

// Removes a folder inside the root when it is empty and no link: the folder itself, opened
// without following a reparse point, is marked for deletion, which an empty folder only takes.
bool RemoveEmptyFolderInside(const std::wstring& path, const std::wstring& root) {
    if (!FoldersStayInside(path, root)) return false;
    renewix::UniqueFile folder(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!folder || !GetFileInformationByHandle(folder.get(), &facts) || IsReparsePoint(facts.dwFileAttributes) ||
        !(facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return false;
    }
    const std::wstring final = DrivePathOf(folder.get());
    if (final.empty() || !IsInside(final, root) || SamePath(final, root)) return false;
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(folder.get(), FileDispositionInfo, &info, sizeof(info)) != 0;
}

// Removes a folder of staging and everything in it without ever following a reparse point
// out of it: a link is removed itself, never what it leads to.
void DeleteTreeInside(const std::wstring& folder, const std::wstring& root, const SetAsideRecords& records,
                      int depth = 0) {
    if (depth > 64) return;
    WIN32_FIND_DATAW found{};
    renewix::UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (IsReparsePoint(found.dwFileAttributes)) {
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveDirectoryW(path.c_str());
                } else {
                    DeleteFileW(path.c_str());
                }
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // A link that does not say it is one still leads nowhere outside.
                if (FoldersStayInside(path + L"\\x", root)) DeleteTreeInside(path, root, records, depth + 1);
                RemoveDirectoryW(path.c_str());
            } else if (renewix::UniqueFile file = OpenInside(path, root, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                                 FILE_SHARE_DELETE, OPEN_EXISTING, 0)) {
                DeleteOpenFile(file.get(), records);
            }
        } while (FindNextFileW(search.get(), &found));
    }
    search.reset();
    RemoveDirectoryW(folder.c_str());
}

std::wstring FolderPart(const std::wstring& path) {
    std::wstring drive, directory;
    SplitDriveAndDirectory(path, &drive, &directory);
    return drive + directory;
}

std::wstring WithoutSeparator(std::wstring path) {
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

const wchar_t* OpcodeName(Wire::Opcode opcode) {
    switch (opcode) {
        case Wire::kGreeting: return L"Greeting";
        case Wire::kOpen: return L"Open";
        case Wire::kWrite: return L"Write";
        case Wire::kRead: return L"Read";
        case Wire::kClose: return L"Close";
        case Wire::kMove: return L"Move";
        case Wire::kDelete: return L"Delete";
        case Wire::kGetAttributes: return L"GetAttributes";
        case Wire::kMakeDirectories: return L"MakeDirectories";
        case Wire::kSetTimes: return L"SetTimes";
        case Wire::kDeleteTree: return L"DeleteTree";
        case Wire::kUpdateRegistry: return L"UpdateRegistry";
        case Wire::kQueryRegistry: return L"QueryRegistry";
        case Wire::kUnzip: return L"Unzip";
        case Wire::kRegisterServer: return L"RegisterServer";
        case Wire::kUnregisterServer: return L"UnregisterServer";
    }
    return L"?";
}

// Overlapped reads and writes on the service's end that give up when the stop event is set.
class ServerChannel {
public:
    ServerChannel(HANDLE pipe, HANDLE stopEvent)
        : pipe_(pipe), stop_(stopEvent), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    bool ReadExact(void* buffer, std::size_t count) {
        auto* at = static_cast<std::uint8_t*>(buffer);
        while (count > 0) {
            const DWORD read = ReadSome(at, count);
            if (read == 0) return false;
            at += read;
            count -= read;
        }
        return true;
    }

    // What one read delivers; 0 when the client is gone or the service stops.
    DWORD ReadSome(void* buffer, std::size_t count) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        DWORD done = 0;
        const BOOL started = ReadFile(pipe_, buffer, static_cast<DWORD>(count), nullptr, &overlapped);
        return Finish(started, &overlapped, &done) ? done : 0;
    }

    bool WriteAll(const Wire::Bytes& bytes) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        DWORD done = 0;
        const BOOL started = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
        return Finish(started, &overlapped, &done) && done == bytes.size();
    }

    bool valid() const { return event_.valid(); }

private:
    bool Finish(BOOL started, OVERLAPPED* overlapped, DWORD* done) {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE waits[2] = {event_.get(), stop_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // Stopping (or a failed wait): the operation must be over before its buffer goes.
            CancelIoEx(pipe_, overlapped);
            GetOverlappedResult(pipe_, overlapped, done, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_, overlapped, done, FALSE) != FALSE;
    }

    HANDLE pipe_;
    HANDLE stop_;
    renewix::UniqueHandle event_;
};

void Serve(ServerChannel& channel, RequestHandler& handler) {
    Wire::Bytes request;
    Wire::Bytes data(Wire::kMaxTransfer);
    for (;;) {
        request.assign(4, 0);
        if (!channel.ReadExact(request.data(), 4)) return;  // the client closed its end
        const std::optional<std::size_t> size = Wire::PayloadSize(Wire::GetU32(request.data()));
        if (!size) return;
        request.resize(4 + *size);
        if (!channel.ReadExact(request.data() + 4, *size)) return;
        const Wire::ParsedRequest parsed = Wire::ParseRequest(request);
        if (!parsed) return;

        std::optional<Wire::Bytes> reply;
        if (const auto* write = std::get_if<Wire::WriteRequest>(&parsed.request)) {
            if (!handler.IsIssued(write->fileId)) return;
            const DWORD count = channel.ReadSome(data.data(), data.size());
            if (count == 0) return;
            reply = handler.HandleWrite(write->fileId, std::span(data.data(), count));
        } else {
            reply = handler.Handle(parsed.request);
        }
        if (!reply || !channel.WriteAll(*reply)) return;
    }
}

}  // namespace

SetAsideRecords::SetAsideRecords(std::uint32_t instance)
    : key_(std::wstring(kServiceStateKey) + FormatText(L"\\SetAside%u", instance)) {}

bool SetAsideRecords::Note(const FileKey& file, const std::wstring& from, const Sha256Digest& digest) const {
    if (from.empty() || from.size() >= Wire::kPathUnits) return false;
    std::vector<BYTE> data(digest.begin(), digest.end());
    const auto* text = reinterpret_cast<const BYTE*>(from.data());
    data.insert(data.end(), text, text + from.size() * sizeof(wchar_t));
    const std::wstring name = RecordName(file);
    std::lock_guard hold(g_recordsLock);
    renewix::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    DWORD count = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool known = RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (count >= kMaxRecords && !known) return false;
    return RegSetValueExW(key.get(), name.c_str(), 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())) ==
           ERROR_SUCCESS;
}

bool SetAsideRecords::Matches(const FileKey& file, const std::wstring& destination, const Sha256Digest& digest) const {
    std::lock_guard hold(g_recordsLock);
    renewix::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    BYTE data[sizeof(Sha256Digest) + Wire::kPathUnits * sizeof(wchar_t)] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), RecordName(file).c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size < sizeof(Sha256Digest) || (size - sizeof(Sha256Digest)) % sizeof(wchar_t) != 0) {
        return false;
    }
    Sha256Digest recorded{};
    std::memcpy(recorded.data(), data, recorded.size());
    std::wstring from((size - sizeof(Sha256Digest)) / sizeof(wchar_t), L'\0');
    std::memcpy(from.data(), data + sizeof(Sha256Digest), from.size() * sizeof(wchar_t));
    return recorded == digest && SamePath(from, destination);
}

void SetAsideRecords::Forget(const FileKey& file) const {
    std::lock_guard hold(g_recordsLock);
    renewix::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    if (RegDeleteValueW(key.get(), RecordName(file).c_str()) != ERROR_SUCCESS) return;
    DWORD count = 1;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                     nullptr, nullptr);
    key.reset();
    // The last one gone: no empty key stays behind.
    if (count == 0) RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_.c_str());
}

RequestHandler::RequestHandler(const ServiceSettings& settings, Log& log)
    : settings_(settings), records_(settings.instance), log_(log), paths_(log) {}

const AllowList* RequestHandler::Authorisation() {
    const ServiceScope& scope = settings_.scope;
    renewix::UniqueFile file = OpenInside(scope.StagedDocument(), scope.root, GENERIC_READ, FILE_SHARE_READ,
                                          OPEN_EXISTING, 0);
    std::string bytes;
    if (!file || !ReadOpenFile(file.get(), bytes, kMaxStagedDocument)) {
        refusalReason_ = L"no staged update document";
        return nullptr;
    }
    const Sha256Digest digest = Sha256Of(bytes.data(), bytes.size());
    // The same bytes as last time: still current and not below the floor.
    std::wstring floor;
    if (!ReadVersionFloor(settings_.instance, floor)) {
        refusalReason_ = L"the version floor cannot be read";
        return nullptr;
    }
    if (authorised_ && digest == documentDigest_ && CurrentUtcTime() < documentExpires_ &&
        (floor.empty() || CompareVersions(documentVersion_, floor) != -1)) {
        return &*authorised_;
    }
    authorised_.reset();
    StagedAuthorisation read = ReadStagedDocument(bytes, settings_.keys, CurrentUtcTime(), floor, scope.root,
                                                  ApplicationDirectory(), log_);
    if (read.verdict != StagedVerdict::Authorised) {
        refusalReason_ = L"staged update document " + StagedVerdictText(read.verdict);
        return nullptr;
    }
    AddArchiveTargets(read.allow);
    documentDigest_ = digest;
    documentVersion_ = read.version;
    documentExpires_ = read.expiresAt;
    authorised_ = std::move(read.allow);
    return &*authorised_;
}

void RequestHandler::AddArchiveTargets(AllowList& allow) {
    const ServiceScope& scope = settings_.scope;
    for (const Placement& placement : allow.placements) {
        if (!placement.unzip) continue;
        // The staged copy of the listed archive, found by its size and hash.
        WIN32_FIND_DATAW found{};
        renewix::UniqueFind search(FindFirstFileW((scope.Staging() + L"*").c_str(), &found));
        if (!search) return;
        do {
            if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
            const std::uint64_t size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            if (size != placement.size) continue;
            const std::wstring staged = scope.Staging() + found.cFileName;
            renewix::UniqueFile archive =
                OpenInside(staged, scope.root, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
            if (!archive || HashOpenFile(archive.get()) != placement.sha256) continue;
            std::vector<std::wstring> names;
            if (ListArchiveFiles(staged, &names, log_) != ArchiveListing::Listed) continue;
            for (const std::wstring& name : names) {
                const std::wstring target = NormalizePath(FolderPart(placement.destination) + L"\\" + name);
                if (AdmitPath(target, scope.root) && ZoneOf(target, scope) == Zone::Product) {
                    allow.archiveTargets.push_back(target);
                }
            }
            break;
        } while (FindNextFileW(search.get(), &found));
    }
}

void RequestHandler::Report(const std::wstring& line) {
    if (settings_.reportRefusal) settings_.reportRefusal(line);
}

void RequestHandler::CarriedOut() {
    // A document once carried out can never be replayed under an older one's terms.
    if (!documentVersion_.empty()) RaiseVersionFloor(settings_.instance, documentVersion_);
}

std::optional<Wire::Bytes> RequestHandler::Handle(const Wire::Request& request) {
    const ServiceScope& scope = settings_.scope;
    Decision decision = Decide(request, scope, nullptr);
    refusalReason_.clear();
    if (!decision && decision.needsDocument) {
        if (const AllowList* allow = Authorisation()) decision = Decide(request, scope, allow);
    }
    if (!decision) return Refuse(request, decision.path);
    return Carry(request, decision);
}

std::optional<Wire::Bytes> RequestHandler::Refuse(const Wire::Request& request, const std::wstring& path) {
    using namespace Wire;
    const Opcode opcode = OpcodeOf(request);
    std::wstring line = FormatText(L"Request refused: %ls (%u) %ls", OpcodeName(opcode), static_cast<unsigned>(opcode),
                                   path.c_str());
    if (!refusalReason_.empty()) line += L" (" + refusalReason_ + L")";
    Report(line);
    switch (opcode) {
        case kOpen: return std::nullopt;  // as a failed open: the connection ends
        case kGetAttributes: return EncodeResult(AsResult(INVALID_FILE_ATTRIBUTES));
        case kQueryRegistry: return EncodeTextReply(std::wstring());
        default: return EncodeResult(0);
    }
}

std::optional<Wire::Bytes> RequestHandler::Carry(const Wire::Request& request, const Decision& decision) {
    using namespace Wire;
    const ServiceScope& scope = settings_.scope;
    const std::wstring& root = scope.root;
    if (std::holds_alternative<GreetingRequest>(request)) return Bytes(std::begin(kHello), std::end(kHello));
    if (const auto* open = std::get_if<OpenRequest>(&request)) {
        // Ids are never reused, so the limit counts every open of the connection.
        if (files_.size() >= kMaxFilesPerConnection) return std::nullopt;
        const Zone zone = ZoneOf(open->path, scope);
        const bool writable = ClassifyOpen(*open, zone) == OpenKind::ReadWrite;
        if (writable && zone == Zone::Staging &&
            (!FoldersStayInside(open->path, root) || !EnsureParentDirectory(open->path))) {
            return std::nullopt;
        }
        std::unique_ptr<StandardFile> file = StandardFile::Adopt(
            OpenInside(open->path, root, open->access, FILE_SHARE_READ | FILE_SHARE_WRITE, open->disposition,
                       open->flags));
        if (!file) return std::nullopt;
        files_.push_back({std::move(file), writable});
        return EncodeResult(static_cast<std::int32_t>(files_.size()));
    }
    if (const auto* read = std::get_if<ReadRequest>(&request)) {
        if (!IsIssued(read->fileId)) return std::nullopt;
        Bytes buffer(read->count);
        const DWORD count = File(read->fileId).file->Read(buffer.data(), read->count);
        return EncodeReadReply(std::span(buffer.data(), count));
    }
    if (const auto* close = std::get_if<CloseRequest>(&request)) {
        // The object stays in the list: its id is not given out again.
        if (!IsIssued(close->fileId)) return std::nullopt;
        return EncodeResult(File(close->fileId).file->Close());
    }
    if (const auto* times = std::get_if<SetTimesRequest>(&request)) {
        if (!IsIssued(times->fileId)) return std::nullopt;
        if (!File(times->fileId).writable) return Refuse(request, L"");
        File(times->fileId).file->SetTimes(times->creation, times->lastAccess, times->lastWrite);
        return EncodeResult(1);
    }
    if (const auto* move = std::get_if<MoveRequest>(&request)) return CarryMove(*move, decision);
    if (const auto* path = std::get_if<PathRequest>(&request)) {
        if (!FoldersStayInside(path->path, root)) return Refuse(request, path->path);
        switch (path->opcode) {
            case kGetAttributes: return EncodeResult(AsResult(GetFileAttributesW(path->path.c_str())));
            case kMakeDirectories: return EncodeResult(MakeDirectoryPath(path->path));
            case kDeleteTree:
                if (IsReparsePoint(GetFileAttributesW(WithoutSeparator(path->path).c_str()))) {
                    return Refuse(request, path->path);
                }
                DeleteTreeInside(WithoutSeparator(path->path), root, records_);
                return EncodeResult(1);
            case kDelete: {
                if (decision.check == ContentCheck::EmptyFolder) {
                    return EncodeResult(RemoveEmptyFolderInside(path->path, root) ? 1 : 0);
                }
                renewix::UniqueFile file = OpenInside(path->path, root, DELETE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                      OPEN_EXISTING, 0);
                return EncodeResult(file && DeleteOpenFile(file.get(), records_) ? 1 : 0);
            }
            case kRegisterServer:
            case kUnregisterServer: {
                // Held so that nobody changes the bytes between their check and their loading.
                renewix::UniqueFile file =
                    OpenInside(path->path, root, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
                if (!file || HashOpenFile(file.get()) != decision.placement->sha256) {
                    return Refuse(request, path->path);
                }
                // In a child of its own: a server that crashes or hangs cannot take the service along.
                const int registered = RegisterServerInChild(
                    path->path, kRegistrationTimeoutMs, log_,
                    path->opcode == kUnregisterServer ? ServerRegistration::Unregister : ServerRegistration::Register);
                if (registered) CarriedOut();
                return EncodeResult(registered);
            }
            default: return std::nullopt;
        }
    }
    if (const auto* update = std::get_if<UpdateRegistryRequest>(&request)) {
        const int done = paths_.UpdateRegistry(update->keyPath, update->valueName, update->action);
        if (done) CarriedOut();
        return EncodeResult(done);
    }
    if (const auto* unzip = std::get_if<UnzipRequest>(&request)) {
        renewix::UniqueFile archive =
            OpenInside(unzip->archivePath, root, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        const std::optional<Sha256Digest> digest = archive ? HashOpenFile(archive.get()) : std::nullopt;
        // Any of the archives the document lists for this folder.
        bool listed = false;
        for (const Placement& placement : authorised_ ? authorised_->placements : std::vector<Placement>()) {
            listed = listed || (placement.unzip && digest == placement.sha256 &&
                                SamePath(FolderPart(placement.destination), FolderPart(decision.placement->destination)));
        }
        if (!listed || !FoldersStayInside(WithoutSeparator(unzip->destination) + L"\\x", root)) {
            return Refuse(request, unzip->archivePath);
        }
        const int count = paths_.Unzip(unzip->archivePath, unzip->destination);
        if (count > 0) CarriedOut();
        return EncodeResult(count);
    }
    return Refuse(request, L"");  // a Write is served with its data (HandleWrite); a query never
}

std::optional<Wire::Bytes> RequestHandler::CarryMove(const Wire::MoveRequest& move, const Decision& decision) {
    const std::wstring& root = settings_.scope.root;
    const Wire::Request request = move;
    if (!FoldersStayInside(move.to, root)) return Refuse(request, move.to);
    renewix::UniqueFile file = OpenInside(move.from, root, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (!file) return Wire::EncodeResult(0);
    const std::optional<SetAsideRecords::FileKey> key = FileKeyOf(file.get());
    if (!key) return Wire::EncodeResult(0);
    std::optional<Sha256Digest> digest;
    if (decision.check != ContentCheck::None) {
        digest = HashOpenFile(file.get());
        if (!digest) return Wire::EncodeResult(0);
    }
    if (decision.check == ContentCheck::StagedPlacement) {
        const bool listed = decision.placement && !decision.placement->unzip && *digest == decision.placement->sha256;
        if (!listed && !records_.Matches(*key, move.to, *digest)) return Refuse(request, move.from);
    }
    // Recorded before the file moves: what the service could not remember setting aside could
    // never go back.
    if (decision.check == ContentCheck::SetAside && !records_.Note(*key, move.from, *digest)) {
        refusalReason_ = L"no set-aside record could be kept";
        return Refuse(request, move.from);
    }
    if (!EnsureParentDirectory(move.to) || !RenameOpenFile(file.get(), move.to)) {
        if (decision.check == ContentCheck::SetAside) records_.Forget(*key);
        return Wire::EncodeResult(0);
    }
    if (decision.check == ContentCheck::StagedPlacement) {
        records_.Forget(*key);
        CarriedOut();
    }
    return Wire::EncodeResult(1);
}

std::optional<Wire::Bytes> RequestHandler::HandleWrite(std::uint32_t fileId, std::span<const std::uint8_t> data) {
    if (!IsIssued(fileId)) return std::nullopt;
    if (!File(fileId).writable) return Wire::EncodeResult(0);
    return Wire::EncodeResult(File(fileId).file->Write(data.data(), static_cast<DWORD>(data.size())));
}

void PipeSession(HANDLE pipe, HANDLE stopEvent, const ServiceSettings& settings, Log& log) {
    try {
        renewix::ScopedComInit com;  // the staged document is read with the DOM
        ServerChannel channel(pipe, stopEvent);
        // Only the product's own client is served; any other program is disconnected unheard.
        if (channel.valid() && IsClientImage(pipe, settings.ownImage)) {
            RequestHandler handler(settings, log);
            Serve(channel, handler);
        }
    } catch (const std::exception&) {
        // Out of memory and the like end this connection only.
    }
    DisconnectNamedPipe(pipe);
}

}  // namespace PermissionManager
