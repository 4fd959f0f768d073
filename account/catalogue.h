#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "base/errors.h"

// A catalogue answer read element by element up to the first element that cannot be read.
struct CatalogueAnswer {
    // The complete elements in answer order, side by side: the drop-down takes the names as
    // they are.
    QStringList indexes;  // "bInfo_IDX", blanks included
    QStringList names;    // "bInfo_modelName"
    // The element that could not be read, if any: it still takes a row of the model table,
    // holding its index when that much was read.
    std::optional<JsonAccessError> failure;
    std::optional<QString> failedIndex;

    // Rows of the model table that the answer fills.
    qsizetype rows() const { return names.size() + (failure ? 1 : 0); }
};

// Empty when the text is not JSON. Throws JsonAccessError when "list" is missing or is not an
// array; a failing element is recorded in the result instead, so that the models before it
// can be kept before the failure is reported.
std::optional<CatalogueAnswer> decodeCatalogue(const QString& json);
