#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drivoro::standin {

// True when every address `host` stands for is a loopback address (127.0.0.0/8, ::1), so
// that only this machine can connect; false for wildcards and any other address.
bool is_loopback_host(const std::string& host);

// What one client may send and how long it may take. cpp-httplib 0.11 (Debian's, built as a
// shared library) reads any number of headers, buffers chunked bodies whole, and gives each
// connection a thread that waits as long as bytes keep trickling in; these limits are kept in
// front of it instead.
struct GuardLimits {
    // The request line and the headers together.
    std::size_t max_head_bytes = 16 * 1024;
    std::size_t max_header_count = 100;
    // cpp-httplib answers 414 past this length too.
    std::size_t max_request_line = 8192;
    std::size_t max_body_bytes = 64 * 1024;
    // From the first byte of a request until the whole request, body included, is in.
    std::chrono::milliseconds request_time{10'000};
    // Waiting for the first byte of a request on an open connection.
    std::chrono::milliseconds idle_time{5'000};
    // Waiting for the client to take the next piece of an answer.
    std::chrono::milliseconds write_stall{30'000};
    // A refused client's unread bytes are read and dropped this long, so that it sees the
    // refusal instead of a reset connection.
    std::chrono::milliseconds linger_time{1'000};
    std::size_t max_connections = 256;
    // Threads that run handlers and write answers; requests are only handed to them whole.
    std::size_t workers = 32;
    std::size_t max_requests_per_connection = 100;
};

// cpp-httplib's routing and answers behind an accept loop of its own. One thread reads every
// connection's requests without blocking, refuses what breaks a limit with a 4xx answer before
// reading further, and hands only whole requests to the worker threads, which run them through
// cpp-httplib's request handling. Slow or hostile senders therefore never hold a worker, and
// memory per connection is bounded by the head and body limits. With use_tls() the same port
// speaks TLS too; the TLS handshake runs in the same loop, under the same limits.
class GuardedServer : public httplib::Server {
  public:
    explicit GuardedServer(GuardLimits limits = {});
    ~GuardedServer() override;
    GuardedServer(const GuardedServer&) = delete;
    GuardedServer& operator=(const GuardedServer&) = delete;

    // Serves TLS too, on the same port as plain HTTP: a connection whose first byte is 0x16
    // opens with a TLS handshake record, which no HTTP request starts with; any other is plain
    // HTTP. Call before serve(). Throws std::runtime_error when the files cannot be used.
    void use_tls(const std::string& certificate_chain_file, const std::string& key_file);

    // Binds and listens; port 0 picks a free port. Returns the port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); false when not bound.
    bool serve();
    // From any thread, also before serve().
    void stop();

    // Called for each request the guard refuses itself (cpp-httplib's logger sees the others).
    using RefusalLogger = std::function<void(const std::string& address, int status)>;
    void set_refusal_logger(RefusalLogger logger) { refusal_logger_ = std::move(logger); }

    const GuardLimits& limits() const { return limits_; }

    // One client's connection; guard.cpp alone knows it.
    struct Connection;

  private:
    class ConnectionStream;
    using Clock = std::chrono::steady_clock;

    void accept_all();
    void receive(Connection& c);
    // Each returns false when the connection is not ready to be read, or was closed.
    bool tell_protocol(Connection& c);
    bool continue_handshake(Connection& c);
    void set_events(const Connection& c, std::uint32_t events);
    void examine(Connection& c);
    void refuse(Connection& c, int status, const std::string& why);
    void dispatch(Connection& c);
    void take_back_returned();
    void expire(Clock::time_point now);
    int next_timeout_ms(Clock::time_point now) const;
    void close_connection(int fd);
    void watch(const Connection& c);
    void work();
    void shut_down();

    GuardLimits limits_;
    RefusalLogger refusal_logger_;
    SSL_CTX* tls_context_ = nullptr;
    int listen_fd_ = -1;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};

    // Only the accept loop's thread touches the connections that are not with a worker.
    std::map<int, std::unique_ptr<Connection>> connections_;

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<Connection*> jobs_;
    std::vector<Connection*> returned_;
    bool workers_done_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace drivoro::standin
