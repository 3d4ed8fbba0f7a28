#include "service/pipe_protocol.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <variant>

#include "service_support.h"
#include "test_support.h"

namespace {

namespace Wire = PermissionManager::Wire;

// One request of every kind, each field set, no two fields alike.
const Wire::Request kSamples[] = {
    Wire::GreetingRequest{},
    Wire::OpenRequest{GENERIC_WRITE, CREATE_ALWAYS, 0x80, L"C:\\a\\b.txt"},
    Wire::WriteRequest{7},
    Wire::ReadRequest{3, 8192},
    Wire::CloseRequest{50},
    Wire::MoveRequest{L"C:\\from", L"\\\\server\\share\\to"},
    Wire::PathRequest{Wire::kDelete, L"D:\\x"},
    Wire::PathRequest{Wire::kGetAttributes, L"D:\\x"},
    Wire::PathRequest{Wire::kMakeDirectories, L"D:\\x"},
    Wire::PathRequest{Wire::kDeleteTree, L"D:\\x"},
    Wire::PathRequest{Wire::kRegisterServer, L"D:\\x"},
    Wire::PathRequest{Wire::kUnregisterServer, L"D:\\x"},
    Wire::SetTimesRequest{{1, 2}, {3, 4}, {5, 6}, 9},
    Wire::UpdateRegistryRequest{L"HKEY_LOCAL_MACHINE\\Software\\V", L"(Default)", L"Add REG_SZ 5"},
    Wire::QueryRegistryRequest{L"HKEY_USERS\\x\\v", L"REG_SZ"},
    Wire::UnzipRequest{L"C:\\d\\a.zip", L"C:\\d\\"},
};

// Every field of a request as text, written apart from the encoder, so that a field the
// encoder writes into another's slot shows even where encoding the parse again repeats it.
std::string FieldsOf(const Wire::Request& request) {
    const auto n = [](auto value) { return std::to_string(value) + " "; };
    const auto t = [](const std::wstring& text) { return WideToUtf8(text) + " "; };
    const auto time = [&](const FILETIME& at) { return n(at.dwLowDateTime) + n(at.dwHighDateTime); };
    return std::visit(
        [&](const auto& r) -> std::string {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, Wire::OpenRequest>)
                return n(r.access) + n(r.disposition) + n(r.flags) + t(r.path);
            if constexpr (std::is_same_v<R, Wire::WriteRequest> || std::is_same_v<R, Wire::CloseRequest>)
                return n(r.fileId);
            if constexpr (std::is_same_v<R, Wire::ReadRequest>) return n(r.fileId) + n(r.count);
            if constexpr (std::is_same_v<R, Wire::MoveRequest>) return t(r.from) + t(r.to);
            if constexpr (std::is_same_v<R, Wire::PathRequest>) return n(r.opcode) + t(r.path);
            if constexpr (std::is_same_v<R, Wire::SetTimesRequest>)
                return time(r.creation) + time(r.lastAccess) + time(r.lastWrite) + n(r.fileId);
            if constexpr (std::is_same_v<R, Wire::UpdateRegistryRequest>)
                return t(r.keyPath) + t(r.valueName) + t(r.action);
            if constexpr (std::is_same_v<R, Wire::QueryRegistryRequest>) return t(r.registryPath) + t(r.type);
            if constexpr (std::is_same_v<R, Wire::UnzipRequest>) return t(r.archivePath) + t(r.destination);
            return "";
        },
        request);
}

Wire::ParseError ErrorOf(const Wire::Bytes& frame) { return Wire::ParseRequest(frame).error; }

// A frame of an opcode with a payload of the right size, all zero but for what `fill` puts in.
Wire::Bytes Blank(std::uint32_t opcode) {
    Wire::Bytes frame;
    Wire::PutU32(frame, opcode);
    frame.resize(4 + *Wire::PayloadSize(opcode), 0);
    return frame;
}

void PutUnits(Wire::Bytes& frame, std::size_t at, const std::wstring& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        frame[at + 2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        frame[at + 2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
}

// Each field is where the other side reads it: a request parsed is the one encoded, and
// encoded again is the same bytes.
TEST(PipeWire, EveryRequestDecodesAsItWasEncoded) {
    for (const Wire::Request& request : kSamples) {
        SCOPED_TRACE(Wire::OpcodeOf(request));
        const Wire::Bytes frame = FrameOf(request);
        const Wire::ParsedRequest parsed = Wire::ParseRequest(frame);
        ASSERT_EQ(parsed.error, Wire::ParseError::None);
        EXPECT_EQ(parsed.request.index(), request.index());
        EXPECT_EQ(FieldsOf(parsed.request), FieldsOf(request));
        EXPECT_EQ(FrameOf(parsed.request), frame);
    }
}

TEST(PipeWire, FieldsAreLittleEndianAndTextsPaddedWithZeros) {
    const Wire::Bytes frame = FrameOf(Wire::OpenRequest{0x40000000, 2, 0x01020304, L"C:\\"});
    ASSERT_EQ(frame.size(), 536u);
    const Wire::Bytes head(frame.begin(), frame.begin() + 22);
    const Wire::Bytes expected = {0xE9, 0x03, 0, 0,  0, 0, 0, 0x40,  2, 0, 0, 0,  4, 3, 2, 1,
                                  'C',  0,    ':', 0, '\\', 0};
    EXPECT_EQ(head, expected);
    for (std::size_t i = 22; i < frame.size(); ++i) ASSERT_EQ(frame[i], 0) << i;

    EXPECT_EQ(Wire::EncodeResult(-1), (Wire::Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Wire::EncodeResult(0x12345678), (Wire::Bytes{0x78, 0x56, 0x34, 0x12}));
    // A read of 100 bytes is answered with 104: the count, then the data.
    const Wire::Bytes data(100, 0xAB);
    const Wire::Bytes reply = Wire::EncodeReadReply(data);
    ASSERT_EQ(reply.size(), 104u);
    EXPECT_EQ(Wire::GetU32(reply.data()), 100u);
    EXPECT_EQ(reply[103], 0xAB);
}

TEST(PipeWire, TextsThatFillTheirFieldAreNeverSentNorRead) {
    Wire::Bytes out;
    EXPECT_TRUE(Wire::PutText(out, std::wstring(259, L'a'), 260));
    EXPECT_EQ(out.size(), 520u);
    EXPECT_EQ(out[518], 0);
    EXPECT_FALSE(Wire::PutText(out, std::wstring(260, L'a'), 260));
    EXPECT_FALSE(Wire::PutText(out, std::wstring(L"a\0b", 3), 260));  // would arrive cut at the zero

    // The client refuses what would arrive cut; the service refuses a field without terminator.
    EXPECT_FALSE(Wire::EncodePayload(Wire::PathRequest{Wire::kDelete, L"C:\\" + std::wstring(257, L'x')}));
    EXPECT_TRUE(Wire::EncodePayload(Wire::PathRequest{Wire::kDelete, L"C:\\" + std::wstring(256, L'x')}));

    Wire::Bytes full = Blank(Wire::kDelete);
    PutUnits(full, 4, L"C:\\" + std::wstring(257, L'x'));
    EXPECT_EQ(ErrorOf(full), Wire::ParseError::UnterminatedText);
    Wire::Bytes registry = Blank(Wire::kQueryRegistry);
    PutUnits(registry, 4, L"HKEY_USERS\\a");
    PutUnits(registry, 4 + 512, std::wstring(256, L'R'));  // the type fills its field
    EXPECT_EQ(ErrorOf(registry), Wire::ParseError::UnterminatedText);

    // Registry replies always carry a terminator: a longer value is cut to 255 units.
    const Wire::Bytes reply = Wire::EncodeTextReply(std::wstring(300, L'v'));
    ASSERT_EQ(reply.size(), 512u);
    EXPECT_EQ(Wire::DecodeTextReply(reply), std::wstring(255, L'v'));
    Wire::Bytes unterminated(512, 'z');
    EXPECT_EQ(Wire::DecodeTextReply(unterminated).size(), 256u);  // never past the field
}

TEST(PipeWire, MalformedRequestsAreRecognised) {
    using E = Wire::ParseError;
    EXPECT_EQ(ErrorOf({}), E::WrongLength);
    EXPECT_EQ(ErrorOf(Wire::Bytes{0xE7, 0x03, 0, 0}), E::UnknownOpcode);  // 999
    Wire::Bytes shortRead = Blank(Wire::kRead);
    shortRead.pop_back();
    EXPECT_EQ(ErrorOf(shortRead), E::WrongLength);
    Wire::Bytes longClose = Blank(Wire::kClose);
    longClose.push_back(0);
    EXPECT_EQ(ErrorOf(longClose), E::WrongLength);

    Wire::Bytes greeting = Blank(Wire::kGreeting);
    EXPECT_EQ(ErrorOf(greeting), E::BadGreeting);

    const auto pathError = [](const std::wstring& path) {
        Wire::Bytes frame = Blank(Wire::kGetAttributes);
        PutUnits(frame, 4, path);
        return ErrorOf(frame);
    };
    for (const wchar_t* path : {L"C:\\x", L"z:\\", L"\\\\server\\share\\x"}) {
        EXPECT_EQ(pathError(path), E::None) << WideToUtf8(path);
    }
    for (const wchar_t* path :
         {L"relative.txt", L"C:relative.txt", L"\\rooted", L"\\\\.\\PhysicalDrive0", L"\\\\?\\C:\\x", L""}) {
        EXPECT_EQ(pathError(path), E::PathNotAbsolute) << WideToUtf8(path);
    }

    EXPECT_EQ(ErrorOf(Blank(Wire::kWrite)), E::BadFileId);
    EXPECT_EQ(ErrorOf(Blank(Wire::kRead)), E::BadFileId);
    EXPECT_EQ(ErrorOf(FrameOf(Wire::ReadRequest{1, 8193})), E::CountTooLarge);
    EXPECT_EQ(ErrorOf(FrameOf(Wire::CloseRequest{51})), E::BadFileId);
    EXPECT_EQ(ErrorOf(FrameOf(Wire::CloseRequest{0})), E::BadFileId);
    // Only the low 8 bits of a SetTimes id count.
    EXPECT_EQ(ErrorOf(FrameOf(Wire::SetTimesRequest{{}, {}, {}, 0x100})), E::BadFileId);
    const Wire::ParsedRequest times = Wire::ParseRequest(FrameOf(Wire::SetTimesRequest{{}, {}, {}, 0x105}));
    EXPECT_EQ(std::get<Wire::SetTimesRequest>(times.request).fileId, 5u);
    // The service reads and writes its files synchronously.
    EXPECT_EQ(ErrorOf(FrameOf(Wire::OpenRequest{GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, L"C:\\x"})),
              E::BadFlags);
}

// The parser takes any bytes: random ones and damaged valid requests. Whatever it accepts
// encodes again to a request that parses the same way.
TEST(PipeWire, BoundedFuzzOfTheParser) {
    FuzzNumbers next(20260512);
    int accepted = 0;
    for (int i = 0; i < 100000; ++i) {
        Wire::Bytes frame;
        if (next(2) == 0) {
            frame = RandomFrame(next);
        } else {
            frame = FrameOf(kSamples[next(std::size(kSamples))]);
            Damage(frame, next);
        }
        const Wire::ParsedRequest parsed = Wire::ParseRequest(frame);
        if (!parsed) continue;
        ++accepted;
        const Wire::ParsedRequest again = Wire::ParseRequest(FrameOf(parsed.request));
        ASSERT_TRUE(again) << "iteration " << i;
        ASSERT_EQ(Wire::OpcodeOf(again.request), Wire::OpcodeOf(parsed.request)) << "iteration " << i;
    }
    EXPECT_GT(accepted, 1000);  // the damaged requests reach past the first checks
}

}  // namespace
