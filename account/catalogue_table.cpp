#include "account/catalogue_table.h"

#include <QComboBox>
#include <QHeaderView>
#include <QSignalBlocker>
#include <QStringListModel>
#include <QTableWidget>

#include "service/text.h"

namespace {

// A text cell that keeps its text itself. A plain item stores it through setData, which for a
// catalogue of thousands of models costs more than reading the whole answer.
class ModelCell : public QTableWidgetItem {
  public:
    explicit ModelCell(const QString& text) : text_(text) {}

    QVariant data(int role) const override {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return text_;
        return QTableWidgetItem::data(role);
    }
    void setData(int role, const QVariant& value) override {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            text_ = value.toString();
        QTableWidgetItem::setData(role, value);
    }
    QTableWidgetItem* clone() const override { return new ModelCell(*this); }

  private:
    QString text_;
};

}  // namespace

void storeCatalogue(QTableWidget& grid, const CatalogueAnswer& answer) {
    const int rows = static_cast<int>(answer.rows());
    {
        // The grid is never shown: its views need the final shape only, not a signal for
        // every cell.
        const QSignalBlocker quiet(grid.model());
        grid.setColumnCount(2);
        if (rows > 0) {
            // The first element drops every row but the first; the rows after it come new.
            grid.setRowCount(1);
            grid.setRowCount(rows);
            const int complete = static_cast<int>(answer.names.size());
            for (int row = 0; row < complete; ++row) {
                grid.setItem(row, 0, new ModelCell(answer.indexes[row]));
                grid.setItem(row, 1, new ModelCell(answer.names[row]));
            }
            if (answer.failedIndex)
                grid.setItem(complete, 0, new ModelCell(*answer.failedIndex));
        }
    }
    grid.reset();
    grid.horizontalHeader()->reset();
    grid.verticalHeader()->reset();
}

void listCatalogueNames(QComboBox& comboBox, const CatalogueAnswer& answer) {
    if (answer.names.isEmpty())
        return;
    // One model for all names at once; the drop-down drops its previous model, which it owns.
    comboBox.setModel(new QStringListModel(answer.names, &comboBox));
    comboBox.setCurrentIndex(-1);
}

QString catalogueIndexAt(const QTableWidget& grid, int row) {
    const QTableWidgetItem* item = grid.item(row, 0);
    return item ? trimBlanksAndControls(item->text()) : QString();
}
