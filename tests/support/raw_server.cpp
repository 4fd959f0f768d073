#include "support/raw_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

#ifdef _WIN32
// Winsock under the POSIX names. A socket is a kernel handle, whose value fits an int.
struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
} winsock;
constexpr int kNoSignal = 0;
constexpr int kShutWrite = SD_SEND;
int openSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
int acceptClient(int listener) {
    const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
void closeSocket(int s) {
    ::closesocket(static_cast<SOCKET>(s));
}
int waitReadable(int s, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(s), POLLIN, 0};
    return ::WSAPoll(&p, 1, ms);
}
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutWrite = SHUT_WR;
int openSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
int acceptClient(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}
void closeSocket(int s) {
    ::close(s);
}
int waitReadable(int s, int ms) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms);
}
#endif

}  // namespace

RawServer::RawServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = openSocket();
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                 sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0)
        throw std::runtime_error("RawServer: cannot listen");
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer() {
    stopping_ = true;
    thread_.join();
    closeSocket(listener_);
}

QString RawServer::host() const {
    return QStringLiteral("127.0.0.1:%1").arg(port_);
}

std::string RawServer::answer(int status, const std::string& body, const std::string& contentType,
                              const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
           "Connection: close\r\n\r\n" + body;
}

void RawServer::serve() {
    while (!stopping_) {
        if (waitReadable(listener_, 50) <= 0)
            continue;
        const int client = acceptClient(listener_);
        if (client < 0)
            continue;
        handle(client);
        closeSocket(client);
    }
}

void RawServer::handle(int client) {
    std::string request;
    char buffer[4096];
    std::size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
        const auto n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(n));
        headEnd = request.find("\r\n\r\n");
    }
    // Read a body announced by Content-Length, so that closing cannot reset the connection.
    const std::size_t lengthAt = request.find("Content-Length: ");
    std::size_t bodyLength = 0;
    if (lengthAt != std::string::npos && lengthAt < headEnd)
        bodyLength = std::stoul(request.substr(lengthAt + 16));
    while (request.size() < headEnd + 4 + bodyLength) {
        const auto n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t space = request.find(' ');
    const std::size_t space2 = request.find(' ', space + 1);
    const Reply reply =
        handler_(request.substr(0, space), request.substr(space + 1, space2 - space - 1));
    const std::size_t piece = reply.pieceBytes ? reply.pieceBytes : reply.bytes.size();
    for (std::size_t offset = 0; offset < reply.bytes.size() && !stopping_; offset += piece) {
        const std::size_t size = std::min(piece, reply.bytes.size() - offset);
        if (::send(client, reply.bytes.data() + offset, static_cast<int>(size), kNoSignal) < 0)
            return;
        if (reply.pieceDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.pieceDelayMs));
    }
    ::shutdown(client, kShutWrite);
    // Let the client read to the end before the socket goes.
    waitReadable(client, 1000);
}
