#pragma once

#include <QItemSelectionModel>

namespace quellbox {

class TableDataSource;

// The selection of a table whose controller may hold the selection on a row (while that
// row's edit is refused) or forbid selecting rows. User moves are passed to the controller
// (selectionShouldChangeInTableView, shouldSelectRow) before they happen; the controller's
// own selections go through selectRowsByProgram and are not asked about.
class GuardedSelectionModel : public QItemSelectionModel {
    Q_OBJECT

public:
    GuardedSelectionModel(QAbstractItemModel* model, TableDataSource& dataSource,
                          QObject* parent = nullptr);

    using QItemSelectionModel::select;
    void select(const QItemSelection& selection,
                QItemSelectionModel::SelectionFlags command) override;

    // Selects `row` alone (a negative row clears the selection) without asking.
    void selectRowByProgram(int row);

private:
    bool wouldChangeSelectedRows(const QItemSelection& selection,
                                 QItemSelectionModel::SelectionFlags command) const;

    TableDataSource& dataSource_;
    bool byProgram_ = false;
};

}  // namespace quellbox
