// The database download onto a card, side by side with `curl -o` and `cp` of the same file
// onto the same card: wall time of each, and the peak memory of each process.
//
//   bench_download SOURCE CARD_FOLDER [ROUNDS]   serve SOURCE over loopback and compare
//   bench_download fetch URL CARD_FOLDER TIMES   one download through the program's own path
//
// bench/run-download-bench sets up an exFAT card image and runs the comparison.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDir>

#include "card/database_download.h"
#include "card/database_run.h"
#include "file_stream.h"

extern char** environ;

namespace {

// One database download through the program's own path: a worker thread and progress reports
// handed to an event loop, as in the window. The read-back's time goes to timesFile.
int fetch(int argc, char** argv, const char* url, const char* folder, const char* timesFile) {
    QCoreApplication app(argc, argv);
    QObject context;
    int reports = 0;
    card::DatabaseOutcome outcome;
    card::DatabaseSettings settings;
    settings.stagingFolder = QDir::tempPath() + QStringLiteral("/drivoro-bench-staging/");
    card::DatabaseRun run(
        &context, card::DatabaseSource{QString::fromUtf8(url), {}, {}, {}, {}, {}},
        card::DatabaseTarget{QString::fromUtf8(folder), {}}, settings,
        [&reports](std::int64_t, std::int64_t) { ++reports; },
        [&](const card::DatabaseOutcome& o) {
            outcome = o;
            app.quit();
        });
    app.exec();
    if (!outcome.ok()) {
        std::fprintf(stderr, "download failed: %s %s\n",
                     card::failureReason(outcome).toUtf8().constData(),
                     outcome.detail.toUtf8().constData());
        return 1;
    }
    if (FILE* f = std::fopen(timesFile, "w")) {
        std::fprintf(f, "%lld %d\n", static_cast<long long>(outcome.readBackMs), reports);
        std::fclose(f);
    }
    return 0;
}

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// The peak resident memory of the process's own image, from /proc. Unlike wait4's figure it
// does not include the memory of the parent that started it.
long peakKiB(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

Run runProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Run run;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        run.peakKiB = std::max(run.peakKiB, peakKiB(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

QByteArray sha256Of(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

void dropFile(const std::string& path) {
    ::unlink(path.c_str());
    ::sync();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int compare(const std::string& source, const std::string& card, int rounds) {
    struct stat info {};
    if (::stat(source.c_str(), &info) != 0) {
        std::perror(source.c_str());
        return 2;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    const std::size_t smallSize = std::min<std::size_t>(size, std::size_t{16} << 20);

    httplib::Server server;
    server.Get("/db/rp_cam.idb", streamFile(source, size));
    server.Get("/db/small.idb", streamFile(source, smallSize));
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&server] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/db/";
    const std::string url = base + "rp_cam.idb";

    char self[4096] = {0};
    const ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program = selfLength > 0 ? std::string(self) : std::string("bench_download");
    const std::string target = card + "/rp_cam.idb";
    const QByteArray expected = sha256Of(source);

    struct Contender {
        std::string name;
        std::vector<std::string> args;
    };
    const std::string timesFile = card + "/../bench-times.txt";
    const std::vector<Contender> contenders{
        {"program", {program, "fetch", url, card, timesFile}},
        {"curl -o", {"curl", "-sS", "-f", "-o", target, url}},
        // Not onto the card: how fast the loopback server delivers.
        {"curl null", {"curl", "-sS", "-f", "-o", "/dev/null", url}},
        {"cp", {"cp", source, target}},
        {"cp + sync", {"sh", "-c", "cp \"$1\" \"$2\" && sync \"$2\"", "sh", source, target}},
    };
    std::map<std::string, std::vector<double>> times;
    std::vector<double> readBacks;
    std::vector<double> plainReads;
    int reports = 0;
    std::map<std::string, long> peaks;
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        // Rotate the order so that no contender always runs on a warm or cold card.
        for (std::size_t i = 0; i < contenders.size(); ++i) {
            const Contender& c =
                contenders[(i + static_cast<std::size_t>(round)) % contenders.size()];
            dropFile(target);
            const Run run = runProcess(c.args);
            const bool toCard = c.name != "curl null";
            const bool same = run.ok && (!toCard || sha256Of(target) == expected);
            allOk = allOk && same;
            times[c.name].push_back(run.seconds);
            peaks[c.name] = std::max(peaks[c.name], run.peakKiB);
            if (c.name == "program") {
                long long ms = 0;
                if (FILE* f = std::fopen(timesFile.c_str(), "r")) {
                    if (std::fscanf(f, "%lld %d", &ms, &reports) != 2)
                        ms = 0;
                    std::fclose(f);
                }
                readBacks.push_back(static_cast<double>(ms) / 1000.0);
                // The transfer up to the flushed file, without the read-back.
                times["program, to flush"].push_back(run.seconds - readBacks.back());
            }
            if (c.name == "cp + sync" && run.ok) {
                // One plain read of the same file from the card, past the page cache.
                if (FILE* drop = std::fopen("/proc/sys/vm/drop_caches", "w")) {
                    std::fputs("3", drop);
                    std::fclose(drop);
                }
                plainReads.push_back(
                    runProcess({"sh", "-c", "cat \"$1\" >/dev/null", "sh", target}).seconds);
            }
            std::printf("round %d  %-10s %7.2f s  %s\n", round + 1, c.name.c_str(), run.seconds,
                        same ? (toCard ? "identical" : "ok") : "WRONG OR FAILED");
            std::fflush(stdout);
        }
    }
    dropFile(target);
    const Run small = runProcess({program, "fetch", base + "small.idb", card, timesFile});
    dropFile(target);

    server.stop();
    serving.join();

    const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
    const double cp = median(times["cp"]);
    const double cpSync = median(times["cp + sync"]);
    std::printf("\n%.0f MiB onto %s, median of %d rounds\n", mib, card.c_str(), rounds);
    std::printf("%-10s %9s %9s %9s %11s %12s\n", "", "seconds", "MiB/s", "/ cp", "/ cp+sync",
                "peak RSS");
    for (const Contender& c : contenders) {
        const double t = median(times[c.name]);
        std::printf("%-10s %9.2f %9.1f %9.2f %11.2f %9.1f MiB\n", c.name.c_str(), t, mib / t,
                    t / cp, t / cpSync, static_cast<double>(peaks[c.name]) / 1024.0);
    }
    const double toFlush = median(times["program, to flush"]);
    std::printf("program up to the flushed file: %.2f s (%.2f x cp + sync), %d progress reports\n",
                toFlush, toFlush / cpSync, reports);
    std::printf("read-back: %.2f s; one plain read of the file from the card: %.2f s (%.2f x)\n",
                median(readBacks), median(plainReads), median(readBacks) / median(plainReads));
    std::printf("program peak RSS: %.1f MiB for %zu MiB, %.1f MiB for %.0f MiB\n",
                static_cast<double>(small.peakKiB) / 1024.0, smallSize >> 20,
                static_cast<double>(peaks["program"]) / 1024.0, mib);
    return allOk && small.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "fetch")
        return fetch(argc, argv, argv[2], argv[3], argv[4]);
    if (argc == 3 || argc == 4)
        return compare(argv[1], argv[2], argc == 4 ? std::max(1, std::atoi(argv[3])) : 3);
    std::fprintf(stderr,
                 "usage: %s SOURCE CARD_FOLDER [ROUNDS]\n"
                 "       %s fetch URL CARD_FOLDER TIMES_FILE\n",
                 argv[0], argv[0]);
    return 2;
}
