// Load test and attack replays for the stand-in service (not run by CI). Built with the
// stand-in as `standin-load`; it starts the real drivoro-standin binary on 127.0.0.1 over a new
// database in a temporary folder and reads the stand-in's memory from /proc.
//
//   standin-load [--clients N] [--seconds S]    N clients (default 50) each log in once, then
//                                               loop over the download answer (mode 7) and the
//                                               database file for S seconds (default 60)
//   standin-load attacks                        the attacks the guard was built against, each
//                                               on a fresh stand-in process
//   --standin PATH                              another drivoro-standin binary

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string g_standin = STANDIN_EXE;
constexpr const char* kForm = "application/x-www-form-urlencoded";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- the stand-in process ----

int run(const std::vector<std::string>& args) {
    std::vector<std::string> all{g_standin};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + g_standin);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long status_kib(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

class Standin {
  public:
    explicit Standin(const fs::path& db) {
        std::vector<std::string> all{g_standin, "serve", "--db", db.string(), "--port", "0"};
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, (db.string() + ".log").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0)
            throw std::runtime_error("cannot start " + g_standin);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        close(out[0]);
        std::smatch m;
        if (!std::regex_match(line, m, std::regex(R"(listening on [^ ]+:(\d+))")))
            throw std::runtime_error("the stand-in did not start: " + line);
        port_ = std::stoi(m[1]);
        sampler_ = std::thread([this] {
            while (!done_) {
                peak_rss_ = std::max(peak_rss_.load(), status_kib(pid_, "VmRSS"));
                std::this_thread::sleep_for(50ms);
            }
        });
    }
    ~Standin() {
        done_ = true;
        sampler_.join();
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    double rss_mib() const { return status_kib(pid_, "VmRSS") / 1024.0; }
    double peak_mib() const { return status_kib(pid_, "VmHWM") / 1024.0; }

  private:
    pid_t pid_ = -1;
    int port_ = -1;
    std::atomic<bool> done_ = false;
    std::atomic<long> peak_rss_ = 0;
    std::thread sampler_;
};

// ---- small helpers ----

std::string json_text(const std::string& body, const std::string& key) {
    std::smatch m;
    if (std::regex_search(body, m, std::regex("\"" + key + "\":\"([^\"]*)\"")))
        return m[1];
    return {};
}

struct Latencies {
    std::vector<double> ms;
    long errors = 0;

    void merge(const Latencies& other) {
        ms.insert(ms.end(), other.ms.begin(), other.ms.end());
        errors += other.errors;
    }
    double percentile(double p) {
        if (ms.empty())
            return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, static_cast<std::size_t>(p * ms.size()))];
    }
};

// A TCP connection for hand-made requests.
class Raw {
  public:
    explicit Raw(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Raw() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (fd_ >= 0 && done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return fd_ >= 0;
    }
    bool readable() {
        pollfd p{fd_, POLLIN, 0};
        return fd_ >= 0 && poll(&p, 1, 0) > 0;
    }
    // The answer's status line, waiting up to `timeout`.
    std::string status_line(std::chrono::milliseconds timeout = 10s) {
        std::string got;
        char c;
        const auto deadline = Clock::now() + timeout;
        while (got.find("\r\n") == std::string::npos && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0 && recv(fd_, &c, 1, 0) == 1) {
                got.push_back(c);
            } else if (p.revents) {
                break;
            }
        }
        return got.substr(0, got.find("\r\n"));
    }

  private:
    int fd_ = -1;
};

fs::path make_db(const fs::path& folder) {
    const fs::path db = folder / "standin.db";
    if (run({"downloads", "--db", db.string()}) != 0)
        throw std::runtime_error("cannot create the stand-in's database");
    return db;
}

// ---- load ----

int load(int clients, int seconds) {
    const fs::path folder =
        fs::temp_directory_path() / ("standin-load-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path db = make_db(folder);
    std::printf("creating %d members...\n", clients);
    for (int i = 0; i < clients; ++i) {
        if (run({"add-member", "--db", db.string(), "--id", "load" + std::to_string(i),
                 "--password", "load-password", "--model", "TESTCAM1"}) != 0) {
            throw std::runtime_error("cannot add the load test's members");
        }
    }
    Standin standin(db);
    std::printf("stand-in pid %d on 127.0.0.1:%d, %.1f MiB resident at rest\n", standin.pid(),
                standin.port(), standin.rss_mib());

    struct PerClient {
        Latencies login, answer, file;
        long login_retries = 0;
        long bytes = 0;
    };
    std::vector<PerClient> results(clients);
    std::atomic<int> logged_in = 0;
    std::atomic<bool> go = false;
    Clock::time_point loop_start;
    Clock::time_point loop_end;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            PerClient& r = results[i];
            httplib::Client client("127.0.0.1", standin.port());
            client.set_url_encode(false);
            client.set_read_timeout(60, 0);
            client.set_keep_alive(true);
            const std::string id = "load" + std::to_string(i);
            // Logins beyond the password checks the stand-in runs at once are refused as busy
            // (or held back while ten of one address run); the client tries again.
            const auto login_start = Clock::now();
            for (;;) {
                const auto res = client.Post("/mobile/back_c/getLogin.json",
                                             "mem_ID=" + id + "&mem_pw=load-password", kForm);
                if (res && res->status == 200 && json_text(res->body, "flag") == "true")
                    break;
                if (!res || res->status != 200 || Clock::now() - login_start > 120s) {
                    ++r.login.errors;
                    break;
                }
                ++r.login_retries;
                std::this_thread::sleep_for(100ms);
            }
            r.login.ms.push_back(ms_since(login_start));
            ++logged_in;
            while (!go)
                std::this_thread::sleep_for(1ms);

            const std::string query =
                "/mobile/back_c/sdcard_down.json?mem_ID=" + id +
                "&bInfo_modelName=TESTCAM1&bInfo_serialno=" + std::to_string(1000000 + i) +
                "&Con_IP=203.0.113.9";
            bool checked_hash = false;
            while (Clock::now() < loop_end) {
                auto start = Clock::now();
                const auto answer = client.Post(query.c_str(), "", kForm);
                const double answer_ms = ms_since(start);
                if (!answer || answer->status != 200 || json_text(answer->body, "flag") != "true") {
                    ++r.answer.errors;
                    continue;
                }
                r.answer.ms.push_back(answer_ms);
                const std::string path = json_text(answer->body, "sfd_filepath") +
                                         json_text(answer->body, "sfd_filename");
                const long size = std::stol(json_text(answer->body, "sfd_size"));

                std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> sha(EVP_MD_CTX_new(),
                                                                       EVP_MD_CTX_free);
                EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr);
                long received = 0;
                start = Clock::now();
                // The first file of each client is hashed; the others are counted.
                const auto file = client.Get(path.c_str(), [&](const char* data, size_t n) {
                    received += static_cast<long>(n);
                    return checked_hash || EVP_DigestUpdate(sha.get(), data, n) == 1;
                });
                const double file_ms = ms_since(start);
                bool good = file && file->status == 200 && received == size;
                if (good && !checked_hash) {
                    unsigned char hash[EVP_MAX_MD_SIZE];
                    unsigned int length = 0;
                    EVP_DigestFinal_ex(sha.get(), hash, &length);
                    std::string hex;
                    for (unsigned int k = 0; k < length; ++k) {
                        char two[3];
                        std::snprintf(two, sizeof two, "%02x", hash[k]);
                        hex += two;
                    }
                    good = hex == json_text(answer->body, "sfd_sha256");
                    checked_hash = true;
                }
                if (good) {
                    r.file.ms.push_back(file_ms);
                    r.bytes += received;
                } else {
                    ++r.file.errors;
                }
            }
        });
    }
    const auto login_phase = Clock::now();
    while (logged_in < clients)
        std::this_thread::sleep_for(10ms);
    const double login_seconds = ms_since(login_phase) / 1000;
    const double peak_after_logins = standin.peak_mib();
    loop_start = Clock::now();
    loop_end = loop_start + std::chrono::seconds(seconds);
    go = true;
    for (auto& t : threads)
        t.join();
    const double elapsed = ms_since(loop_start) / 1000;

    PerClient all;
    for (const auto& r : results) {
        all.login.merge(r.login);
        all.answer.merge(r.answer);
        all.file.merge(r.file);
        all.login_retries += r.login_retries;
        all.bytes += r.bytes;
    }
    std::printf(
        "\n%d clients; logins took %.1f s in all (%ld refusals retried: checks busy or "
        "ten running for one address), %ld errors\n",
        clients, login_seconds, all.login_retries, all.login.errors);
    std::printf("login, per client until accepted: median %.0f ms, p99 %.0f ms\n",
                all.login.percentile(0.5), all.login.percentile(0.99));
    std::printf("\nloop of %.1f s:\n%-28s %9s %9s %10s %10s %7s\n", elapsed, "step", "requests",
                "req/s", "median ms", "p99 ms", "errors");
    auto row = [&](const char* name, Latencies& l) {
        std::printf("%-28s %9zu %9.1f %10.2f %10.2f %7ld\n", name, l.ms.size(),
                    l.ms.size() / elapsed, l.percentile(0.5), l.percentile(0.99), l.errors);
    };
    row("download answer (mode 7)", all.answer);
    row("database file (3 MiB)", all.file);
    std::printf("%-28s %9zu %9.1f\n", "both", all.answer.ms.size() + all.file.ms.size(),
                (all.answer.ms.size() + all.file.ms.size()) / elapsed);
    std::printf("files: %.1f MiB/s\n", all.bytes / elapsed / 1048576);
    std::printf("stand-in peak memory (VmHWM): %.1f MiB after the logins, %.1f MiB at the end\n",
                peak_after_logins, standin.peak_mib());
    fs::remove_all(folder);
    return all.answer.errors + all.file.errors + all.login.errors == 0 ? 0 : 1;
}

// ---- attacks ----

struct Attack {
    const char* name;
    std::function<std::string(Standin&, const fs::path& folder)> run;
};

std::string chunked_post(Standin& s, const fs::path&) {
    Raw c(s.port());
    c.send(
        "POST /mobile/back_c/getLogin.json HTTP/1.1\r\nHost: x\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "100000\r\n" + std::string(1 << 20, 'a') + "\r\n";
    long sent = 0;
    while (sent < 300 && !c.readable() && c.send(chunk))
        ++sent;
    return c.status_line() + "; " + std::to_string(sent) + " of 300 MiB sent before it";
}

std::string many_headers(Standin& s, const fs::path&) {
    Raw c(s.port());
    c.send("GET /json HTTP/1.1\r\nHost: x\r\n");
    long sent = 0;
    std::string block;
    for (int i = 0; i < 1000; ++i)
        block += "X-Header: 1\r\n";
    while (sent < 3'000'000 && !c.readable() && c.send(block))
        sent += 1000;
    return c.status_line() + "; " + std::to_string(sent) + " of 3,000,000 headers sent before it";
}

std::string slow_headers(Standin& s, int connections) {
    // Each sends one header byte every 3 s and starts again when cut off, for 25 s.
    std::atomic<bool> running = true;
    std::atomic<int> cut = 0;
    std::vector<std::thread> attackers;
    for (int i = 0; i < connections; ++i) {
        attackers.emplace_back([&] {
            while (running) {
                Raw c(s.port());
                c.send("GET /json HTTP/1.1\r\nHost: x\r\nX-Slow: ");
                while (running && !c.readable()) {
                    c.send("s");
                    for (int k = 0; k < 30 && running && !c.readable(); ++k)
                        std::this_thread::sleep_for(100ms);
                }
                if (running && c.status_line().find(" 408 ") != std::string::npos)
                    ++cut;
            }
        });
    }
    std::this_thread::sleep_for(500ms);
    Latencies json;
    const auto end = Clock::now() + 25s;
    while (Clock::now() < end) {
        httplib::Client client("127.0.0.1", s.port());
        client.set_read_timeout(30, 0);
        const auto start = Clock::now();
        const auto res = client.Get("/json");
        if (res && res->status == 200) {
            json.ms.push_back(ms_since(start));
        } else {
            ++json.errors;
        }
        std::this_thread::sleep_for(200ms);
    }
    running = false;
    for (auto& t : attackers)
        t.join();
    char text[200];
    std::snprintf(text, sizeof text,
                  "/json answered %zu times, %ld failed: median %.1f ms, max %.1f ms; "
                  "slow connections cut with 408: %d",
                  json.ms.size(), json.errors, json.percentile(0.5), json.percentile(1.0),
                  cut.load());
    return text;
}

std::string failed_logins(Standin& s, const fs::path&) {
    httplib::Client client("127.0.0.1", s.port());
    client.set_read_timeout(30, 0);
    std::string out;
    for (int i = 1; i <= 15; ++i) {
        // The last one with the right password.
        const std::string password = i == 15 ? "drivoro1234" : "guess" + std::to_string(i);
        const auto start = Clock::now();
        const auto res = client.Post("/mobile/back_c/getLogin.json",
                                     "mem_ID=demo0001&mem_pw=" + password, kForm);
        char line[300];
        std::snprintf(line, sizeof line, "\n    attempt %2d: %6.1f ms, flag %s, msg %s", i,
                      ms_since(start), res ? json_text(res->body, "flag").c_str() : "-",
                      res ? json_text(res->body, "msg").c_str() : "-");
        out += line;
    }
    return out;
}

std::string parallel_downloads(Standin& s, const fs::path& folder) {
    httplib::Client client("127.0.0.1", s.port());
    client.set_url_encode(false);
    const auto answer = client.Post(
        "/mobile/back_c/sdcard_down.json?mem_ID=demo0001&bInfo_modelName=TESTCAM1"
        "&bInfo_serialno=1&Con_IP=",
        "", kForm);
    if (!answer)
        return "no download answer";
    const std::string path =
        json_text(answer->body, "sfd_filepath") + json_text(answer->body, "sfd_filename");
    const long size = std::stol(json_text(answer->body, "sfd_size"));
    std::atomic<int> whole = 0;
    const auto start = Clock::now();
    std::vector<std::thread> downloads;
    for (int i = 0; i < 4; ++i) {
        downloads.emplace_back([&] {
            httplib::Client c("127.0.0.1", s.port());
            c.set_read_timeout(60, 0);
            long received = 0;
            const auto res = c.Get(path.c_str(), [&](const char*, size_t n) {
                received += static_cast<long>(n);
                return true;
            });
            if (res && res->status == 200 && received == size)
                ++whole;
        });
    }
    for (auto& t : downloads)
        t.join();
    (void)folder;
    return std::to_string(whole.load()) + " of 4 downloads of " + std::to_string(size >> 20) +
           " MiB whole in " + std::to_string(static_cast<int>(ms_since(start))) + " ms";
}

int attacks() {
    const fs::path folder =
        fs::temp_directory_path() / ("standin-attacks-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path db = make_db(folder);
    const fs::path big = folder / "big.idb";
    std::ofstream(big, std::ios::binary) << "camera data";
    fs::resize_file(big, 64 << 20);

    const std::vector<Attack> list = {
        {"chunked 300 MiB POST", chunked_post},
        {"3 million headers", many_headers},
        {"8 slow-header connections vs /json",
         [](Standin& s, const fs::path&) { return slow_headers(s, 8); }},
        {"32 slow-header connections vs /json",
         [](Standin& s, const fs::path&) { return slow_headers(s, 32); }},
        {"15 logins for one ID, 14 wrong", failed_logins},
        {"4 parallel downloads of a 64 MiB file",
         [&](Standin& s, const fs::path& f) {
             if (run({"publish", "--db", db.string(), "--model", "TESTCAM1", "--version", "64.0",
                      "--file", big.string()}) != 0) {
                 return std::string("cannot publish the 64 MiB file");
             }
             return parallel_downloads(s, f);
         }},
    };
    for (const auto& attack : list) {
        Standin standin(db);
        const double before = standin.peak_mib();
        const std::string outcome = attack.run(standin, folder);
        std::printf("%s\n  %s\n  stand-in peak memory: %.1f MiB before, %.1f MiB after\n\n",
                    attack.name, outcome.c_str(), before, standin.peak_mib());
        std::fflush(stdout);
    }
    fs::remove_all(folder);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int clients = 50;
    int seconds = 60;
    bool attack_mode = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "attacks") {
            attack_mode = true;
        } else if (word == "--clients" && i + 1 < argc) {
            clients = std::stoi(argv[++i]);
        } else if (word == "--seconds" && i + 1 < argc) {
            seconds = std::stoi(argv[++i]);
        } else if (word == "--standin" && i + 1 < argc) {
            g_standin = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: standin-load [--clients N] [--seconds S] [--standin PATH]\n"
                         "       standin-load attacks [--standin PATH]\n");
            return 2;
        }
    }
    try {
        return attack_mode ? attacks() : load(clients, seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "standin-load: %s\n", e.what());
        return 1;
    }
}
