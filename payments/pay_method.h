#pragma once

#include <QString>

// The text shown for a payment method code; a code the program does not know is shown as
// the service sent it.
QString payMethodName(const QString& code);
