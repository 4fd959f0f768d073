#pragma once

#include <QString>

// A card's line 1, region by region: serial region QZ24001TESTCAM1_0042 and ten cells of 0,
// an empty model region, registered 20240105, version 1.0.
inline const QString kExampleLine = QStringLiteral(
    "515A32343030315445535443414D315F30303432"
    "00000000000000000000"
    "0000000000000000000000000000000000000000"
    "3230323430313035"
    "312E300000000000");
