#pragma once

#include <QList>
#include <QString>
#include <optional>

#include "service/errors.h"

// One model of the service's catalogue, as sent.
struct CatalogueModel {
    QString index;  // "bInfo_IDX", blanks included
    QString name;   // "bInfo_modelName"
};

// A catalogue answer read element by element up to the first element that cannot be read.
struct CatalogueAnswer {
    QList<CatalogueModel> models;  // the complete elements, in answer order
    // The element that could not be read, if any: it still takes a row of the model table,
    // holding its index when that much was read.
    std::optional<JsonAccessError> failure;
    std::optional<QString> failedIndex;

    // Rows of the model table that the answer fills.
    qsizetype rows() const { return models.size() + (failure ? 1 : 0); }
};

// Empty when the text is not JSON. Throws JsonAccessError when "list" is missing or is not an
// array; a failing element is recorded in the result instead, so that the models before it
// can be kept before the failure is reported.
std::optional<CatalogueAnswer> decodeCatalogue(const QString& json);
