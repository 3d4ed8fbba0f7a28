// What the pipe tests share: requests as the bytes a client sends, and seeded damage to them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>

#include "service/pipe_protocol.h"

// A request as a client sends it: its opcode, then its payload.
inline PermissionManager::Wire::Bytes FrameOf(const PermissionManager::Wire::Request& request) {
    namespace Wire = PermissionManager::Wire;
    Wire::Bytes frame;
    Wire::PutU32(frame, Wire::OpcodeOf(request));
    const std::optional<Wire::Bytes> payload = Wire::EncodePayload(request);
    EXPECT_TRUE(payload.has_value());
    if (payload) frame.insert(frame.end(), payload->begin(), payload->end());
    return frame;
}

// Numbers below a bound from a fixed seed: a fuzz run is the same run every time.
class FuzzNumbers {
public:
    explicit FuzzNumbers(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t operator()(std::uint32_t below) {
        return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(engine_);
    }

private:
    std::mt19937 engine_;
};

// Random bytes of any length up to a little beyond the largest request, half the time behind a
// defined opcode.
inline PermissionManager::Wire::Bytes RandomFrame(FuzzNumbers& next) {
    PermissionManager::Wire::Bytes frame(next(1600));
    for (auto& byte : frame) byte = static_cast<std::uint8_t>(next(256));
    if (frame.size() >= 4 && next(2) == 0) {
        const std::uint32_t opcode = 1000 + next(16);
        for (int b = 0; b < 4; ++b) frame[b] = static_cast<std::uint8_t>(opcode >> (8 * b));
    }
    return frame;
}

// A few bits of a frame flipped, and now and then the frame cut short or run on.
inline void Damage(PermissionManager::Wire::Bytes& frame, FuzzNumbers& next) {
    for (std::uint32_t n = next(6); n > 0; --n) frame[next(static_cast<std::uint32_t>(frame.size()))] ^= 1u << next(8);
    if (next(8) == 0) frame.resize(next(static_cast<std::uint32_t>(frame.size()) + 8));
}
