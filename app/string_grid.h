#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <QTableView>
#include <vector>

class QAbstractButton;

// The cells of a StringGrid, fixed ones included; the view shows the fixed row and column
// as its headers.
class StringGridModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    int gridRowCount() const { return static_cast<int>(cells_.size()); }
    int gridColCount() const { return cols_; }
    void setGridRowCount(int count);
    void setGridColCount(int count);
    QString cell(int col, int row) const;
    void setCell(int col, int row, const QString& text);
    // One reset instead of a signal per row and cell; see StringGrid::setGridRows.
    void setGridRows(std::vector<QStringList> rows);

  private:
    std::vector<QStringList> cells_{QStringList()};  // by grid row; row 0 is the header
    int cols_ = 1;
};

// A grid of text cells with one fixed header row and one fixed first column that stay in
// place while the rest scrolls, the user can neither edit nor resize. Cells are addressed
// (column, row) with the fixed ones counted: row 0 is the header row, column 0 the fixed
// column, and the counts include them.
class StringGrid : public QTableView {
    Q_OBJECT

  public:
    explicit StringGrid(QWidget* parent = nullptr);

    int gridRowCount() const { return model_->gridRowCount(); }
    // Rows beyond the new count are dropped; added rows start empty. At least the fixed
    // row stays.
    void setGridRowCount(int count);
    int gridColCount() const { return model_->gridColCount(); }
    void setGridColCount(int count);

    QString cell(int col, int row) const { return model_->cell(col, row); }
    // Cells outside the grid are ignored.
    void setCell(int col, int row, const QString& text);
    // Replaces every row, fixed row included, by rows[r] as cells 0, 1, ... of row r; cells
    // beyond the column count are dropped. For filling thousands of rows at once. With no
    // rows given, one empty fixed row stays.
    void setGridRows(std::vector<QStringList> rows);

    int colWidth(int col) const;
    void setColWidth(int col, int width);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void paintCorner();

    StringGridModel* model_;
    QAbstractButton* corner_ = nullptr;
};
