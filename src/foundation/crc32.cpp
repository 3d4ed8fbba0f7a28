#include "foundation/crc32.h"

#include <windows.h>

#include <array>
#include <bit>
#include <cstring>
#include <exception>

#include "foundation/file_digest.h"

namespace {

using Table = std::array<std::uint32_t, 256>;

// Words are folded into six independent registers ("braids"), so that the processor can work
// on six lookups chains at once; the result is bit for bit the one of the byte-wise step.
constexpr int kBraids = 6;
constexpr int kBlock = 4 * kBraids;  // bytes per round of the braids

struct Tables {
    // shifted[k][b]: the register after byte b and then k zero bytes. shifted[0] is the classic
    // table (entry 1 is 0x77073096, entry 255 is 0x2D02EF8D).
    std::array<Table, 4> shifted;
    // braid[k][b]: byte b at position k of a word, carried over one whole round of the braids.
    std::array<Table, 4> braid;
};

// Computed by the compiler; nothing is built at run time.
constexpr Tables MakeTables() {
    std::array<Table, kBlock> all{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i;
        for (int round = 0; round < 8; ++round) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
        all[0][i] = reg;
    }
    for (int k = 1; k < kBlock; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) all[k][i] = (all[k - 1][i] >> 8) ^ all[0][all[k - 1][i] & 0xFF];
    }
    Tables tables{};
    for (int k = 0; k < 4; ++k) {
        tables.shifted[k] = all[k];
        tables.braid[k] = all[kBlock - 1 - k];
    }
    return tables;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables.shifted[0][0] == 0 && kTables.shifted[0][1] == 0x77073096u &&
              kTables.shifted[0][255] == 0x2D02EF8Du);
static_assert(std::endian::native == std::endian::little, "words are read little-endian");

inline std::uint32_t Step(std::uint32_t reg, std::uint8_t byte) {
    return (reg >> 8) ^ kTables.shifted[0][(reg ^ byte) & 0xFF];
}

inline std::uint32_t LoadWord(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof(word));
    return word;
}

// The register after the four bytes of x (register and data already combined).
inline std::uint32_t WordStep(std::uint32_t x) {
    const auto& t = kTables.shifted;
    return t[3][x & 0xFF] ^ t[2][(x >> 8) & 0xFF] ^ t[1][(x >> 16) & 0xFF] ^ t[0][x >> 24];
}

// The same word carried over a whole round, as seen from its braid.
inline std::uint32_t BraidStep(std::uint32_t x) {
    const auto& t = kTables.braid;
    return t[0][x & 0xFF] ^ t[1][(x >> 8) & 0xFF] ^ t[2][(x >> 16) & 0xFF] ^ t[3][x >> 24];
}

}  // namespace

std::uint32_t CCrc32Static::Update(std::uint32_t reg, const void* data, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (const std::size_t rounds = count / kBlock; rounds > 0) {
        // Braid j collects words j, j + kBraids, ...; the last round folds them back into one
        // register, each shifted by the words that follow it.
        std::uint32_t braids[kBraids] = {reg};
        for (std::size_t round = 1; round < rounds; ++round, bytes += kBlock) {
            for (int j = 0; j < kBraids; ++j) braids[j] = BraidStep(braids[j] ^ LoadWord(bytes + 4 * j));
        }
        reg = 0;
        for (int j = 0; j < kBraids; ++j) reg = WordStep(reg ^ braids[j] ^ LoadWord(bytes + 4 * j));
        bytes += kBlock;
        count -= rounds * kBlock;
    }
    for (; count >= 4; bytes += 4, count -= 4) reg = WordStep(reg ^ LoadWord(bytes));
    for (; count > 0; --count) reg = Step(reg, *bytes++);
    return reg;
}

std::uint32_t CCrc32Static::ComputeFileCrc(const std::wstring& path, std::uint32_t& crc) {
    std::uint64_t size = 0;
    return ComputeFileCrc(path, crc, size);
}

std::uint32_t CCrc32Static::ComputeFileCrc(const std::wstring& path, std::uint32_t& crc, std::uint64_t& size) {
    FileDigest digest;
    const std::uint32_t result = ComputeFileDigest(path, false, digest);
    crc = digest.crc;
    size = digest.size;
    return result;
}

std::uint32_t CCrc32Static::ComputeTextCrc(const wchar_t* text, std::uint32_t& crc) {
    std::uint32_t reg = 0xFFFFFFFF;
    for (const wchar_t* p = text; *p; ++p) {
        const wchar_t c = *p;
        if (c == L' ' || c == L'\n' || c == L'\r' || c == L'\t') continue;
        reg = Step(reg, static_cast<std::uint8_t>(c & 0xFF));
        reg = Step(reg, static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    crc = ~reg;
    return 0;
}
