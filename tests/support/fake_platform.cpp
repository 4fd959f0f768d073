#include "support/fake_platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>

#include "card/card_access.h"
#include "platform/downloads.h"

FakePlatform::FakePlatform() {
    exeDir = scratch_.path() + QStringLiteral("/exe/");
    loginPath = scratch_.path() + QStringLiteral("/config/MORVEL_Drivoro/tindrakhid.ini");
    cacheDir = scratch_.path() + QStringLiteral("/cache/MORVEL_Drivoro/");
    previous_ = platform::install(this);
}

FakePlatform::~FakePlatform() {
    // A held call must not outlive the test that held it, nor reach a platform that is gone.
    releaseCardCalls();
    card::CardAccess::waitForThreads(std::chrono::seconds{20});
    platform::install(previous_);
}

void FakePlatform::messageBox(QWidget*, const QString& text, const QString& caption) {
    boxes.append(Box{text, caption, false});
    if (onBox)
        onBox();
}

void FakePlatform::errorBox(const QString& text) {
    boxes.append(Box{platform::standardErrorText(text), platform::applicationTitle(), true});
    if (onBox)
        onBox();
}

bool FakePlatform::askYesNo(QWidget*, const QString& text, const QString&) {
    questions.append(text);
    if (onBox)
        onBox();
    return answerYes;
}

void FakePlatform::openUrl(QWidget*, const QString& url) {
    openedUrls.append(url);
}

platform::DownloadResult FakePlatform::downloadToFile(const QString& url, const QString& targetPath,
                                                      const platform::DownloadOptions& options) {
    downloadedUrls.append(url);
    return platform::downloadUrlToFile(url, targetPath, options);
}

std::unique_ptr<QObject> FakePlatform::watchDrives(std::function<void()> onChange) {
    onDrivesChanged = std::move(onChange);
    return std::make_unique<QObject>();
}

void FakePlatform::drivesChanged() {
    if (onDrivesChanged)
        onDrivesChanged();
}

platform::VolumeFlush FakePlatform::flushVolume(const QString& root) {
    flushedVolumes.append(root);
    if (onFlush)
        onFlush();
    return flushOutcome;
}

QStringList FakePlatform::errorTexts() const {
    QStringList texts;
    for (const Box& box : boxes) {
        if (box.error)
            texts.append(box.text);
    }
    return texts;
}

QStringList FakePlatform::messageTexts() const {
    QStringList texts;
    for (const Box& box : boxes) {
        if (!box.error)
            texts.append(box.text);
    }
    return texts;
}

void FakePlatform::beforeCardCall(platform::CardCall call, const QString& where) {
    std::unique_lock<std::mutex> lock(cardMutex_);
    if (!holding_ || !holding_(call, where))
        return;
    const quint64 release = releases_;
    ++held_;
    cardReleased_.wait(lock, [&] { return releases_ != release; });
    --held_;
}

void FakePlatform::holdCardCalls(CardCallFilter which) {
    std::lock_guard<std::mutex> lock(cardMutex_);
    holding_ = std::move(which);
}

void FakePlatform::releaseCardCalls() {
    {
        std::lock_guard<std::mutex> lock(cardMutex_);
        holding_ = nullptr;
        ++releases_;
    }
    cardReleased_.notify_all();
}

int FakePlatform::heldCardCalls() const {
    std::lock_guard<std::mutex> lock(cardMutex_);
    return held_;
}

bool FakePlatform::waitUntilHeld(int count, int ms) const {
    QElapsedTimer waited;
    waited.start();
    while (heldCardCalls() < count) {
        if (waited.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}
