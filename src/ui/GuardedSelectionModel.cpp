#include "ui/GuardedSelectionModel.h"

#include <algorithm>
#include <set>

#include "ui/TableDataSource.h"

namespace quellbox {

namespace {
std::set<int> rowsOf(const QModelIndexList& indexes) {
    std::set<int> rows;
    for (const QModelIndex& index : indexes) {
        rows.insert(index.row());
    }
    return rows;
}
}  // namespace

GuardedSelectionModel::GuardedSelectionModel(QAbstractItemModel* model, TableDataSource& dataSource,
                                             QObject* parent)
    : QItemSelectionModel(model, parent), dataSource_(dataSource) {}

bool GuardedSelectionModel::wouldChangeSelectedRows(
    const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) const {
    const std::set<int> current = rowsOf(selectedIndexes());
    const std::set<int> touched = rowsOf(selection.indexes());
    if (command & QItemSelectionModel::Clear) {
        return (command & QItemSelectionModel::Select) ? touched != current : !current.empty();
    }
    if (command & QItemSelectionModel::Select) {
        return !std::includes(current.begin(), current.end(), touched.begin(), touched.end());
    }
    return !touched.empty();  // deselecting or toggling rows
}

void GuardedSelectionModel::select(const QItemSelection& selection,
                                   QItemSelectionModel::SelectionFlags command) {
    if (!byProgram_) {
        if (command & QItemSelectionModel::Select) {
            for (const int row : rowsOf(selection.indexes())) {
                if (!dataSource_.shouldSelectRow(row)) {
                    return;
                }
            }
        }
        if (wouldChangeSelectedRows(selection, command) &&
            !dataSource_.selectionShouldChangeInTableView()) {
            return;
        }
    }
    QItemSelectionModel::select(selection, command);
}

void GuardedSelectionModel::selectRowByProgram(int row) {
    byProgram_ = true;
    if (row < 0 || row >= model()->rowCount()) {
        clearSelection();
    } else {
        const QModelIndex index = model()->index(row, 0);
        select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    byProgram_ = false;
}

}  // namespace quellbox
