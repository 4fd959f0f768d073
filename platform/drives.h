#pragma once

#include <QList>
#include <QString>

#include "platform/platform.h"

namespace platform {

// The mounted volumes that can hold a dashcam card, found without root rights.
QList<Drive> mountedCardVolumes();
// Root of the volume holding path.
QString volumeRootOf(const QString& path);

}  // namespace platform
