#include "test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <utility>

#include "seed.hpp"

extern char** environ;

namespace standin_test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "standin-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string form(std::initializer_list<std::pair<std::string, std::string>> fields) {
    auto encode = [](const std::string& text) {
        static constexpr char hex[] = "0123456789ABCDEF";
        std::string out;
        for (const char c : text) {
            const auto b = static_cast<unsigned char>(c);
            if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                b == '*' || b == '-' || b == '.' || b == '_') {
                out.push_back(c);
            } else if (b == ' ') {
                out.push_back('+');
            } else {
                out += {'%', hex[b >> 4], hex[b & 0x0F]};
            }
        }
        return out;
    };
    std::string body;
    for (const auto& [name, value] : fields) {
        if (!body.empty())
            body += '&';
        body += encode(name) + "=" + encode(value);
    }
    return body;
}

rapidjson::Document parse_json(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) {
        ADD_FAILURE() << "not a JSON object: " << text;
        doc.SetObject();
    }
    return doc;
}

std::string text_of(const rapidjson::Value& object, const char* key) {
    if (!object.IsObject())
        return "<not an object>";
    const auto it = object.FindMember(key);
    if (it == object.MemberEnd())
        return "<missing>";
    if (!it->value.IsString())
        return "<not a string>";
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::pair<int, int> jpeg_size(const std::string& bytes) {
    auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return {0, 0};
    std::size_t i = 2;
    while (i + 9 < bytes.size()) {
        if (byte(i) != 0xFF)
            return {0, 0};
        const unsigned marker = byte(i + 1);
        const std::size_t length = (byte(i + 2) << 8) | byte(i + 3);
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
            return {(byte(i + 7) << 8) | byte(i + 8), (byte(i + 5) << 8) | byte(i + 6)};
        }
        i += 2 + length;
    }
    return {0, 0};
}

namespace {

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

Finished run_program(const std::vector<std::string>& args) {
    std::vector<std::string> all{STANDIN_EXE};
    all.insert(all.end(), args.begin(), args.end());
    auto argv = argv_of(all);

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0)
        throw std::runtime_error("cannot start " + all[0]);

    Finished result;
    // Both outputs are read as they come, and a program that does not end in time is killed
    // (a server that should have refused to start, for one) instead of hanging the tests.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    bool timed_out = false;
    while (open_fds > 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 200) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (timed_out) {
        result.exit_code = -1;
        result.err += "\n[killed: still running after 60 s]";
        return result;
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args, const fs::path& stderr_file) {
    std::vector<std::string> all{STANDIN_EXE, "serve"};
    all.insert(all.end(), args.begin(), args.end());
    auto argv = argv_of(all);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_fd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + all[0]);
    }

    // Seeding a new database takes a moment; a minute is far more than it needs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (first_line_.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{out_fd_, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char c;
        if (read(out_fd_, &c, 1) != 1)
            break;
        first_line_.push_back(c);
    }
    if (!first_line_.empty() && first_line_.back() == '\n')
        first_line_.pop_back();
    std::smatch m;
    static const std::regex kListening(R"(listening on [^ ]+:(\d+))");
    if (std::regex_match(first_line_, m, kListening))
        port_ = std::stoi(m[1]);
}

int ServerProcess::stop() {
    if (pid_ < 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ServerProcess::~ServerProcess() {
    if (pid_ >= 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
}

}  // namespace standin_test

namespace standin_test {

long proc_status_kib(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

RawClient::RawClient(int port, const std::string& source) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
}

RawClient::~RawClient() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawClient::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return fd_ >= 0;
}

bool RawClient::answer_waiting() {
    pollfd p{fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&p, 1, 0) > 0;
}

bool RawClient::read_some(std::string& into, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || closed_ || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
        return false;
    char buffer[16384];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string RawClient::read_to_end(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (read_some(pending_, deadline)) {
    }
    return std::exchange(pending_, std::string());
}

std::string RawClient::read_until(std::string_view marker, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.find(marker) == std::string::npos && read_some(pending_, deadline)) {
    }
    const std::size_t at = pending_.find(marker);
    const std::size_t end = at == std::string::npos ? pending_.size() : at + marker.size();
    std::string out = pending_.substr(0, end);
    pending_.erase(0, end);
    return out;
}

std::string RawClient::read_answer(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto whole = [this]() -> std::size_t {
        // Skips interim 100 Continue answers.
        std::size_t start = 0;
        while (pending_.compare(start, 12, "HTTP/1.1 100") == 0) {
            const std::size_t end = pending_.find("\r\n\r\n", start);
            if (end == std::string::npos)
                return 0;
            start = end + 4;
        }
        const std::size_t head_end = pending_.find("\r\n\r\n", start);
        if (head_end == std::string::npos)
            return 0;
        static const std::regex kLength(R"(\r\nContent-Length: *(\d+))", std::regex::icase);
        std::smatch m;
        const std::string head = pending_.substr(start, head_end - start);
        const std::size_t length = std::regex_search(head, m, kLength) ? std::stoul(m[1]) : 0;
        return pending_.size() >= head_end + 4 + length ? head_end + 4 + length : 0;
    };
    while (whole() == 0 && read_some(pending_, deadline)) {
    }
    const std::size_t end = whole();
    std::string answer = pending_.substr(0, end == 0 ? pending_.size() : end);
    pending_.erase(0, answer.size());
    return answer;
}

int status_of(const std::string& answer) {
    static const std::regex kStatus(R"(HTTP/1\.[01] (\d{3}) )");
    auto it = std::sregex_iterator(answer.begin(), answer.end(), kStatus);
    for (; it != std::sregex_iterator(); ++it) {
        const int status = std::stoi((*it)[1]);
        if (status != 100)
            return status;
    }
    return 0;
}

std::string body_of(const std::string& answer) {
    std::size_t start = 0;
    while (answer.compare(start, 12, "HTTP/1.1 100") == 0)
        start = answer.find("\r\n\r\n", start) + 4;
    const std::size_t head_end = answer.find("\r\n\r\n", start);
    return head_end == std::string::npos ? std::string() : answer.substr(head_end + 4);
}

RunningService::RunningService(const Adjust& adjust) {
    namespace ds = drivoro::standin;
    const fs::path files = dir_.path() / "files";
    store_ = ds::open_or_create(dir_.path() / "standin.db", files);
    ds::Service::Options options{files, false};
    if (adjust)
        adjust(options);
    service_ = std::make_unique<ds::Service>(*store_, std::move(options));
    port_ = service_->bind("127.0.0.1", 0);
    if (port_ <= 0)
        throw std::runtime_error("the service cannot listen");
    thread_ = std::thread([this] { service_->serve(); });
}

RunningService::~RunningService() {
    service_->stop();
    thread_.join();
}

}  // namespace standin_test
