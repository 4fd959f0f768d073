#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace platform {

// Reports changes of the mount table. The kernel marks an open mountinfo file with an
// exceptional condition (POLLPRI) whenever a volume is mounted or unmounted, so the watcher
// sleeps in the event loop instead of polling. Bursts (a desktop mounting one card in several
// steps) are reported once, and only when the table's text has really changed.
class MountWatcher : public QObject {
  public:
    // Null when the file cannot be opened.
    static std::unique_ptr<MountWatcher> create(
        std::function<void()> onChange,
        const QString& path = QStringLiteral("/proc/self/mountinfo"));
    ~MountWatcher() override;

  private:
    MountWatcher(std::function<void()> onChange, std::unique_ptr<QFile> file);
    QByteArray readTable();
    void settle();

    std::function<void()> onChange_;
    std::unique_ptr<QFile> file_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer settle_;
    QByteArray last_;
};

}  // namespace platform
