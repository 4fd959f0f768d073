#include "app/string_grid_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPointer>
#include <QWindow>
#include <algorithm>

#include "app/string_grid.h"

namespace {

// The grid as a table of all its cells, fixed ones included and counted as the grid counts
// them: children row by row, row 0 the column headers, column 0 the row headers. Qt's own
// table presents the corner cell as a nameless pane, so a screen reader heard one column
// header less than the grid shows.
class GridTable : public QAccessibleWidget, public QAccessibleTableInterface {
  public:
    explicit GridTable(StringGrid* grid) : QAccessibleWidget(grid, QAccessible::Table) {}
    ~GridTable() override;
    GridTable(const GridTable&) = delete;
    GridTable& operator=(const GridTable&) = delete;

    // The cell at grid column col and grid row row; none outside the grid.
    QAccessibleInterface* cell(int col, int row) const;

    void* interface_cast(QAccessible::InterfaceType type) override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface*> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int row) const override;
    int selectedColumnCount() const override { return static_cast<int>(selectedColumns().size()); }
    int selectedRowCount() const override { return static_cast<int>(selectedRows().size()); }
    int columnCount() const override { return grid()->gridColCount(); }
    int rowCount() const override { return grid()->gridRowCount() - 1; }
    QList<int> selectedColumns() const override;
    QList<int> selectedRows() const override;
    bool isColumnSelected(int column) const override;
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    // The grid selects whole rows only.
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override;

  private:
    StringGrid* grid() const { return static_cast<StringGrid*>(widget()); }
    QItemSelectionModel* selection() const { return grid()->selectionModel(); }

    mutable QHash<quint64, QAccessible::Id> cells_;
};

// One cell of the grid. It stands for a place, not a content: after a change it tells what
// is there now, and it turns invalid once the grid no longer reaches its place.
class GridCell : public QAccessibleInterface, public QAccessibleTableCellInterface {
  public:
    GridCell(StringGrid* grid, int col, int row) : grid_(grid), col_(col), row_(row) {}

    const StringGrid* grid() const { return grid_.data(); }
    int col() const { return col_; }
    int row() const { return row_; }

    bool isValid() const override {
        return grid_ && col_ < grid_->gridColCount() && row_ < grid_->gridRowCount();
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return grid_ ? grid_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(grid_.data());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name && isValid() ? grid_->cell(col_, row_) : QString();
    }
    // The user cannot edit the grid.
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override;
    QAccessible::Role role() const override {
        if (row_ == 0)
            return QAccessible::ColumnHeader;
        return col_ == 0 ? QAccessible::RowHeader : QAccessible::Cell;
    }
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override {
        // The header row heads the table rather than being one of its rows.
        if (type == QAccessible::TableCellInterface && row_ > 0)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    bool isSelected() const override;
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {at(col_, 0)}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override {
        if (col_ == 0)
            return {};
        return {at(0, row_)};
    }
    int columnIndex() const override { return col_; }
    int rowIndex() const override { return row_ - 1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

  private:
    QModelIndex modelIndex() const { return grid_->model()->index(row_ - 1, col_ - 1); }
    QAccessibleInterface* at(int col, int row) const {
        auto* table = dynamic_cast<GridTable*>(parent());
        return table ? table->cell(col, row) : nullptr;
    }

    QPointer<StringGrid> grid_;
    int col_;
    int row_;
};

GridTable::~GridTable() {
    for (const QAccessible::Id id : std::as_const(cells_))
        QAccessible::deleteAccessibleInterface(id);
}

QAccessibleInterface* GridTable::cell(int col, int row) const {
    if (col < 0 || row < 0 || col >= grid()->gridColCount() || row >= grid()->gridRowCount())
        return nullptr;
    const quint64 key = (quint64(quint32(row)) << 32) | quint32(col);
    const auto found = cells_.constFind(key);
    if (found != cells_.constEnd())
        return QAccessible::accessibleInterface(*found);
    auto* made = new GridCell(grid(), col, row);
    cells_.insert(key, QAccessible::registerAccessibleInterface(made));
    return made;
}

void* GridTable::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

int GridTable::childCount() const {
    return grid()->gridColCount() * grid()->gridRowCount();
}

QAccessibleInterface* GridTable::child(int index) const {
    const int cols = grid()->gridColCount();
    if (index < 0 || index >= childCount())
        return nullptr;
    return cell(index % cols, index / cols);
}

int GridTable::indexOfChild(const QAccessibleInterface* child) const {
    const auto* found = dynamic_cast<const GridCell*>(child);
    if (!found || found->grid() != grid() || !found->isValid())
        return -1;
    return found->row() * grid()->gridColCount() + found->col();
}

QAccessibleInterface* GridTable::childAt(int x, int y) const {
    const QPoint point(x, y);
    const auto under = [&point](const QWidget* w) {
        return w->isVisible() && w->rect().contains(w->mapFromGlobal(point));
    };
    StringGrid* g = grid();
    if (under(g->viewport())) {
        const QModelIndex index = g->indexAt(g->viewport()->mapFromGlobal(point));
        return index.isValid() ? cell(index.column() + 1, index.row() + 1) : nullptr;
    }
    const QHeaderView* columns = g->horizontalHeader();
    if (under(columns->viewport())) {
        const int section = columns->logicalIndexAt(columns->viewport()->mapFromGlobal(point));
        return section >= 0 ? cell(section + 1, 0) : nullptr;
    }
    const QHeaderView* rows = g->verticalHeader();
    if (under(rows->viewport())) {
        const int section = rows->logicalIndexAt(rows->viewport()->mapFromGlobal(point));
        return section >= 0 ? cell(0, section + 1) : nullptr;
    }
    QAccessibleInterface* corner = cell(0, 0);
    return corner && corner->rect().contains(point) ? corner : nullptr;
}

QAccessibleInterface* GridTable::focusChild() const {
    const QModelIndex current = grid()->currentIndex();
    return current.isValid() ? cell(current.column() + 1, current.row() + 1) : nullptr;
}

QAccessibleInterface* GridTable::cellAt(int row, int column) const {
    return cell(column, row + 1);
}

int GridTable::selectedCellCount() const {
    return static_cast<int>(selection()->selectedIndexes().size());
}

QList<QAccessibleInterface*> GridTable::selectedCells() const {
    QList<QAccessibleInterface*> cells;
    for (const QModelIndex& index : selection()->selectedIndexes())
        cells.append(cell(index.column() + 1, index.row() + 1));
    return cells;
}

QString GridTable::columnDescription(int column) const {
    return grid()->cell(column, 0);
}

QString GridTable::rowDescription(int row) const {
    return grid()->cell(0, row + 1);
}

QList<int> GridTable::selectedColumns() const {
    QList<int> columns;
    for (int column = 1; column < columnCount(); ++column) {
        if (isColumnSelected(column))
            columns.append(column);
    }
    return columns;
}

QList<int> GridTable::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex& index : selection()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool GridTable::isColumnSelected(int column) const {
    return column > 0 && selection()->isColumnSelected(column - 1);
}

bool GridTable::isRowSelected(int row) const {
    return selection()->isRowSelected(row);
}

bool GridTable::selectRow(int row) {
    const QAbstractItemView::SelectionMode mode = grid()->selectionMode();
    if (mode == QAbstractItemView::NoSelection || row < 0 || row >= rowCount() ||
        columnCount() < 2) {
        return false;
    }
    const auto how = mode == QAbstractItemView::SingleSelection
                         ? QItemSelectionModel::ClearAndSelect
                         : QItemSelectionModel::Select;
    selection()->select(grid()->model()->index(row, 0), how | QItemSelectionModel::Rows);
    return true;
}

bool GridTable::unselectRow(int row) {
    if (row < 0 || row >= rowCount() || columnCount() < 2)
        return false;
    selection()->select(grid()->model()->index(row, 0),
                        QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    return true;
}

// Cells keep their place across changes; only those the grid no longer reaches go.
void GridTable::modelChange(QAccessibleTableModelChangeEvent*) {
    for (auto it = cells_.begin(); it != cells_.end();) {
        QAccessibleInterface* made = QAccessible::accessibleInterface(*it);
        if (made && made->isValid()) {
            ++it;
        } else {
            QAccessible::deleteAccessibleInterface(*it);
            it = cells_.erase(it);
        }
    }
}

QRect GridCell::rect() const {
    if (!isValid())
        return {};
    QRect local;
    const QWidget* on = grid_;
    if (row_ == 0 && col_ == 0) {
        // The corner, between the two headers.
        const QHeaderView* rows = grid_->verticalHeader();
        const QHeaderView* columns = grid_->horizontalHeader();
        local = QRect(rows->x(), columns->y(), rows->width(), columns->height());
    } else if (row_ == 0) {
        const QHeaderView* columns = grid_->horizontalHeader();
        local = QRect(columns->sectionViewportPosition(col_ - 1), 0, columns->sectionSize(col_ - 1),
                      columns->height());
        on = columns->viewport();
    } else if (col_ == 0) {
        const QHeaderView* rows = grid_->verticalHeader();
        local = QRect(0, rows->sectionViewportPosition(row_ - 1), rows->width(),
                      rows->sectionSize(row_ - 1));
        on = rows->viewport();
    } else {
        local = grid_->visualRect(modelIndex());
        on = grid_->viewport();
    }
    return local.translated(on->mapToGlobal(QPoint(0, 0)));
}

QAccessible::State GridCell::state() const {
    QAccessible::State state;
    if (!isValid()) {
        state.invalid = true;
        return state;
    }
    state.readOnly = true;
    const QRect shown(grid_->mapToGlobal(QPoint(0, 0)), grid_->size());
    if (!grid_->isVisible() || !shown.intersects(rect()))
        state.invisible = true;
    if (row_ > 0 && col_ > 0) {
        const QModelIndex index = modelIndex();
        const QAbstractItemView::SelectionMode mode = grid_->selectionMode();
        state.selectable = mode != QAbstractItemView::NoSelection;
        state.multiSelectable = mode == QAbstractItemView::ExtendedSelection ||
                                mode == QAbstractItemView::MultiSelection;
        state.selected = grid_->selectionModel()->isSelected(index);
        state.focusable = true;
        state.focused = grid_->hasFocus() && grid_->currentIndex() == index;
    }
    return state;
}

bool GridCell::isSelected() const {
    if (!isValid() || row_ == 0)
        return false;
    if (col_ == 0)
        return grid_->selectionModel()->isRowSelected(row_ - 1);
    return grid_->selectionModel()->isSelected(modelIndex());
}

}  // namespace

QAccessibleInterface* stringGridAccessible(const QString& className, QObject* object) {
    auto* grid = qobject_cast<StringGrid*>(object);
    if (grid && className == QLatin1String("StringGrid"))
        return new GridTable(grid);
    return nullptr;
}
