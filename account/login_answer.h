#pragma once

#include <QString>
#include <optional>

#include "service/database_record.h"

// The login answer read without a window: every value the handler needs, each empty when it
// could not be read.
struct LoginAnswer {
    bool accepted = false;
    // "msg"; when it cannot be read, msgError holds the reading failure's text.
    std::optional<QString> msg;
    QString msgError;

    // Only for an accepted answer. The first group is read in this order up to its first key
    // that cannot be read; that one and the later ones stay empty.
    std::optional<QString> makeName;   // "mInfo_NAME"
    std::optional<QString> makeId;     // "mInfo_CODE"
    std::optional<QString> modelName;  // "bInfo_modelName"
    std::optional<QString> modelId;    // "bInfo_IDX"
    std::optional<QString> startDate;  // "payment_Sdate"
    std::optional<QString> endDate;    // "payment_Edate", read on its own
    DatabaseRecord record;
};

// Empty when the text is not JSON. Throws JsonAccessError when "flag" is missing.
std::optional<LoginAnswer> readLoginAnswer(const QString& json);
