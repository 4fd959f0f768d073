#include "login_limits.hpp"

#include <algorithm>
#include <thread>

namespace drivoro::standin {

namespace {

// IDs compare without regard to ASCII letter case, as the member table does. Longer texts are
// no usable ID; cutting them keeps a flood of long IDs from filling memory.
std::string id_key(std::string_view id) {
    std::string key(id.substr(0, 128));
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return key;
}

// Entries are swept when a map grows past this, so it holds about the keys of one window.
constexpr std::size_t kSweepAbove = 4096;

}  // namespace

LoginLimiter::LoginLimiter(LoginLimits limits, std::function<Clock::time_point()> now)
    : limits_(limits), now_(std::move(now)) {}

LoginLimiter::Attempt::Attempt(Attempt&& other) noexcept
    : limiter_(other.limiter_), id_(std::move(other.id_)), address_(std::move(other.address_)) {
    other.limiter_ = nullptr;
}

LoginLimiter::Attempt::~Attempt() {
    end(Outcome::Failed);
}

void LoginLimiter::Attempt::end(Outcome outcome) {
    if (limiter_)
        limiter_->finish(id_, address_, outcome);
    limiter_ = nullptr;
}

void LoginLimiter::prune(Entry& entry, Clock::time_point now) const {
    while (!entry.failures.empty() && entry.failures.front() + limits_.window <= now)
        entry.failures.pop_front();
}

std::chrono::seconds LoginLimiter::wait_for(const Entry& entry, Clock::time_point now) const {
    const std::size_t counted = entry.failures.size() + entry.pending;
    if (counted < limits_.max_failures)
        return std::chrono::seconds(0);
    // The failure whose end brings the count below the limit. When the attempts still running
    // are what fills it, they end within about a second, with a failure or not.
    const std::size_t k = counted - limits_.max_failures;
    if (k >= entry.failures.size())
        return std::chrono::seconds(1);
    const auto left = entry.failures[k] + limits_.window - now;
    return std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(left));
}

std::variant<LoginLimiter::Attempt, std::chrono::seconds> LoginLimiter::begin(
    std::string_view id, std::string_view address) {
    std::lock_guard lock(mutex_);
    const auto now = now_();
    forget_unused(ids_, now);
    forget_unused(addresses_, now);
    std::string key = id_key(id);
    Entry& by_id = ids_[key];
    Entry& by_address = addresses_[std::string(address)];
    prune(by_id, now);
    prune(by_address, now);
    const auto wait = std::max(wait_for(by_id, now), wait_for(by_address, now));
    if (wait.count() > 0)
        return wait;
    ++by_id.pending;
    ++by_address.pending;
    return Attempt(this, std::move(key), std::string(address));
}

void LoginLimiter::finish(const std::string& id, const std::string& address,
                          Attempt::Outcome outcome) {
    std::lock_guard lock(mutex_);
    const auto now = now_();
    Entry& by_id = ids_[id];
    Entry& by_address = addresses_[address];
    --by_id.pending;
    --by_address.pending;
    if (outcome == Attempt::Outcome::Failed) {
        by_id.failures.push_back(now);
        by_address.failures.push_back(now);
    } else if (outcome == Attempt::Outcome::Succeeded) {
        by_id.failures.clear();
    }
}

void LoginLimiter::forget_unused(Entries& entries, Clock::time_point now) {
    if (entries.size() <= kSweepAbove)
        return;
    for (auto it = entries.begin(); it != entries.end();) {
        prune(it->second, now);
        if (it->second.failures.empty() && it->second.pending == 0) {
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
}

PasswordGate::PasswordGate(std::size_t running, std::size_t waiting)
    : max_running_(std::max<std::size_t>(1, running)), max_waiting_(waiting) {}

std::size_t PasswordGate::default_running() {
    return std::max(1u, std::thread::hardware_concurrency() / 2);
}

PasswordGate::Pass::~Pass() {
    if (gate_)
        gate_->leave();
}

std::optional<PasswordGate::Pass> PasswordGate::enter() {
    std::unique_lock lock(mutex_);
    if (running_ >= max_running_) {
        if (waiting_ >= max_waiting_)
            return std::nullopt;
        ++waiting_;
        freed_.wait(lock, [this] { return running_ < max_running_; });
        --waiting_;
    }
    ++running_;
    ++checks_;
    return Pass(this);
}

std::uint64_t PasswordGate::checks() const {
    std::lock_guard lock(mutex_);
    return checks_;
}

std::size_t PasswordGate::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

void PasswordGate::leave() {
    {
        std::lock_guard lock(mutex_);
        --running_;
    }
    freed_.notify_one();
}

}  // namespace drivoro::standin
