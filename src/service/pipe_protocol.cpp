#include "service/pipe_protocol.h"

#include <algorithm>
#include <cstring>

namespace PermissionManager::Wire {

namespace {

constexpr std::size_t kMoveIgnoredBytes = 8;

// Reads fields in order from a payload whose length was checked beforehand.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint32_t U32() {
        const std::uint32_t value = GetU32(bytes_.data() + at_);
        at_ += 4;
        return value;
    }
    FILETIME Time() {
        FILETIME time;
        time.dwLowDateTime = U32();
        time.dwHighDateTime = U32();
        return time;
    }
    // Nothing when the field has no terminator.
    std::optional<std::wstring> Text(std::size_t units) {
        std::optional<std::wstring> text = GetText(bytes_.subspan(at_, units * 2), units);
        at_ += units * 2;
        return text;
    }
    void Skip(std::size_t count) { at_ += count; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

ParsedRequest Failed(ParseError error) {
    ParsedRequest parsed;
    parsed.error = error;
    return parsed;
}

ParsedRequest Parsed(Request request) {
    ParsedRequest parsed;
    parsed.request = std::move(request);
    return parsed;
}

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

void PutTime(Bytes& out, const FILETIME& time) {
    PutU32(out, time.dwLowDateTime);
    PutU32(out, time.dwHighDateTime);
}

}  // namespace

void PutU32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t GetU32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool PutText(Bytes& out, const std::wstring& text, std::size_t units) {
    if (text.size() >= units || text.find(L'\0') != std::wstring::npos) return false;
    for (std::size_t i = 0; i < units; ++i) {
        const wchar_t unit = i < text.size() ? text[i] : L'\0';
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return true;
}

std::optional<std::wstring> GetText(std::span<const std::uint8_t> field, std::size_t units) {
    std::wstring text;
    for (std::size_t i = 0; i < units && 2 * i + 1 < field.size(); ++i) {
        const wchar_t unit = static_cast<wchar_t>(field[2 * i] | field[2 * i + 1] << 8);
        if (unit == L'\0') return text;
        text.push_back(unit);
    }
    return std::nullopt;
}

bool IsServedPath(const std::wstring& path) {
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\') return true;
    // A share needs a server name; "\\." and "\\?" lead to devices, not files.
    if (path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\' && path[2] != L'.' &&
        path[2] != L'?') {
        return true;
    }
    return false;
}

Opcode OpcodeOf(const Request& request) {
    struct Visitor {
        Opcode operator()(const GreetingRequest&) const { return kGreeting; }
        Opcode operator()(const OpenRequest&) const { return kOpen; }
        Opcode operator()(const WriteRequest&) const { return kWrite; }
        Opcode operator()(const ReadRequest&) const { return kRead; }
        Opcode operator()(const CloseRequest&) const { return kClose; }
        Opcode operator()(const MoveRequest&) const { return kMove; }
        Opcode operator()(const PathRequest& r) const { return r.opcode; }
        Opcode operator()(const SetTimesRequest&) const { return kSetTimes; }
        Opcode operator()(const UpdateRegistryRequest&) const { return kUpdateRegistry; }
        Opcode operator()(const QueryRegistryRequest&) const { return kQueryRegistry; }
        Opcode operator()(const UnzipRequest&) const { return kUnzip; }
    };
    return std::visit(Visitor{}, request);
}

std::optional<std::size_t> PayloadSize(std::uint32_t opcode) {
    switch (opcode) {
        case kGreeting: return kGreetingBytes;
        case kOpen: return 12 + kPathUnits * 2;
        case kWrite: return 4;
        case kRead: return 8;
        case kClose: return 4;
        case kMove: return kPathUnits * 4 + kMoveIgnoredBytes;
        case kDelete:
        case kGetAttributes:
        case kMakeDirectories:
        case kDeleteTree:
        case kRegisterServer:
        case kUnregisterServer: return kPathUnits * 2;
        case kSetTimes: return 28;
        case kUpdateRegistry: return kRegistryUnits * 6;
        case kQueryRegistry:
        case kUnzip: return kRegistryUnits * 4;
        default: return std::nullopt;
    }
}

std::optional<Bytes> EncodePayload(const Request& request) {
    Bytes out;
    bool fits = true;
    const auto text = [&](const std::wstring& value, std::size_t units) { fits = fits && PutText(out, value, units); };
    if (std::holds_alternative<GreetingRequest>(request)) {
        out.assign(std::begin(kHello), std::end(kHello));
    } else if (const auto* open = std::get_if<OpenRequest>(&request)) {
        PutU32(out, open->access);
        PutU32(out, open->disposition);
        PutU32(out, open->flags);
        text(open->path, kPathUnits);
    } else if (const auto* write = std::get_if<WriteRequest>(&request)) {
        PutU32(out, write->fileId);
    } else if (const auto* read = std::get_if<ReadRequest>(&request)) {
        PutU32(out, read->fileId);
        PutU32(out, read->count);
    } else if (const auto* close = std::get_if<CloseRequest>(&request)) {
        PutU32(out, close->fileId);
    } else if (const auto* move = std::get_if<MoveRequest>(&request)) {
        text(move->from, kPathUnits);
        text(move->to, kPathUnits);
        out.insert(out.end(), kMoveIgnoredBytes, 0);
    } else if (const auto* path = std::get_if<PathRequest>(&request)) {
        text(path->path, kPathUnits);
    } else if (const auto* times = std::get_if<SetTimesRequest>(&request)) {
        PutTime(out, times->creation);
        PutTime(out, times->lastAccess);
        PutTime(out, times->lastWrite);
        PutU32(out, times->fileId);
    } else if (const auto* update = std::get_if<UpdateRegistryRequest>(&request)) {
        text(update->keyPath, kRegistryUnits);
        text(update->valueName, kRegistryUnits);
        text(update->action, kRegistryUnits);
    } else if (const auto* query = std::get_if<QueryRegistryRequest>(&request)) {
        text(query->registryPath, kRegistryUnits);
        text(query->type, kRegistryUnits);
    } else if (const auto* unzip = std::get_if<UnzipRequest>(&request)) {
        text(unzip->archivePath, kRegistryUnits);
        text(unzip->destination, kRegistryUnits);
    }
    if (!fits) return std::nullopt;
    return out;
}

ParsedRequest ParseRequest(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4) return Failed(ParseError::WrongLength);
    const std::uint32_t opcode = GetU32(bytes.data());
    const std::optional<std::size_t> size = PayloadSize(opcode);
    if (!size) return Failed(ParseError::UnknownOpcode);
    if (bytes.size() != 4 + *size) return Failed(ParseError::WrongLength);
    FieldReader in(bytes.subspan(4));

    // A served path: terminated within its field, absolute, no device.
    const auto path = [&](std::size_t units, std::wstring* out) {
        std::optional<std::wstring> text = in.Text(units);
        if (!text) return ParseError::UnterminatedText;
        if (!IsServedPath(*text)) return ParseError::PathNotAbsolute;
        *out = std::move(*text);
        return ParseError::None;
    };
    const auto text = [&](std::size_t units, std::wstring* out) {
        std::optional<std::wstring> value = in.Text(units);
        if (!value) return ParseError::UnterminatedText;
        *out = std::move(*value);
        return ParseError::None;
    };

    switch (opcode) {
        case kGreeting:
            if (!std::equal(std::begin(kHello), std::end(kHello), bytes.begin() + 4)) {
                return Failed(ParseError::BadGreeting);
            }
            return Parsed(GreetingRequest{});
        case kOpen: {
            OpenRequest r;
            r.access = in.U32();
            r.disposition = in.U32();
            r.flags = in.U32();
            if (r.flags & FILE_FLAG_OVERLAPPED) return Failed(ParseError::BadFlags);
            if (ParseError e = path(kPathUnits, &r.path); e != ParseError::None) return Failed(e);
            return Parsed(std::move(r));
        }
        case kWrite: {
            WriteRequest r{in.U32()};
            if (r.fileId == 0) return Failed(ParseError::BadFileId);
            return Parsed(r);
        }
        case kRead: {
            ReadRequest r;
            r.fileId = in.U32();
            r.count = in.U32();
            if (r.fileId == 0) return Failed(ParseError::BadFileId);
            if (r.count > kMaxTransfer) return Failed(ParseError::CountTooLarge);
            return Parsed(r);
        }
        case kClose: {
            CloseRequest r{in.U32()};
            if (r.fileId == 0 || r.fileId > kMaxFilesPerConnection) return Failed(ParseError::BadFileId);
            return Parsed(r);
        }
        case kMove: {
            MoveRequest r;
            if (ParseError e = path(kPathUnits, &r.from); e != ParseError::None) return Failed(e);
            if (ParseError e = path(kPathUnits, &r.to); e != ParseError::None) return Failed(e);
            return Parsed(std::move(r));
        }
        case kDelete:
        case kGetAttributes:
        case kMakeDirectories:
        case kDeleteTree:
        case kRegisterServer:
        case kUnregisterServer: {
            PathRequest r;
            r.opcode = static_cast<Opcode>(opcode);
            if (ParseError e = path(kPathUnits, &r.path); e != ParseError::None) return Failed(e);
            return Parsed(std::move(r));
        }
        case kSetTimes: {
            SetTimesRequest r;
            r.creation = in.Time();
            r.lastAccess = in.Time();
            r.lastWrite = in.Time();
            // Only the low 8 bits name the file.
            r.fileId = in.U32() & 0xFF;
            if (r.fileId == 0) return Failed(ParseError::BadFileId);
            return Parsed(r);
        }
        case kUpdateRegistry: {
            UpdateRegistryRequest r;
            for (std::wstring* field : {&r.keyPath, &r.valueName, &r.action}) {
                if (ParseError e = text(kRegistryUnits, field); e != ParseError::None) return Failed(e);
            }
            return Parsed(std::move(r));
        }
        case kQueryRegistry: {
            QueryRegistryRequest r;
            if (ParseError e = text(kRegistryUnits, &r.registryPath); e != ParseError::None) return Failed(e);
            if (ParseError e = text(kRegistryUnits, &r.type); e != ParseError::None) return Failed(e);
            return Parsed(std::move(r));
        }
        case kUnzip: {
            UnzipRequest r;
            if (ParseError e = path(kRegistryUnits, &r.archivePath); e != ParseError::None) return Failed(e);
            if (ParseError e = path(kRegistryUnits, &r.destination); e != ParseError::None) return Failed(e);
            return Parsed(std::move(r));
        }
        default:
            return Failed(ParseError::UnknownOpcode);
    }
}

Bytes EncodeResult(std::int32_t value) {
    Bytes out;
    PutU32(out, static_cast<std::uint32_t>(value));
    return out;
}

Bytes EncodeReadReply(std::span<const std::uint8_t> data) {
    Bytes out;
    out.reserve(4 + data.size());
    PutU32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes EncodeTextReply(const std::wstring& text) {
    // The reply always carries a terminator: a longer value is cut to 255 units.
    std::wstring cut = text.substr(0, std::min(text.find(L'\0'), kRegistryUnits - 1));
    Bytes out;
    PutText(out, cut, kRegistryUnits);
    return out;
}

std::wstring DecodeTextReply(std::span<const std::uint8_t> reply) {
    std::wstring text;
    for (std::size_t i = 0; i < kRegistryUnits && 2 * i + 1 < reply.size(); ++i) {
        const wchar_t unit = static_cast<wchar_t>(reply[2 * i] | reply[2 * i + 1] << 8);
        if (unit == L'\0') break;
        text.push_back(unit);
    }
    return text;
}

}  // namespace PermissionManager::Wire
