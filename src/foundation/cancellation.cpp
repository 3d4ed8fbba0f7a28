#include "foundation/cancellation.h"

#include <utility>

namespace renewix {

void Cancellation::Cancel() {
    std::lock_guard<std::mutex> hold(lock_);
    if (cancelled_.exchange(true)) return;
    for (auto& closer : closers_) closer();
}

Cancellation::Registration Cancellation::OnCancel(std::function<void()> closer) {
    std::lock_guard<std::mutex> hold(lock_);
    if (cancelled_.load()) {
        closer();
        return {};
    }
    closers_.push_back(std::move(closer));
    return Registration(this, std::prev(closers_.end()));
}

Cancellation::Registration::Registration(Registration&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), entry_(other.entry_) {}

Cancellation::Registration& Cancellation::Registration::operator=(Registration&& other) noexcept {
    if (this != &other) {
        reset();
        owner_ = std::exchange(other.owner_, nullptr);
        entry_ = other.entry_;
    }
    return *this;
}

void Cancellation::Registration::reset() {
    if (!owner_) return;
    std::lock_guard<std::mutex> hold(owner_->lock_);
    owner_->closers_.erase(entry_);
    owner_ = nullptr;
}

}  // namespace renewix
