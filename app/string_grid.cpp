#include "app/string_grid.h"

#include <QAbstractButton>
#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QStyleOptionHeader>
#include <algorithm>
#include <utility>

namespace {

constexpr int kRowHeight = 24;
constexpr Qt::Alignment kCellAlignment = Qt::AlignLeft | Qt::AlignVCenter;

}  // namespace

int StringGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : gridRowCount() - 1;
}

int StringGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : cols_ - 1;
}

QVariant StringGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return cell(index.column() + 1, index.row() + 1);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(kCellAlignment);
    return {};
}

QVariant StringGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role == Qt::DisplayRole) {
        return orientation == Qt::Horizontal ? cell(section + 1, 0) : cell(0, section + 1);
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(kCellAlignment);
    return {};
}

Qt::ItemFlags StringGridModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

void StringGridModel::setGridRowCount(int count) {
    const int old = gridRowCount();
    count = std::max(count, 1);
    if (count > old) {
        beginInsertRows({}, old - 1, count - 2);
        cells_.resize(static_cast<std::size_t>(count), QStringList());
        endInsertRows();
    } else if (count < old) {
        beginRemoveRows({}, count - 1, old - 2);
        cells_.resize(static_cast<std::size_t>(count));
        endRemoveRows();
    }
}

void StringGridModel::setGridColCount(int count) {
    const int old = cols_;
    count = std::max(count, 1);
    if (count > old) {
        beginInsertColumns({}, old - 1, count - 2);
        cols_ = count;
        endInsertColumns();
    } else if (count < old) {
        beginRemoveColumns({}, count - 1, old - 2);
        cols_ = count;
        for (QStringList& row : cells_) {
            if (row.size() > count)
                row.resize(count);
        }
        endRemoveColumns();
    }
}

QString StringGridModel::cell(int col, int row) const {
    if (col < 0 || row < 0 || col >= cols_ || row >= gridRowCount())
        return QString();
    return cells_[static_cast<std::size_t>(row)].value(col);
}

void StringGridModel::setCell(int col, int row, const QString& text) {
    if (col < 0 || row < 0 || col >= cols_ || row >= gridRowCount())
        return;
    QStringList& cells = cells_[static_cast<std::size_t>(row)];
    if (cells.size() <= col)
        cells.resize(col + 1);
    cells[col] = text;
    // The fixed column is repainted by the grid: on every notification the header
    // re-measures all its sections, which made filling a long list quadratic.
    if (row == 0 && col > 0) {
        emit headerDataChanged(Qt::Horizontal, col - 1, col - 1);
    } else if (col > 0 && row > 0) {
        const QModelIndex changed = index(row - 1, col - 1);
        emit dataChanged(changed, changed, {Qt::DisplayRole});
    }
}

void StringGridModel::setGridRows(std::vector<QStringList> rows) {
    if (rows.empty())
        rows.emplace_back();
    for (QStringList& row : rows) {
        if (row.size() > cols_)
            row.resize(cols_);
    }
    beginResetModel();
    cells_ = std::move(rows);
    endResetModel();
}

StringGrid::StringGrid(QWidget* parent) : QTableView(parent), model_(new StringGridModel(this)) {
    setModel(model_);
    for (QHeaderView* header : {horizontalHeader(), verticalHeader()}) {
        header->setSectionResizeMode(QHeaderView::Fixed);
        header->setSectionsClickable(false);
        header->setHighlightSections(false);
        header->setDefaultAlignment(kCellAlignment);
    }
    verticalHeader()->setMinimumSectionSize(kRowHeight);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    horizontalHeader()->setFixedHeight(kRowHeight);

    // The corner cell is the fixed row's first cell; Qt draws it empty and selects all on a
    // click, so it is painted here and does nothing.
    for (QAbstractButton* button : findChildren<QAbstractButton*>()) {
        if (button->inherits("QTableCornerButton")) {
            corner_ = button;
            corner_->installEventFilter(this);
        }
    }
    setCornerButtonEnabled(false);
}

void StringGrid::setGridRowCount(int count) {
    model_->setGridRowCount(count);
    // Like a string grid, there is always a current row while there are rows.
    if (!currentIndex().isValid() && model_->rowCount() > 0 && model_->columnCount() > 0)
        setCurrentIndex(model_->index(0, 0));
}

void StringGrid::setGridRows(std::vector<QStringList> rows) {
    model_->setGridRows(std::move(rows));
    // The reset forgot the current row.
    if (model_->rowCount() > 0 && model_->columnCount() > 0)
        setCurrentIndex(model_->index(0, 0));
    if (corner_)
        corner_->update();
}

void StringGrid::setGridColCount(int count) {
    model_->setGridColCount(count);
}

void StringGrid::setCell(int col, int row, const QString& text) {
    model_->setCell(col, row, text);
    if (col == 0 && row == 0 && corner_) {
        corner_->update();
    } else if (col == 0) {
        verticalHeader()->viewport()->update();
    }
}

int StringGrid::colWidth(int col) const {
    if (col == 0)
        return verticalHeader()->width();
    return columnWidth(col - 1);
}

void StringGrid::setColWidth(int col, int width) {
    if (col == 0) {
        verticalHeader()->setFixedWidth(width);
    } else if (col < gridColCount()) {
        setColumnWidth(col - 1, width);
    }
}

bool StringGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched == corner_ && event->type() == QEvent::Paint) {
        paintCorner();
        return true;
    }
    return QTableView::eventFilter(watched, event);
}

void StringGrid::paintCorner() {
    QPainter painter(corner_);
    QStyleOptionHeader option;
    option.initFrom(corner_);
    // The button is disabled so that a click does nothing; it is drawn like the other
    // fixed cells all the same.
    option.state |= QStyle::State_Enabled;
    option.palette.setCurrentColorGroup(QPalette::Active);
    option.rect = corner_->rect();
    option.text = model_->cell(0, 0);
    option.textAlignment = kCellAlignment;
    option.position = QStyleOptionHeader::OnlyOneSection;
    option.orientation = Qt::Horizontal;
    corner_->style()->drawControl(QStyle::CE_Header, &option, &painter, corner_);
}
