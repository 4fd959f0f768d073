#include "platform/mount_watcher.h"

#include <QSocketNotifier>
#include <utility>

namespace platform {
namespace {

// Long enough to take in one mount's burst of events, short enough that a card is read
// well within a second of its arrival.
constexpr int kSettleMs = 150;

}  // namespace

std::unique_ptr<MountWatcher> MountWatcher::create(std::function<void()> onChange,
                                                   const QString& path) {
    auto file = std::make_unique<QFile>(path);
    // Unbuffered: every read goes to the kernel, which rebuilds the table from offset 0.
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return nullptr;
    return std::unique_ptr<MountWatcher>(new MountWatcher(std::move(onChange), std::move(file)));
}

MountWatcher::MountWatcher(std::function<void()> onChange, std::unique_ptr<QFile> file)
    : onChange_(std::move(onChange)), file_(std::move(file)) {
    last_ = readTable();
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, [this] { settle(); });
    // Only the exceptional condition: the file is always readable, so a read notifier
    // would fire without end.
    notifier_ = new QSocketNotifier(file_->handle(), QSocketNotifier::Exception, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        // Reading the table again acknowledges the change.
        readTable();
        settle_.start();
    });
}

MountWatcher::~MountWatcher() {
    // The notifier must go before the file it watches is closed.
    delete notifier_;
    notifier_ = nullptr;
}

QByteArray MountWatcher::readTable() {
    file_->seek(0);
    QByteArray text;
    for (;;) {
        const QByteArray chunk = file_->read(64 * 1024);
        if (chunk.isEmpty())
            break;
        text += chunk;
    }
    return text;
}

void MountWatcher::settle() {
    QByteArray table = readTable();
    if (table == last_)
        return;
    last_ = std::move(table);
    if (onChange_)
        onChange_();
}

}  // namespace platform
