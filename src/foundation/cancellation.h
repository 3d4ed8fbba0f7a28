// A request to stop, made on one thread (the user's Cancel, a close request) and honoured on
// another (a transfer blocked in a network call). Whoever holds something a blocked call waits
// on registers a closer; Cancel runs every closer once, so the blocked call returns at once.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <mutex>

namespace renewix {

class Cancellation {
public:
    class Registration;

    Cancellation() = default;
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    // Any thread, any number of times: the closers run on the first call only.
    void Cancel();
    [[nodiscard]] bool Cancelled() const noexcept { return cancelled_.load(); }

    // Runs `closer` on Cancel, or at once (on this thread) when cancelled already. The closer
    // runs under the lock, so the registration's end waits for a closer that is running: after
    // it, the closer has either finished or will never run.
    [[nodiscard]] Registration OnCancel(std::function<void()> closer);

private:
    std::mutex lock_;
    std::atomic<bool> cancelled_{false};
    std::list<std::function<void()>> closers_;
};

class Cancellation::Registration {
public:
    Registration() = default;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    Registration(Registration&& other) noexcept;
    Registration& operator=(Registration&& other) noexcept;
    ~Registration() { reset(); }
    void reset();

private:
    friend class Cancellation;
    Registration(Cancellation* owner, std::list<std::function<void()>>::iterator entry)
        : owner_(owner), entry_(entry) {}
    Cancellation* owner_ = nullptr;
    std::list<std::function<void()>>::iterator entry_{};
};

}  // namespace renewix
