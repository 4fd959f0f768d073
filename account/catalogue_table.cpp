#include "account/catalogue_table.h"

#include <QComboBox>
#include <QStringListModel>
#include <vector>

#include "app/widgets.h"
#include "base/text.h"

void storeCatalogue(StringGrid& grid, const CatalogueAnswer& answer) {
    const qsizetype rows = answer.rows();
    grid.setGridColCount(2);
    if (rows == 0)
        return;
    // The first element keeps the first row and drops the others; what it fails to bring
    // leaves that row's old cells in place. The rows after it come new.
    std::vector<QStringList> cells(static_cast<std::size_t>(rows));
    cells[0] = QStringList{grid.cell(0, 0), grid.cell(1, 0)};
    const qsizetype complete = answer.names.size();
    for (qsizetype row = 0; row < complete; ++row)
        cells[static_cast<std::size_t>(row)] = QStringList{answer.indexes[row], answer.names[row]};
    if (answer.failedIndex) {
        QStringList& failed = cells[static_cast<std::size_t>(complete)];
        failed.resize(2);
        failed[0] = *answer.failedIndex;
    }
    grid.setGridRows(std::move(cells));
}

void listCatalogueNames(QComboBox& comboBox, const CatalogueAnswer& answer) {
    if (answer.names.isEmpty())
        return;
    // One model for all names at once; the drop-down drops its previous model, which it owns.
    comboBox.setModel(new QStringListModel(answer.names, &comboBox));
    comboBox.setCurrentIndex(-1);
}

QString catalogueIndexAt(const StringGrid& grid, int row) {
    return trimBlanksAndControls(grid.cell(0, row));
}
