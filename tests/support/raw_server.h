#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

// A one-connection-at-a-time HTTP server that sends exactly the bytes a test scripts: heads
// that lie about the length, bodies cut short, bodies ended only by closing the connection.
// Each answer is sent and the connection closed.
class RawServer {
  public:
    struct Reply {
        std::string bytes;           // status line, head and body, as sent
        std::size_t pieceBytes = 0;  // send in pieces of this size (0: at once)
        int pieceDelayMs = 0;        // pause after each piece
    };
    // Method and path (with its query) of a request, to the reply.
    using Handler = std::function<Reply(const std::string& method, const std::string& path)>;

    explicit RawServer(Handler handler);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    QString host() const;  // "127.0.0.1:port"

    // A complete answer with a Content-Length.
    static std::string answer(int status, const std::string& body,
                              const std::string& contentType = "application/octet-stream",
                              const std::string& extraHeaders = {});

  private:
    void serve();
    void handle(int client);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
