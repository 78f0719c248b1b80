#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/PlistValue.h"

namespace quellbox {

// The Qt model of a table whose data source answers property-list values by column
// identifier and row (the priority drawer's clients, the default priorities). It only passes
// the view's questions on; the data source keeps every rule. Like a table view that reloads,
// it keeps the selected row's index while rows come and go at the end.
class PlistTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    struct Column {
        std::string identifier;
        QString title;
    };
    // The data source's operations; the editing ones may be left empty (cells read only).
    struct Source {
        std::function<int()> numberOfRows;
        std::function<std::optional<PlistValue>(const std::string& identifier, int row)>
            objectValue;
        std::function<void(const PlistValue& value, const std::string& identifier, int row)>
            setObjectValue;
        // Whether a cell takes input, and whether it is drawn in the disabled text colour.
        std::function<bool(const std::string& identifier, int row)> editable;
        std::function<bool(const std::string& identifier, int row)> greyed;
    };

    PlistTableModel(std::vector<Column> columns, QObject* parent = nullptr);

    // A new data source (or none), shown at once.
    void setSource(std::optional<Source> source);
    // Shows the data source's current rows and values again.
    void reloadData();
    const std::string& identifier(int column) const;
    int columnWithIdentifier(const std::string& identifier) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    int sourceRows() const;
    bool holds(const QModelIndex& index) const;

    std::vector<Column> columns_;
    std::optional<Source> source_;
    int shownRows_ = 0;
};

}  // namespace quellbox
