#pragma once

#include <rapidjson/document.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "service.hpp"
#include "store.hpp"

namespace standin_test {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Encodes fields the way the update manager does: HTML form rules over UTF-8.
std::string form(std::initializer_list<std::pair<std::string, std::string>> fields);

// Parses a whole answer; fails the running test (and gives an empty object) when it is not JSON.
rapidjson::Document parse_json(const std::string& text);

// The text of a string member, or "<missing>" / "<not a string>".
std::string text_of(const rapidjson::Value& object, const char* key);

std::string read_file(const std::filesystem::path& file);

// The width and height of a baseline or progressive JPEG, or {0, 0}.
std::pair<int, int> jpeg_size(const std::string& bytes);

struct Finished {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs the stand-in program to its end; one still running after a minute is killed and
// reported with exit code -1.
Finished run_program(const std::vector<std::string>& args);

// The stand-in program running as a server, stopped with SIGTERM.
class ServerProcess {
  public:
    // Starts `serve` with the given arguments and waits for its "listening on" line.
    explicit ServerProcess(const std::vector<std::string>& args,
                           const std::filesystem::path& stderr_file);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const std::string& first_line() const { return first_line_; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    // Sends SIGTERM and gives the exit code (128 + signal when it died of one).
    int stop();

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string first_line_;
    int port_ = -1;
};

// A line of /proc/PID/status in KiB, such as "VmHWM" (peak resident memory); -1 if missing.
long proc_status_kib(pid_t pid, const std::string& field);

// A plain TCP connection to 127.0.0.1:port, for requests sent piece by piece. `source` binds
// its own end to another loopback address (127.0.0.2, ...), a client on another machine as
// far as the service can tell.
class RawClient {
  public:
    explicit RawClient(int port, const std::string& source = "127.0.0.1");
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    // True once a read found the connection ended by the service.
    bool closed() const { return closed_; }
    // False once the service has closed the connection or refused more bytes.
    bool send(std::string_view bytes);
    // True when an answer (or the end of the connection) is waiting to be read.
    bool answer_waiting();
    // Reads until the service closes the connection, or for at most `timeout`.
    std::string read_to_end(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads until `marker` has arrived, or for at most `timeout`; gives what came up to it.
    std::string read_until(std::string_view marker,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads until one whole answer with Content-Length is in, or for at most `timeout`.
    std::string read_answer(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    // Reads what is there within `timeout`; false when nothing came or the connection ended.
    bool read_some(std::string& into, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool closed_ = false;
    std::string pending_;
};

// The status code of an answer's first status line that is not 100 Continue, or 0.
int status_of(const std::string& answer);
// The body of an answer, after its head.
std::string body_of(const std::string& answer);

// The service in this process on a free port of 127.0.0.1, over a freshly seeded database.
class RunningService {
  public:
    using Adjust = std::function<void(drivoro::standin::Service::Options&)>;
    explicit RunningService(const Adjust& adjust = {});
    ~RunningService();
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;

    int port() const { return port_; }
    drivoro::standin::Store& store() { return *store_; }

  private:
    TempDir dir_;
    std::unique_ptr<drivoro::standin::Store> store_;
    std::unique_ptr<drivoro::standin::Service> service_;
    std::thread thread_;
    int port_ = -1;
};

}  // namespace standin_test
