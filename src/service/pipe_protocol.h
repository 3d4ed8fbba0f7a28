// The permission manager's wire format, shared by the piped client and the service: one
// definition of every request and reply. Integers are 32-bit little-endian; texts are fixed
// arrays of UTF-16 units padded with zeros.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace PermissionManager::Wire {

enum Opcode : std::uint32_t {
    kGreeting = 1000,
    kOpen = 1001,
    kWrite = 1002,
    kRead = 1003,
    kClose = 1004,
    kMove = 1005,
    kDelete = 1006,
    kGetAttributes = 1007,
    kMakeDirectories = 1008,
    kSetTimes = 1009,
    kDeleteTree = 1010,
    kUpdateRegistry = 1011,
    kQueryRegistry = 1012,
    kUnzip = 1013,
    kRegisterServer = 1014,
    kUnregisterServer = 1015,
};

inline constexpr std::size_t kPathUnits = 260;
inline constexpr std::size_t kRegistryUnits = 256;
// The most data one Write carries or one Read asks for.
inline constexpr std::uint32_t kMaxTransfer = 8192;
// File ids run from 1; a connection opens at most this many files.
inline constexpr std::uint32_t kMaxFilesPerConnection = 50;
inline constexpr std::size_t kGreetingBytes = 5;
inline constexpr std::uint8_t kHello[kGreetingBytes] = {'h', 'e', 'l', 'l', 'o'};
inline constexpr std::size_t kTextReplyBytes = kRegistryUnits * 2;

using Bytes = std::vector<std::uint8_t>;

struct GreetingRequest {};
struct OpenRequest {
    std::uint32_t access = 0;
    std::uint32_t disposition = 0;
    std::uint32_t flags = 0;
    std::wstring path;
};
// The data follows in a write of its own, read separately by the service.
struct WriteRequest {
    std::uint32_t fileId = 0;
};
struct ReadRequest {
    std::uint32_t fileId = 0;
    std::uint32_t count = 0;
};
struct CloseRequest {
    std::uint32_t fileId = 0;
};
struct MoveRequest {
    std::wstring from;
    std::wstring to;
};
// Delete, GetAttributes, MakeDirectories, DeleteTree, RegisterServer and UnregisterServer: one
// path each.
struct PathRequest {
    Opcode opcode = kDelete;
    std::wstring path;
};
struct SetTimesRequest {
    FILETIME creation{};
    FILETIME lastAccess{};
    FILETIME lastWrite{};
    std::uint32_t fileId = 0;
};
struct UpdateRegistryRequest {
    std::wstring keyPath;
    std::wstring valueName;
    std::wstring action;
};
struct QueryRegistryRequest {
    std::wstring registryPath;
    std::wstring type;
};
struct UnzipRequest {
    std::wstring archivePath;
    std::wstring destination;
};

using Request = std::variant<GreetingRequest, OpenRequest, WriteRequest, ReadRequest, CloseRequest, MoveRequest,
                             PathRequest, SetTimesRequest, UpdateRegistryRequest, QueryRegistryRequest, UnzipRequest>;

Opcode OpcodeOf(const Request& request);

// Bytes after the opcode of a request (for the greeting: the "hello"); nothing for an
// opcode that does not exist.
std::optional<std::size_t> PayloadSize(std::uint32_t opcode);

// The payload of a request, written after its opcode. Nothing when a text does not fit its
// field with a terminator or holds a zero: sent cut, it would name another file or key.
std::optional<Bytes> EncodePayload(const Request& request);

enum class ParseError {
    None,
    UnknownOpcode,
    WrongLength,
    BadGreeting,
    UnterminatedText,  // a text fills its whole field
    PathNotAbsolute,   // only "X:\..." and "\\server\share..." paths are served
    BadFileId,         // 0, or a Close beyond the per-connection limit
    CountTooLarge,
    BadFlags,          // an open for overlapped I/O, which the service's synchronous reads cannot use
};

struct ParsedRequest {
    ParseError error = ParseError::None;
    Request request;
    explicit operator bool() const { return error == ParseError::None; }
};

// The service's parser of untrusted bytes: the opcode followed by its payload, exactly.
// Checks every field that the bytes alone can decide; the file ids a connection has issued
// are the session's to check.
ParsedRequest ParseRequest(std::span<const std::uint8_t> bytes);

// Whether a path is one the service acts on: a drive path "X:\..." or a share
// "\\server\share...", never relative and never a device ("\\.\", "\\?\").
bool IsServedPath(const std::wstring& path);

// Texts in fixed fields: nothing when the text does not fit with a terminator.
bool PutText(Bytes& out, const std::wstring& text, std::size_t units);
// The text up to its terminator; nothing when the field holds no terminator.
std::optional<std::wstring> GetText(std::span<const std::uint8_t> field, std::size_t units);

void PutU32(Bytes& out, std::uint32_t value);
std::uint32_t GetU32(const std::uint8_t* bytes);

// Replies. Results are signed 32-bit; a Read reply is its count and then the data; a
// registry text is 256 units with a terminator.
Bytes EncodeResult(std::int32_t value);
Bytes EncodeReadReply(std::span<const std::uint8_t> data);
Bytes EncodeTextReply(const std::wstring& text);
std::wstring DecodeTextReply(std::span<const std::uint8_t> reply);

}  // namespace PermissionManager::Wire
