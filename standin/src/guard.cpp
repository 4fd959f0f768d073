#include "guard.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

#include "answers.hpp"

namespace drivoro::standin {

namespace {

constexpr std::size_t kReadPiece = 16 * 1024;
// The first byte of a TLS handshake record. An HTTP request begins with a method name (or an
// empty line), never with it.
constexpr unsigned char kTlsHandshake = 0x16;

std::string numeric_address(const sockaddr* addr, socklen_t length, int* port) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (getnameinfo(addr, length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return {};
    }
    *port = std::atoi(service);
    return host;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// What the guard needs to know of a request head before anything else is read.
struct Head {
    std::size_t request_line = 0;
    std::size_t header_count = 0;
    bool transfer_encoding = false;
    bool bad_length = false;
    std::size_t content_length = 0;
    bool expect_continue = false;
};

// `text` is the head without its closing empty line.
Head read_head(std::string_view text) {
    Head head;
    bool first = true;
    bool have_length = false;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
        if (first) {
            head.request_line = line.size();
            first = false;
            continue;
        }
        ++head.header_count;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (same_name(name, "Transfer-Encoding")) {
            head.transfer_encoding = true;
        } else if (same_name(name, "Content-Length")) {
            std::size_t length = 0;
            const auto [end_of_number, ec] =
                std::from_chars(value.data(), value.data() + value.size(), length);
            // Two different lengths make the body's end ambiguous, a classic smuggling trick.
            if (value.empty() || ec != std::errc() ||
                end_of_number != value.data() + value.size() ||
                (have_length && length != head.content_length)) {
                head.bad_length = true;
            }
            have_length = true;
            head.content_length = length;
        } else if (same_name(name, "Expect")) {
            head.expect_continue = same_name(value, "100-continue");
        }
    }
    return head;
}

std::size_t count_lines(std::string_view text) {
    std::size_t lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string_view::npos;
         at = text.find("\r\n", at + 2)) {
        ++lines;
    }
    return lines;
}

void send_once(int fd, const std::string& bytes) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent;  // best effort: the connection is closed after it anyway
}

std::string refusal(int status, const std::string& why) {
    const std::string body =
        std::to_string(status) + " " + std::string(reason(status)) + ": " + why + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason(status)) +
           "\r\nContent-Type: " + std::string(kTextType) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

}  // namespace

bool is_loopback_host(const std::string& host) {
    if (host.empty())
        return false;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    bool loopback = found != nullptr;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            loopback = loopback && (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
        } else if (a->ai_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            loopback = loopback && IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
        } else {
            loopback = false;
        }
    }
    ::freeaddrinfo(found);
    return loopback;
}

struct GuardedServer::Connection {
    enum class State { Idle, Reading, Working, Draining };
    enum class Protocol { Unknown, Plain, Tls };

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (tls)
            SSL_free(tls);
    }

    int fd = -1;
    Protocol protocol = Protocol::Unknown;
    SSL* tls = nullptr;
    bool handshaking = false;
    // After a fatal TLS error nothing more may be sent, not even the closing alert.
    bool tls_broken = false;
    std::string remote_address;
    int remote_port = 0;
    std::string local_address;
    int local_port = 0;
    // Received and not yet answered; the current request is [0, request_end).
    std::string buffer;
    std::size_t request_end = 0;
    State state = State::Idle;
    Clock::time_point deadline;
    std::size_t served = 0;
    bool continue_sent = false;
    bool peer_closed = false;
    bool close_after = false;
};

namespace {

using Connection = GuardedServer::Connection;

void note_tls_failure(Connection& c, int error) {
    if (error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL)
        c.tls_broken = true;
    ERR_clear_error();
}

// What is there to read, without waiting: the count, 0 once the peer has ended the connection,
// or -1 with errno (EAGAIN when nothing has come yet).
ssize_t read_some(Connection& c, char* into, std::size_t size) {
    if (!c.tls)
        return ::recv(c.fd, into, size, 0);
    const int n = SSL_read(c.tls, into, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0)
        return n;
    const int error = SSL_get_error(c.tls, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    note_tls_failure(c, error);
    if (error == SSL_ERROR_ZERO_RETURN)
        return 0;
    errno = ECONNRESET;
    return -1;
}

void send_once(Connection& c, const std::string& bytes) {
    if (!c.tls)
        return send_once(c.fd, bytes);
    if (c.handshaking || c.tls_broken)
        return;
    const int n = SSL_write(c.tls, bytes.data(), static_cast<int>(bytes.size()));
    if (n <= 0)
        note_tls_failure(c, SSL_get_error(c.tls, n));
}

// Tells the peer that nothing more comes: TLS's closing alert, then the socket's half close.
void end_writing(Connection& c) {
    if (c.tls && !c.handshaking && !c.tls_broken) {
        SSL_shutdown(c.tls);
        ERR_clear_error();
    }
    ::shutdown(c.fd, SHUT_WR);
}

}  // namespace

// One whole request out of the connection's buffer for cpp-httplib, and the socket for its
// answer. Reading never waits: the request is complete before a worker sees it.
class GuardedServer::ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(Connection& c, std::chrono::milliseconds stall) : c_(c), stall_(stall) {}

    bool is_readable() const override { return read_ < c_.request_end; }
    bool is_writable() const override { return wait_writable(); }

    ssize_t read(char* ptr, size_t size) override {
        const std::size_t n = std::min(size, c_.request_end - read_);
        std::memcpy(ptr, c_.buffer.data() + read_, n);
        read_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (c_.tls)
            return write_tls(ptr, size);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable()) {
                continue;
            } else {
                failed_ = true;
                return -1;
            }
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.remote_address;
        port = c_.remote_port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.local_address;
        port = c_.local_port;
    }
    socket_t socket() const override { return c_.fd; }

    bool failed() const { return failed_; }

  private:
    bool wait_for(short event) const {
        pollfd p{c_.fd, event, 0};
        for (;;) {
            const int ready = ::poll(&p, 1, static_cast<int>(stall_.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            return ready > 0 && (p.revents & event) && !(p.revents & (POLLERR | POLLNVAL));
        }
    }
    bool wait_writable() const { return wait_for(POLLOUT); }

    ssize_t write_tls(const char* ptr, size_t size) {
        std::size_t done = 0;
        while (done < size && !c_.tls_broken) {
            const int n = SSL_write(c_.tls, ptr + done,
                                    static_cast<int>(std::min<std::size_t>(size - done, INT_MAX)));
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            const int error = SSL_get_error(c_.tls, n);
            if ((error == SSL_ERROR_WANT_WRITE && wait_for(POLLOUT)) ||
                (error == SSL_ERROR_WANT_READ && wait_for(POLLIN))) {
                continue;
            }
            note_tls_failure(c_, error);
            break;
        }
        if (done < size) {
            failed_ = true;
            return -1;
        }
        return static_cast<ssize_t>(size);
    }

    Connection& c_;
    std::chrono::milliseconds stall_;
    std::size_t read_ = 0;
    bool failed_ = false;
};

GuardedServer::GuardedServer(GuardLimits limits) : limits_(limits) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd_ < 0 || wake_fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "cannot set up the server");
    set_payload_max_length(limits_.max_body_bytes);
    // Only what the Keep-Alive header announces; the guard enforces both.
    set_keep_alive_max_count(limits_.max_requests_per_connection);
    set_keep_alive_timeout(
        std::chrono::duration_cast<std::chrono::seconds>(limits_.idle_time).count());
}

GuardedServer::~GuardedServer() {
    if (!workers_.empty())
        shut_down();
    for (const auto& [fd, c] : connections_)
        ::close(fd);
    connections_.clear();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    ::close(epoll_fd_);
    ::close(wake_fd_);
    SSL_CTX_free(tls_context_);
}

void GuardedServer::use_tls(const std::string& certificate_chain_file,
                            const std::string& key_file) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    const auto fail = [&](const std::string& what) {
        const unsigned long error = ERR_get_error();
        char text[256] = "";
        ERR_error_string_n(error, text, sizeof text);
        ERR_clear_error();
        SSL_CTX_free(context);
        throw std::runtime_error(what + (error ? std::string(": ") + text : std::string()));
    };
    if (!context)
        fail("cannot set up TLS");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A client that goes without the closing alert has still ended the connection; a client
    // may not renegotiate, which would have the loop write while it reads.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, certificate_chain_file.c_str()) != 1)
        fail("cannot use the certificate " + certificate_chain_file);
    if (SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        fail("cannot use the key " + key_file);
    if (SSL_CTX_check_private_key(context) != 1)
        fail(key_file + " is not the key of " + certificate_chain_file);
    // OpenSSL writes to the socket without MSG_NOSIGNAL: a client gone mid-answer must not end
    // the service.
    ::signal(SIGPIPE, SIG_IGN);
    SSL_CTX_free(tls_context_);
    tls_context_ = context;
}

int GuardedServer::bind(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                      &found) != 0) {
        return -1;
    }
    for (const addrinfo* a = found; a && listen_fd_ < 0; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        // Only SO_REUSEADDR: SO_REUSEPORT would let a second stand-in bind the same port and
        // silently take half of the connections; a taken port must fail instead.
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            listen_fd_ = fd;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (listen_fd_ < 0)
        return -1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    int bound_port = -1;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
        numeric_address(reinterpret_cast<sockaddr*>(&bound), length, &bound_port).empty()) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        return -1;
    }
    // cpp-httplib ends answers written by a content provider once this is invalid.
    svr_sock_ = listen_fd_;
    return bound_port;
}

bool GuardedServer::serve() {
    if (listen_fd_ < 0)
        return false;
    for (const int fd : {listen_fd_, wake_fd_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
    }
    for (std::size_t i = 0; i < std::max<std::size_t>(1, limits_.workers); ++i)
        workers_.emplace_back([this] { work(); });

    epoll_event events[64];
    while (!stopping_) {
        const int count = ::epoll_wait(epoll_fd_, events, 64, next_timeout_ms(Clock::now()));
        if (count < 0 && errno != EINTR)
            break;
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listen_fd_) {
                accept_all();
            } else if (fd == wake_fd_) {
                std::uint64_t ignored = 0;
                const ssize_t n = ::read(wake_fd_, &ignored, sizeof ignored);
                (void)n;
                take_back_returned();
            } else if (const auto it = connections_.find(fd); it != connections_.end()) {
                receive(*it->second);
            }
        }
        expire(Clock::now());
    }
    shut_down();
    return true;
}

void GuardedServer::stop() {
    stopping_ = true;
    const std::uint64_t one = 1;
    const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    (void)n;
}

void GuardedServer::accept_all() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->remote_address =
            numeric_address(reinterpret_cast<sockaddr*>(&peer), length, &c->remote_port);
        if (connections_.size() >= limits_.max_connections) {
            send_once(fd, refusal(503, "too many connections; try again shortly"));
            ::close(fd);
            if (refusal_logger_)
                refusal_logger_(c->remote_address, 503);
            continue;
        }
        sockaddr_storage local{};
        length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            c->local_address =
                numeric_address(reinterpret_cast<sockaddr*>(&local), length, &c->local_port);
        }
        // Answers go out as a head and a body in two writes; without this the body would wait
        // for the client's delayed acknowledgement of the head.
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        c->deadline = Clock::now() + limits_.idle_time;
        watch(*c);
        connections_.emplace(fd, std::move(c));
    }
}

void GuardedServer::watch(const Connection& c) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = c.fd;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, c.fd, &event);
}

void GuardedServer::set_events(const Connection& c, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = c.fd;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &event);
}

bool GuardedServer::tell_protocol(Connection& c) {
    unsigned char first = 0;
    const ssize_t n = ::recv(c.fd, &first, 1, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    // The byte stays in the socket, for OpenSSL or for the request.
    if (n == 1 && first != kTlsHandshake) {
        c.protocol = Connection::Protocol::Plain;
        return true;
    }
    if (n <= 0 || !tls_context_) {
        close_connection(c.fd);
        return false;
    }
    c.tls = SSL_new(tls_context_);
    if (!c.tls || SSL_set_fd(c.tls, c.fd) != 1) {
        ERR_clear_error();
        close_connection(c.fd);
        return false;
    }
    SSL_set_accept_state(c.tls);
    c.protocol = Connection::Protocol::Tls;
    c.handshaking = true;
    return true;
}

bool GuardedServer::continue_handshake(Connection& c) {
    // The handshake has the idle time of a new connection to finish in.
    const int result = SSL_do_handshake(c.tls);
    if (result == 1) {
        c.handshaking = false;
        set_events(c, EPOLLIN | EPOLLRDHUP);
        return true;
    }
    const int error = SSL_get_error(c.tls, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        set_events(c, EPOLLIN | EPOLLRDHUP | (error == SSL_ERROR_WANT_WRITE ? EPOLLOUT : 0u));
        return false;
    }
    // A client that refuses the certificate, or no TLS at all.
    note_tls_failure(c, error);
    close_connection(c.fd);
    return false;
}

void GuardedServer::receive(Connection& c) {
    if (c.protocol == Connection::Protocol::Unknown && !tell_protocol(c))
        return;
    if (c.handshaking && !continue_handshake(c))
        return;
    char piece[kReadPiece];
    if (c.state == Connection::State::Draining) {
        for (;;) {
            const ssize_t n = read_some(c, piece, sizeof piece);
            if (n > 0 || (n < 0 && errno == EINTR))
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            return close_connection(c.fd);
        }
    }
    // Enough for the largest acceptable request; at this size examine() decides either way.
    const std::size_t cap = limits_.max_head_bytes + limits_.max_body_bytes + kReadPiece;
    while (c.buffer.size() < cap) {
        const ssize_t n = read_some(c, piece, std::min(sizeof piece, cap - c.buffer.size()));
        if (n > 0) {
            c.buffer.append(piece, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            // A request sent whole before the client closed its side is still answered.
            c.peer_closed = true;
            break;
        }
    }
    examine(c);
    if (c.peer_closed && c.state != Connection::State::Working)
        close_connection(c.fd);
}

void GuardedServer::examine(Connection& c) {
    // Empty lines before a request are ignored (RFC 9112 2.2).
    std::size_t blank = 0;
    while (blank + 1 < c.buffer.size() && c.buffer[blank] == '\r' && c.buffer[blank + 1] == '\n')
        blank += 2;
    c.buffer.erase(0, blank);
    if (c.buffer.empty())
        return;
    if (c.state == Connection::State::Idle) {
        c.state = Connection::State::Reading;
        c.deadline = Clock::now() + limits_.request_time;
    }

    const std::string_view buffer = c.buffer;
    const std::size_t head_end = buffer.find("\r\n\r\n");
    if (head_end == std::string_view::npos) {
        const std::size_t line_end = buffer.find("\r\n");
        if ((line_end == std::string_view::npos ? buffer.size() : line_end) >
            limits_.max_request_line) {
            return refuse(c, 414, "the address is too long");
        }
        if (buffer.size() > limits_.max_head_bytes)
            return refuse(c, 431, "the request's headers are too large");
        if (count_lines(buffer) > limits_.max_header_count + 1)
            return refuse(c, 431, "the request has too many headers");
        return;
    }
    const Head head = read_head(buffer.substr(0, head_end));
    if (head.request_line > limits_.max_request_line)
        return refuse(c, 414, "the address is too long");
    if (head_end + 4 > limits_.max_head_bytes)
        return refuse(c, 431, "the request's headers are too large");
    if (head.header_count > limits_.max_header_count)
        return refuse(c, 431, "the request has too many headers");
    if (head.transfer_encoding) {
        return refuse(c, 411,
                      "bodies sent with Transfer-Encoding are not accepted; send Content-Length");
    }
    if (head.bad_length)
        return refuse(c, 400, "malformed Content-Length");
    if (head.content_length > limits_.max_body_bytes)
        return refuse(c, 413, "the body is too large");

    const std::size_t total = head_end + 4 + head.content_length;
    if (buffer.size() >= total) {
        c.request_end = total;
        return dispatch(c);
    }
    if (head.expect_continue && !c.continue_sent) {
        send_once(c, "HTTP/1.1 100 Continue\r\n\r\n");
        c.continue_sent = true;
    }
}

void GuardedServer::refuse(Connection& c, int status, const std::string& why) {
    send_once(c, refusal(status, why));
    end_writing(c);
    if (refusal_logger_)
        refusal_logger_(c.remote_address, status);
    c.buffer.clear();
    c.buffer.shrink_to_fit();
    c.state = Connection::State::Draining;
    c.deadline = Clock::now() + limits_.linger_time;
}

void GuardedServer::dispatch(Connection& c) {
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c.fd, nullptr);
    c.state = Connection::State::Working;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(&c);
    }
    work_ready_.notify_one();
}

void GuardedServer::work() {
    for (;;) {
        Connection* c = nullptr;
        {
            std::unique_lock lock(mutex_);
            work_ready_.wait(lock, [this] { return workers_done_ || !jobs_.empty(); });
            if (workers_done_)
                return;
            c = jobs_.front();
            jobs_.pop_front();
        }
        bool keep = false;
        try {
            ConnectionStream stream(*c, limits_.write_stall);
            const bool last = ++c->served >= limits_.max_requests_per_connection || stopping_;
            bool closed = false;
            const bool answered = process_request(stream, last, closed, nullptr);
            keep = answered && !closed && !last && !stream.failed();
        } catch (...) {
        }
        c->buffer.erase(0, c->request_end);
        if (c->buffer.capacity() > 2 * kReadPiece && c->buffer.size() < kReadPiece)
            c->buffer.shrink_to_fit();
        c->request_end = 0;
        c->continue_sent = false;
        c->close_after = !keep || c->peer_closed;
        {
            std::lock_guard lock(mutex_);
            returned_.push_back(c);
        }
        const std::uint64_t one = 1;
        const ssize_t n = ::write(wake_fd_, &one, sizeof one);
        (void)n;
    }
}

void GuardedServer::take_back_returned() {
    std::vector<Connection*> returned;
    {
        std::lock_guard lock(mutex_);
        returned.swap(returned_);
    }
    for (Connection* c : returned) {
        if (c->close_after || stopping_) {
            close_connection(c->fd);
            continue;
        }
        c->state = Connection::State::Idle;
        c->deadline = Clock::now() + limits_.idle_time;
        watch(*c);
        // A request sent right behind the previous one is already here, or (over TLS) already
        // read off the socket, where no event will announce it.
        if (c->tls && SSL_pending(c->tls) > 0) {
            receive(*c);
        } else {
            examine(*c);
        }
    }
}

void GuardedServer::expire(Clock::time_point now) {
    std::vector<int> ended;
    for (auto& [fd, c] : connections_) {
        if (c->state == Connection::State::Working || c->deadline > now)
            continue;
        if (c->state == Connection::State::Reading) {
            refuse(*c, 408, "the request did not arrive in time");
        } else {
            ended.push_back(fd);
        }
    }
    for (const int fd : ended)
        close_connection(fd);
}

int GuardedServer::next_timeout_ms(Clock::time_point now) const {
    auto wait = std::chrono::milliseconds(1000);
    for (const auto& [fd, c] : connections_) {
        if (c->state == Connection::State::Working)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(c->deadline - now);
        wait = std::max(std::chrono::milliseconds(0), std::min(wait, left));
    }
    return static_cast<int>(wait.count());
}

void GuardedServer::close_connection(int fd) {
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    if (const auto it = connections_.find(fd); it != connections_.end() && it->second->tls) {
        Connection& c = *it->second;
        if (!c.handshaking && !c.tls_broken)
            SSL_shutdown(c.tls);
        ERR_clear_error();
    }
    ::close(fd);
    connections_.erase(fd);
}

void GuardedServer::shut_down() {
    stopping_ = true;
    svr_sock_ = INVALID_SOCKET;
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    // Workers blocked writing to a slow client give up at once.
    for (const auto& [fd, c] : connections_) {
        if (c->state == Connection::State::Working)
            ::shutdown(fd, SHUT_RDWR);
    }
    {
        std::lock_guard lock(mutex_);
        workers_done_ = true;
    }
    work_ready_.notify_all();
    for (auto& worker : workers_)
        worker.join();
    workers_.clear();
    jobs_.clear();
    returned_.clear();
    for (const auto& [fd, c] : connections_)
        ::close(fd);
    connections_.clear();
}

}  // namespace drivoro::standin
