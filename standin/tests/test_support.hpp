#pragma once

#include <rapidjson/document.h>
#include <sys/types.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

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
    int port() const { return port_; }
    // Sends SIGTERM and gives the exit code (128 + signal when it died of one).
    int stop();

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string first_line_;
    int port_ = -1;
};

}  // namespace standin_test
