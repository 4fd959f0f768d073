#pragma once

#include <QString>

// Removes leading and trailing blanks and control characters (every code up to U+0020).
QString trimBlanksAndControls(const QString& text);
