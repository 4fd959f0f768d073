// Kills the program's download path at random moments and checks what the card holds after
// each kill: the old database or the new one, whole, and never a card info file that names
// the new version beside the old database. With a card that has room for the new file only
// in place of the old one, a run may also end with no database on the card and the checked
// copy kept on the computer; the next run must then complete from that copy.
//
//   bench_kill CARD_FOLDER STAGING_FOLDER [ROUNDS] [SIZE_MIB]
//   bench_kill run URL CARD_FOLDER STAGING_FOLDER SIZE SHA256   (one download; used by the above)
//
// bench/run-kill-bench prepares the cards (a plain folder, and a nearly full tmpfs).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "card/card_info.h"
#include "card/database_download.h"
#include "platform/folder_handle.h"

extern char** environ;

namespace {

const QString kNewVersion = QStringLiteral("9.9");

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One click's work without the window: the download, then the card info with the version.
int runOnce(const char* url, const char* cardFolder, const char* staging, const char* size,
            const char* sha256) {
    std::atomic<bool> cancel{false};
    const card::DatabaseOutcome outcome = card::downloadDatabase(
        card::DatabaseSource{QString::fromUtf8(url), "/db/", "rp_cam.idb", kNewVersion,
                             QString::fromUtf8(size), QString::fromUtf8(sha256)},
        card::DatabaseTarget{QString::fromUtf8(cardFolder), {}},
        card::DatabaseSettings{{5000, 30000, 0}, QString::fromUtf8(staging)}, {}, cancel);
    if (!outcome.ok())
        return 1;
    const platform::FolderHandle folder =
        platform::FolderHandle::openBeneath(QString::fromUtf8(cardFolder), {});
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(card::loadCardInfoFile(folder), cfg, bb);
    card::saveCardInfoFile(folder, card::encodeCardInfo(cfg, QDate(2026, 12, 10), kNewVersion));
    return 0;
}

enum class CardState { Old, New, NoneButKept, Torn };

CardState inspect(const QString& card, const QString& staging, const QByteArray& oldDb,
                  const QByteArray& newDb) {
    const bool hasDb = QFile::exists(card + "rp_cam.idb");
    const QByteArray db = readFile(card + "rp_cam.idb");
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(readFile(card + "backbbinfo.cfg"), cfg, bb);
    const bool infoNew = cellText(std::as_const(bb).VerInfo()) == kNewVersion;
    if (hasDb && db == newDb)
        return CardState::New;
    if (hasDb && db == oldDb && !infoNew)
        return CardState::Old;
    if (!hasDb && !infoNew && readFile(staging + "rp_cam.idb") == newDb)
        return CardState::NoneButKept;
    return CardState::Torn;
}

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

int rounds(const QString& card, const QString& staging, int count, int sizeMiB) {
    const QByteArray oldDb = readFile(card + "rp_cam.idb");
    QByteArray newDb(sizeMiB * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(newDb.data()), newDb.size() / 4);
    const QByteArray oldInfo = readFile(card + "backbbinfo.cfg");
    const std::string sha =
        QCryptographicHash::hash(newDb, QCryptographicHash::Sha256).toHex().toStdString();

    // A slow host: the file arrives over about a second, so kills land in every phase.
    httplib::Server server;
    server.Get("/db/rp_cam.idb", [&newDb](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(
            static_cast<size_t>(newDb.size()), "application/octet-stream",
            [&newDb](size_t offset, size_t, httplib::DataSink& sink) {
                const size_t piece = std::min<size_t>(64 * 1024, newDb.size() - offset);
                std::this_thread::sleep_for(
                    std::chrono::microseconds(1000000 * piece / static_cast<size_t>(newDb.size())));
                return sink.write(newDb.constData() + offset, piece);
            });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&server] { server.listen_after_bind(); });
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/db/rp_cam.idb";

    char self[4096] = {0};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program(self, n > 0 ? static_cast<size_t>(n) : 0);
    const auto restore = [&] {
        // What a killed run left is the next run's to remove; the next round starts clean.
        QFile::remove(card + "rp_cam.idb.part");
        QFile::remove(card + "backbbinfo.cfg.part");
        QFile::remove(card + "rp_cam.idb");
        QFile db(card + "rp_cam.idb");
        if (db.open(QIODevice::WriteOnly))
            db.write(oldDb);
        db.close();
        QFile info(card + "backbbinfo.cfg");
        if (info.open(QIODevice::WriteOnly))
            info.write(oldInfo);
        info.close();
        QDir(staging).removeRecursively();
    };
    // One run to its end tells how long a whole run takes: half of the kills land in its
    // last tenth, where the file is checked, moved onto the card, renamed and recorded.
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    ::waitpid(spawn({program, "run", url, card.toStdString(), staging.toStdString(),
                     std::to_string(newDb.size()), sha}),
              &status, 0);
    const int wholeMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - started)
                                             .count());
    restore();

    int counts[4] = {0, 0, 0, 0};
    int resumed = 0;
    int resumeFailures = 0;
    QRandomGenerator random(2026);
    for (int round = 0; round < count; ++round) {
        const pid_t pid = spawn({program, "run", url, card.toStdString(), staging.toStdString(),
                                 std::to_string(newDb.size()), sha});
        const int killAt = round % 2 ? random.bounded(wholeMs + wholeMs / 3)
                                     : wholeMs - random.bounded(std::max(wholeMs / 10, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(killAt));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        const CardState state = inspect(card, staging, oldDb, newDb);
        ++counts[static_cast<int>(state)];
        if (state == CardState::NoneButKept) {
            // The next click completes from the kept copy.
            const pid_t again = spawn({program, "run", url, card.toStdString(),
                                       staging.toStdString(), std::to_string(newDb.size()), sha});
            ::waitpid(again, &status, 0);
            ++resumed;
            if (inspect(card, staging, oldDb, newDb) != CardState::New)
                ++resumeFailures;
        }
        restore();  // back to the old card for the next round
    }
    server.stop();
    serving.join();
    std::printf("a whole run takes %d ms\n", wholeMs);
    std::printf(
        "%d kills: old whole %d, new whole %d, none on the card with the copy kept %d "
        "(next run completed %d of %d), torn %d\n",
        count, counts[0], counts[1], counts[2], resumed - resumeFailures, resumed, counts[3]);
    return counts[3] == 0 && resumeFailures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 7 && std::string(argv[1]) == "run")
        return runOnce(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (argc >= 3 && argc <= 5) {
        QCoreApplication app(argc, argv);
        const QString card = QDir(QString::fromUtf8(argv[1])).absolutePath() + '/';
        const QString staging = QDir(QString::fromUtf8(argv[2])).absolutePath() + '/';
        return rounds(card, staging, argc >= 4 ? std::atoi(argv[3]) : 200,
                      argc >= 5 ? std::atoi(argv[4]) : 8);
    }
    std::fprintf(stderr, "usage: %s CARD_FOLDER STAGING_FOLDER [ROUNDS] [SIZE_MIB]\n", argv[0]);
    return 2;
}
