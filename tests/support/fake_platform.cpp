#include "support/fake_platform.h"

#include <QObject>

#include "platform/downloads.h"

FakePlatform::FakePlatform() {
    exeDir = scratch_.path() + QStringLiteral("/exe/");
    loginPath = scratch_.path() + QStringLiteral("/config/MORVEL_Drivoro/tindrakhid.ini");
    cacheDir = scratch_.path() + QStringLiteral("/cache/MORVEL_Drivoro/");
    previous_ = platform::install(this);
}

FakePlatform::~FakePlatform() {
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
