#include "ui/ServicesTableModel.h"

#include <QApplication>
#include <QPalette>

#include "ui/TableDataSource.h"

namespace quellbox {

ServicesTableModel::ServicesTableModel(TableDataSource& dataSource, QObject* parent)
    : QAbstractTableModel(parent),
      dataSource_(dataSource),
      shownRows_(std::max(0, dataSource.numberOfRowsInTableView())) {}

const QStringList& ServicesTableModel::identifiers() {
    static const QStringList columns{"Ul", "Dl", "Service", "Port"};
    return columns;
}

int ServicesTableModel::columnWithIdentifier(const QString& identifier) {
    return static_cast<int>(identifiers().indexOf(identifier));
}

bool ServicesTableModel::isCheckBoxColumn(int column) { return column == 0 || column == 1; }

void ServicesTableModel::reloadData() {
    const int rows = std::max(0, dataSource_.numberOfRowsInTableView());
    if (rows != shownRows_) {
        beginResetModel();
        shownRows_ = rows;
        endResetModel();
    } else if (rows > 0) {
        emit dataChanged(index(0, 0), index(rows - 1, columnCount() - 1));
    }
}

int ServicesTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int ServicesTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(identifiers().size());
}

QVariant ServicesTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_) {
        return {};
    }
    const QString& identifier = identifiers().at(index.column());
    if (isCheckBoxColumn(index.column())) {
        if (role != Qt::CheckStateRole) {
            return {};
        }
        const QVariant value = dataSource_.objectValueForTableColumn(identifier, index.row());
        return value.toBool() ? Qt::Checked : Qt::Unchecked;
    }
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return dataSource_.objectValueForTableColumn(identifier, index.row());
        case Qt::ForegroundRole:
            if (dataSource_.willDisplayCell(identifier, index.row()).disabledTextColor) {
                return QApplication::palette().brush(QPalette::Disabled, QPalette::Text);
            }
            return {};
        default:
            return {};
    }
}

bool ServicesTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= shownRows_) {
        return false;
    }
    const int row = index.row();
    if (isCheckBoxColumn(index.column())) {
        if (role != Qt::CheckStateRole) {
            return false;
        }
        const bool changed = index.column() == 0 ? dataSource_.toggleUlService(row)
                                                 : dataSource_.toggleDlService(row);
        reloadData();
        return changed;
    }
    if (role != Qt::EditRole) {
        return false;
    }
    dataSource_.setObjectValue(value, identifiers().at(index.column()), row);
    reloadData();
    return true;
}

Qt::ItemFlags ServicesTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.row() >= shownRows_) {
        return Qt::NoItemFlags;
    }
    const QString& identifier = identifiers().at(index.column());
    const TableDataSource::CellLook look = dataSource_.willDisplayCell(identifier, index.row());
    Qt::ItemFlags flags = Qt::ItemIsSelectable;
    if (look.enabled) {
        flags |= Qt::ItemIsEnabled;
    }
    if (isCheckBoxColumn(index.column())) {
        flags |= Qt::ItemIsUserCheckable;
    } else if (look.editable && dataSource_.shouldEditTableColumn(identifier, index.row())) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

QVariant ServicesTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(identifiers().size())) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    return identifiers().at(section);
}

}  // namespace quellbox
