#include "platform/platform.h"

#include <QCoreApplication>
#include <atomic>

namespace platform {
namespace {
// Read by the threads of card calls too.
std::atomic<Platform*> g_instance{nullptr};
}  // namespace

Platform& current() {
    Platform* instance = g_instance.load();
    Q_ASSERT(instance);
    return *instance;
}

Platform* installed() {
    return g_instance.load();
}

Platform* install(Platform* instance) {
    return g_instance.exchange(instance);
}

SystemKind thisSystem() {
#ifdef _WIN32
    return SystemKind::Windows;
#else
    return SystemKind::Linux;
#endif
}

VolumeFlush judgeVolumeFlush(SystemKind system, const QString& fileSystem, bool flushed) {
    if (!flushed)
        return VolumeFlush::Failed;
    const bool fat = fileSystem.compare(QLatin1String("FAT"), Qt::CaseInsensitive) == 0 ||
                     fileSystem.compare(QLatin1String("FAT12"), Qt::CaseInsensitive) == 0 ||
                     fileSystem.compare(QLatin1String("FAT16"), Qt::CaseInsensitive) == 0 ||
                     fileSystem.compare(QLatin1String("FAT32"), Qt::CaseInsensitive) == 0;
    return system == SystemKind::Windows && fat ? VolumeFlush::Clean : VolumeFlush::Flushed;
}

QString ejectAdvice(SystemKind system) {
    if (system == SystemKind::Windows) {
        return QStringLiteral(
            "SD카드를 빼기 전에 작업 표시줄의 '하드웨어 안전하게 제거 및 "
            "미디어 꺼내기'에서 꺼내 주세요");
    }
    return QStringLiteral("SD카드를 빼기 전에 파일 관리자에서 꺼내기를 눌러 주세요");
}

QString applicationTitle() {
    return QStringLiteral("Pelnira 업데이트 매니저 V1.0");
}

QString standardErrorText(const QString& text) {
    if (!text.isEmpty() && text.back() > QLatin1Char('.')) {
        return text + QLatin1Char('.');
    }
    return text;
}

}  // namespace platform
