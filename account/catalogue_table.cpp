#include "account/catalogue_table.h"

#include <QComboBox>
#include <QTableWidget>

#include "service/text.h"

namespace {

void setCell(QTableWidget& grid, int row, int column, const QString& text) {
    grid.setItem(row, column, new QTableWidgetItem(text));
}

}  // namespace

void storeCatalogue(QTableWidget& grid, const CatalogueAnswer& answer) {
    grid.setColumnCount(2);
    const int rows = static_cast<int>(answer.rows());
    if (rows == 0)
        return;
    // The first element drops every row but the first; the rows after it come new and empty.
    grid.setRowCount(1);
    grid.setRowCount(rows);
    int row = 0;
    for (const CatalogueModel& model : answer.models) {
        setCell(grid, row, 0, model.index);
        setCell(grid, row, 1, model.name);
        ++row;
    }
    if (answer.failedIndex)
        setCell(grid, row, 0, *answer.failedIndex);
}

void listCatalogueNames(QComboBox& comboBox, const CatalogueAnswer& answer) {
    if (answer.models.isEmpty())
        return;
    QStringList names;
    names.reserve(answer.models.size());
    for (const CatalogueModel& model : answer.models)
        names.append(model.name);
    comboBox.clear();
    comboBox.addItems(names);
    comboBox.setCurrentIndex(-1);
}

QString catalogueIndexAt(const QTableWidget& grid, int row) {
    const QTableWidgetItem* item = grid.item(row, 0);
    return item ? trimBlanksAndControls(item->text()) : QString();
}
