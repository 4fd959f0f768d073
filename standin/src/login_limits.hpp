#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

namespace drivoro::standin {

struct LoginLimits {
    std::size_t max_failures = 10;
    std::chrono::seconds window{60};
};

// Failed logins per member ID and per client address over a sliding window. An attempt counts
// from the moment it is let through, so that parallel attempts cannot overrun the limit; one
// that succeeds stops counting when it ends, and clears its ID's failures.
class LoginLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LoginLimiter(LoginLimits limits = {},
                          std::function<Clock::time_point()> now = &Clock::now);

    // An attempt let through. It counts as a failure unless it is marked otherwise.
    class Attempt {
      public:
        Attempt(Attempt&& other) noexcept;
        Attempt& operator=(Attempt&&) = delete;
        ~Attempt();
        void succeeded() { end(Outcome::Succeeded); }
        // No password was checked after all.
        void cancelled() { end(Outcome::Cancelled); }

      private:
        friend class LoginLimiter;
        enum class Outcome { Failed, Succeeded, Cancelled };
        Attempt(LoginLimiter* limiter, std::string id, std::string address)
            : limiter_(limiter), id_(std::move(id)), address_(std::move(address)) {}
        void end(Outcome outcome);

        LoginLimiter* limiter_;
        std::string id_;
        std::string address_;
    };

    // The attempt, or, when the ID or the address has used up its failures, how long until
    // the next attempt is let through (whole seconds, at least one).
    std::variant<Attempt, std::chrono::seconds> begin(std::string_view id,
                                                      std::string_view address);

  private:
    struct Entry {
        std::deque<Clock::time_point> failures;
        std::size_t pending = 0;
    };
    using Entries = std::unordered_map<std::string, Entry>;

    void finish(const std::string& id, const std::string& address, Attempt::Outcome outcome);
    void prune(Entry& entry, Clock::time_point now) const;
    std::chrono::seconds wait_for(const Entry& entry, Clock::time_point now) const;
    void forget_unused(Entries& entries, Clock::time_point now);

    LoginLimits limits_;
    std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    Entries ids_;
    Entries addresses_;
};

// At most `running` password checks at once and `waiting` more queued behind them: one PBKDF2
// check takes a processor for about a third of a second, so unbounded parallel logins would
// starve every other request and each other.
class PasswordGate {
  public:
    PasswordGate(std::size_t running, std::size_t waiting);
    // Half the processors, and 16 waiting.
    static std::size_t default_running();

    class Pass {
      public:
        Pass(Pass&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Pass& operator=(Pass&&) = delete;
        ~Pass();

      private:
        friend class PasswordGate;
        explicit Pass(PasswordGate* gate) : gate_(gate) {}
        PasswordGate* gate_;
    };

    // Waits for a free place; nullopt at once when the queue is full.
    std::optional<Pass> enter();
    // Passes given out so far: one per password check run.
    std::uint64_t checks() const;
    std::size_t waiting() const;

  private:
    void leave();

    const std::size_t max_running_;
    const std::size_t max_waiting_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    std::size_t running_ = 0;
    std::size_t waiting_ = 0;
    std::uint64_t checks_ = 0;
};

}  // namespace drivoro::standin
