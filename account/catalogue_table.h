#pragma once

#include <QString>

#include "account/catalogue.h"

class QComboBox;
class StringGrid;

// The model table lives in the main window's hidden grid, addressed by column and row with no
// fixed row or column playing a part: row r holds the (r+1)-th model of the answer that filled
// it, column 0 its index as sent and column 1 its name.

// Leaves the grid as filling it one element after the other would: from the first element on,
// only this answer's rows remain, and a failing element keeps its row (and its index, if that
// was read). An answer without elements leaves the rows as they were.
void storeCatalogue(StringGrid& grid, const CatalogueAnswer& answer);

// The drop-down lists the names of the complete models, in order, with nothing chosen. Left
// alone when there are none, as when the first element already failed.
void listCatalogueNames(QComboBox& comboBox, const CatalogueAnswer& answer);

// The index of the model in row, trimmed; empty when the row holds none.
QString catalogueIndexAt(const StringGrid& grid, int row);
