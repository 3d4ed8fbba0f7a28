// What the service tests share: names of their own, the pipe server on a thread, requests as
// the bytes a client sends, and seeded damage to them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "service/pipe_protocol.h"
#include "service/pipe_server.h"
#include "test_support.h"

// A name no other test, in this process or another, uses at the same time.
inline std::wstring UniqueName(const wchar_t* kind) {
    static std::atomic<int> counter{0};
    return FormatText(L"%ls-%lu-%d", kind, GetCurrentProcessId(), ++counter);
}

inline std::wstring UniquePipeName(const wchar_t* kind) { return L"\\\\.\\pipe\\" + UniqueName(kind); }

// The pipe server on a thread of this test, on a pipe of its own, stopped through its event
// and joined.
class LocalServer {
public:
    explicit LocalServer(PermissionManager::ServiceSettings settings,
                         PermissionManager::ServiceErrorSink reportError = [](const std::wstring&) {})
        : pipe_(UniquePipeName(L"RenewixTest")),
          stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          server_(pipe_, std::move(settings), reportError, log_),
          thread_([this] { (void)server_.Run(stop_.get()); }) {}
    ~LocalServer() { Stop(); }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Whether the server listens (false when it gave up).
    bool Ready() const {
        return WaitUntil([&] { return WaitNamedPipeW(pipe_.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND; });
    }
    // Returns when every session has ended.
    void Stop() {
        if (!thread_.joinable()) return;
        SetEvent(stop_.get());
        thread_.join();
    }
    const std::wstring& pipe() const { return pipe_; }
    std::size_t refused() const { return server_.RefusedOverShare(); }

private:
    Log log_;
    std::wstring pipe_;
    renewix::UniqueHandle stop_;
    PermissionManager::PipeServer server_;
    std::thread thread_;
};

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
