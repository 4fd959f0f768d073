#include "platform/windows/drive_poller.h"

#include <QMetaObject>
#include <QObject>
#include <QStringList>
#include <array>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>

namespace platform::win {

QList<quint64> driveSignature(const QList<LogicalDrive>& drives) {
    QList<quint64> signature;
    for (const LogicalDrive& drive : drives) {
        const quint64 index = drive.letter.toUpper().unicode() - u'A';
        const quint64 medium = drive.fileSystem.isEmpty() ? 0 : 1;
        signature.append(index << 40 | medium << 39 | quint64(drive.type) << 32 | drive.serial);
    }
    return signature;
}

QString driveRootOfFolder(const QString& folder) {
    QString path = folder;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (path.startsWith(QLatin1String("\\\\?\\UNC\\"), Qt::CaseInsensitive))
        path = QStringLiteral("\\\\") + path.mid(8);
    else if (path.startsWith(QLatin1String("\\\\?\\")) || path.startsWith(QLatin1String("\\\\.\\")))
        path = path.mid(4);
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':')) {
        const QChar letter = path.at(0).toLower();
        if (letter >= QLatin1Char('a') && letter <= QLatin1Char('z'))
            return QString(letter) + QStringLiteral(":\\");
        return {};
    }
    if (path.startsWith(QLatin1String("\\\\"))) {
        const QStringList parts = path.mid(2).split(QLatin1Char('\\'));
        if (parts.size() >= 2 && !parts.at(0).isEmpty() && !parts.at(1).isEmpty())
            return QStringLiteral("\\\\") + parts.at(0) + QLatin1Char('\\') + parts.at(1) +
                   QLatin1Char('\\');
    }
    return {};
}

namespace {

std::mutex g_callsMutex;
std::condition_variable g_callsEnded;
int g_calls = 0;
bool g_stopped = false;

// Counts a letter's call from before its thread starts, so that waitForCalls() after stopAll()
// misses none; false once the polls have stopped.
bool countCall() {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    if (g_stopped)
        return false;
    ++g_calls;
    return true;
}

void uncountCall() {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    if (--g_calls == 0)
        g_callsEnded.notify_all();
}

bool stopped() {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return g_stopped;
}

// Uncounts a letter's call when its thread ends.
class CallCount {
  public:
    CallCount() = default;
    ~CallCount() { uncountCall(); }
    CallCount(const CallCount&) = delete;
    CallCount& operator=(const CallCount&) = delete;
};

}  // namespace

// What the poll knows, shared by the poller, the letters' threads and the watchers: each may
// outlive the others.
struct DrivePoller::Core {
    struct Letter {
        bool inUse = false;
        bool asking = false;    // a call is out, and the letter is asked nothing more
        bool answered = false;  // since it came into use
        quint64 use = 0;        // counts the times it left use: older calls are not listened to
        std::optional<unsigned> type;
        Volume volume;
    };

    explicit Core(System calls) : system(std::move(calls)) {}

    void round(const std::shared_ptr<Core>& self);
    void ask(int index, quint64 use);
    // With mutex held: the list from what the letters last said, and the watchers told when
    // its signature changed.
    void publish();

    const System system;
    mutable std::mutex mutex;
    mutable std::condition_variable answered;
    std::condition_variable wake;
    std::array<Letter, 26> letters;
    bool polled = false;
    bool stopping = false;
    QList<LogicalDrive> drives;
    QList<quint64> signature;
    QList<Watch*> watches;
};

class DrivePoller::Watch : public QObject {
  public:
    Watch(std::shared_ptr<Core> core, std::function<void()> onChange)
        : core_(std::move(core)), onChange_(std::move(onChange)) {
        std::lock_guard<std::mutex> lock(core_->mutex);
        seen_ = core_->signature;
        core_->watches.append(this);
    }
    ~Watch() override {
        // Before QObject's own destructor, which drops the calls already posted.
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->watches.removeOne(this);
    }

    void check() {
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            if (core_->signature == seen_)
                return;
            seen_ = core_->signature;
        }
        onChange_();
    }

  private:
    std::shared_ptr<Core> core_;
    std::function<void()> onChange_;
    QList<quint64> seen_;
};

void DrivePoller::Core::publish() {
    QList<LogicalDrive> now;
    for (int i = 0; i < int(letters.size()); ++i) {
        const Letter& letter = letters[i];
        if (!letter.inUse || !letter.type)
            continue;
        now.append(LogicalDrive{QChar(char16_t(u'A' + i)), *letter.type, letter.volume.fileSystem,
                                letter.volume.label, letter.volume.serial});
    }
    drives = now;
    QList<quint64> signatureNow = driveSignature(now);
    if (signatureNow == signature)
        return;
    signature = std::move(signatureNow);
    for (Watch* watch : watches)
        QMetaObject::invokeMethod(
            watch, [watch] { watch->check(); }, Qt::QueuedConnection);
}

void DrivePoller::Core::round(const std::shared_ptr<Core>& self) {
    const quint32 inUse = system.lettersInUse();
    QList<std::pair<int, quint64>> toAsk;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int i = 0; i < int(letters.size()); ++i) {
            Letter& letter = letters[i];
            if (!(inUse & (quint32{1} << i))) {
                if (letter.inUse) {
                    // A call still out stays the letter's only one.
                    Letter gone;
                    gone.asking = letter.asking;
                    gone.use = letter.use + 1;
                    letter = gone;
                }
                continue;
            }
            letter.inUse = true;
            if (!letter.asking) {
                letter.asking = true;
                toAsk.append({i, letter.use});
            }
        }
        polled = true;
        publish();
    }
    answered.notify_all();
    for (const auto& [index, use] : toAsk) {
        if (!countCall()) {
            std::lock_guard<std::mutex> lock(mutex);
            letters[index].asking = false;
            continue;
        }
        try {
            std::thread([self, index = index, use = use] {
                const CallCount counted;
                self->ask(index, use);
            }).detach();
        } catch (const std::system_error&) {
            uncountCall();
            std::lock_guard<std::mutex> lock(mutex);
            letters[index].asking = false;  // asked again next round
        }
    }
}

void DrivePoller::Core::ask(int index, quint64 use) {
    // A poller that has gone asks nothing more.
    const auto given = [this, index, use] {
        const bool ended = stopped();
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopping && !ended && letters[index].use == use)
            return true;
        letters[index].asking = false;
        return false;
    };
    if (!given())
        return;
    const QChar name(char16_t(u'A' + index));
    const unsigned type = system.typeOf(name);
    const bool hasVolume = type == kDriveRemovable || type == kDriveFixed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Letter& letter = letters[index];
        if (letter.use != use) {
            letter.asking = false;
            return;
        }
        if (letter.type != type) {
            letter.type = type;
            letter.volume = {};
            publish();
        }
        if (!hasVolume) {
            letter.asking = false;
            letter.answered = true;
        }
    }
    if (!hasVolume) {
        answered.notify_all();
        return;
    }
    if (!given())
        return;
    Volume volume = system.volumeOf(name);
    {
        std::lock_guard<std::mutex> lock(mutex);
        Letter& letter = letters[index];
        letter.asking = false;
        if (letter.use == use) {
            letter.volume = std::move(volume);
            letter.answered = true;
            publish();
        }
    }
    answered.notify_all();
}

DrivePoller::DrivePoller(System system) : core_(std::make_shared<Core>(std::move(system))) {}

DrivePoller::~DrivePoller() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->stopping = true;
    }
    core_->wake.notify_all();
    // The rounds never wait for a letter, so this ends at once.
    if (rounds_.joinable())
        rounds_.join();
}

void DrivePoller::start(std::chrono::milliseconds interval) {
    if (rounds_.joinable())
        return;
    rounds_ = std::thread([core = core_, interval] {
        std::unique_lock<std::mutex> lock(core->mutex);
        while (!core->stopping) {
            lock.unlock();
            core->round(core);
            lock.lock();
            core->wake.wait_for(lock, interval, [&core] { return core->stopping; });
        }
    });
}

void DrivePoller::poll() {
    core_->round(core_);
}

QList<LogicalDrive> DrivePoller::drives() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->drives;
}

bool DrivePoller::waitUntilAnswered(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->answered.wait_for(lock, timeout, [this] {
        if (!core_->polled)
            return false;
        for (const Core::Letter& letter : core_->letters) {
            if (letter.inUse && !letter.answered)
                return false;
        }
        return true;
    });
}

void DrivePoller::stopAll() {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_stopped = true;
}

bool DrivePoller::waitForCalls(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(g_callsMutex);
    return g_callsEnded.wait_for(lock, timeout, [] { return g_calls == 0; });
}

std::unique_ptr<QObject> DrivePoller::watch(std::function<void()> onChange) {
    return std::make_unique<Watch>(core_, std::move(onChange));
}

}  // namespace platform::win
