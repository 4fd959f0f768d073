// The program's start-up beside the floor under it (startup_reference): the time from exec to
// the login window being mapped on the X display in DISPLAY, and the process's resident memory
// at that moment. Serves the banner answer on loopback, as the service would.
//
//   bench_startup PROGRAM REFERENCE [RUNS] [PORT]
//
// bench/startup starts a display (Xvfb) and the runs.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <httplib.h>

#include <poll.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double ms = -1;
    long rssKiB = 0;
};

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return 0;
}

class Display {
  public:
    Display() {
        connection_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection_))
            return;
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        root_ = screen->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        const char name[] = "_NET_WM_NAME";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, sizeof name - 1, name), nullptr);
        if (atom != nullptr) {
            netWmName_ = atom->atom;
            std::free(atom);
        }
        xcb_flush(connection_);
    }
    ~Display() { xcb_disconnect(connection_); }
    bool ok() const { return !xcb_connection_has_error(connection_); }

    // Drops the events of earlier runs.
    void drain() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_))
            std::free(event);
    }

    // Waits for a top-level window titled title to be mapped; false on timeout.
    bool waitForMap(const std::string& title, Clock::time_point deadline) {
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                const bool map = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
                const auto* notify = reinterpret_cast<xcb_map_notify_event_t*>(event);
                const bool found = map && !notify->override_redirect && notify->event == root_ &&
                                   titleOf(notify->window) == title;
                std::free(event);
                if (found)
                    return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()));
        }
    }

  private:
    std::string titleOf(xcb_window_t window) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, window, netWmName_, XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
            nullptr);
        std::string title;
        if (reply != nullptr) {
            title.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                         static_cast<std::size_t>(xcb_get_property_value_length(reply)));
            std::free(reply);
        }
        return title;
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_atom_t netWmName_ = XCB_ATOM_WM_NAME;
};

Sample runOnce(Display& display, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    display.drain();
    Sample sample;
    const auto started = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        return sample;
    }
    if (display.waitForMap("  로그인", started + std::chrono::seconds(30))) {
        sample.ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        sample.rssKiB = residentKiB(pid);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return sample;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n == 0)
        return 0;
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PROGRAM REFERENCE [RUNS] [PORT]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;
    const int port = argc > 4 ? std::atoi(argv[4]) : 18480;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/mgr/api/call_banner.api";

    std::atomic<int> requests{0};
    httplib::Server server;
    server.Post("/mgr/api/call_banner.api", [&](const httplib::Request&, httplib::Response& res) {
        ++requests;
        res.set_content(R"({"data":[]})", "application/json");
    });
    if (!server.bind_to_port("127.0.0.1", port)) {
        std::fprintf(stderr, "port %d on 127.0.0.1 is taken\n", port);
        return 2;
    }
    std::thread serving([&server] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    Display display;
    if (!display.ok()) {
        std::fprintf(stderr, "no X display (DISPLAY)\n");
        return 2;
    }
    struct Contender {
        const char* name;
        std::vector<std::string> args;
        std::vector<double> ms;
        std::vector<double> rss;
    };
    Contender contenders[] = {{"program", {argv[1]}, {}, {}},
                              {"reference", {argv[2], url}, {}, {}}};
    bool ok = true;
    // One unmeasured run each: the first start reads the libraries from disk.
    for (Contender& c : contenders)
        ok = runOnce(display, c.args).ms >= 0 && ok;
    for (int round = 0; round < runs; ++round) {
        for (int i = 0; i < 2; ++i) {
            Contender& c = contenders[(i + round) % 2];
            const Sample s = runOnce(display, c.args);
            ok = ok && s.ms >= 0;
            c.ms.push_back(s.ms);
            c.rss.push_back(static_cast<double>(s.rssKiB) / 1024.0);
            std::printf("run %2d  %-9s %7.1f ms  %6.1f MiB\n", round + 1, c.name, s.ms,
                        static_cast<double>(s.rssKiB) / 1024.0);
            std::fflush(stdout);
        }
    }
    server.stop();
    serving.join();

    const double programMs = median(contenders[0].ms);
    const double referenceMs = median(contenders[1].ms);
    const double programRss = median(contenders[0].rss);
    const double referenceRss = median(contenders[1].rss);
    std::printf("\nexec to the login window mapped, median of %d alternating runs\n", runs);
    std::printf("%-10s %10s %12s\n", "", "ms", "RSS MiB");
    std::printf("%-10s %10.1f %12.1f\n", "program", programMs, programRss);
    std::printf("%-10s %10.1f %12.1f\n", "reference", referenceMs, referenceRss);
    std::printf("%-10s %10.2f %12.2f\n", "ratio", programMs / referenceMs,
                programRss / referenceRss);
    std::printf("banner requests answered: %d (one per start expected: %d)\n", requests.load(),
                2 * runs + 2);
    if (!ok)
        std::printf("SOME RUNS NEVER SHOWED THE LOGIN WINDOW\n");
    return ok ? 0 : 1;
}
