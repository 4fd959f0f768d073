#include "platform/single_instance.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace platform {
namespace {

int wakePipe[2] = {-1, -1};

void onWake(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(wakePipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() = default;

void SingleInstance::listen() {
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read);
    listener_.reset(notifier);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] {
        char bytes[64];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        if (onCall_)
            onCall_();
    });
    struct sigaction action {};
    action.sa_handler = onWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGUSR1, &action, nullptr);
}

void SingleInstance::release() {
    lock_.reset();
}

void SingleInstance::askToComeForward(qint64 pid) {
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGUSR1);
}

}  // namespace platform
