#pragma once

#include <QByteArray>

// The certificates of the authority that DRIVORO_EXTRA_CA_FILE named when the program was
// built, or nothing, as in every build for drivers. The build generates its definition for the
// program alone (cmake/extra_authority.cmake).
QByteArray builtInExtraAuthority();
