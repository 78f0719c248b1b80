#pragma once

#include <QString>
#include <QVariant>

namespace quellbox {

// What a table asks of the controller behind it: its rows and values, the edits, the cells'
// look and whether the selection may move. The controller keeps every rule; the Qt model and
// selection model only pass the questions on. Columns are named by their identifiers.
class TableDataSource {
public:
    // How a cell is drawn and whether it takes input.
    struct CellLook {
        bool enabled = true;
        bool editable = true;
        bool disabledTextColor = false;  // else the normal control text colour
    };

    virtual ~TableDataSource() = default;

    virtual int numberOfRowsInTableView() const = 0;
    // A boolean for check-box columns, a text or a number otherwise; nothing for an
    // unknown column.
    virtual QVariant objectValueForTableColumn(const QString& identifier, int row) const = 0;
    virtual void setObjectValue(const QVariant& value, const QString& identifier, int row) = 0;
    virtual bool shouldEditTableColumn(const QString& identifier, int row) const = 0;
    virtual CellLook willDisplayCell(const QString& identifier, int row) const = 0;
    // Asked before the user moves the selection; may refuse (and say so).
    virtual bool selectionShouldChangeInTableView() = 0;
    virtual bool shouldSelectRow(int row) const = 0;
    // The actions of the "Ul" and "Dl" check boxes for the row clicked.
    virtual bool toggleUlService(int clickedRow) = 0;
    virtual bool toggleDlService(int clickedRow) = 0;
};

}  // namespace quellbox
