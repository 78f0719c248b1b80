#include "ui/PlistTableModel.h"

#include <QApplication>
#include <QDateTime>
#include <QPalette>
#include <algorithm>

namespace quellbox {

namespace {

QVariant displayed(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::String:
            return QString::fromStdString(value.asString());
        case PlistValue::Type::Integer:
            return QVariant::fromValue<qlonglong>(value.integerValue());
        case PlistValue::Type::Real:
            // Rates in KB/s: one decimal is what a user reads.
            return QString::number(value.doubleValue(), 'f', 1);
        case PlistValue::Type::Boolean:
            return value.boolValue();
        case PlistValue::Type::Date:
            return QDateTime::fromSecsSinceEpoch(
                std::chrono::duration_cast<std::chrono::seconds>(value.asDate().time_since_epoch())
                    .count());
        default:
            return QString::fromStdString(value.stringValue());
    }
}

PlistValue typed(const QVariant& value) {
    switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            return PlistValue(static_cast<std::int64_t>(value.toLongLong()));
        case QMetaType::Double:
            return PlistValue(value.toDouble());
        case QMetaType::Bool:
            return PlistValue(value.toBool());
        default:
            return PlistValue(value.toString().toStdString());
    }
}

}  // namespace

PlistTableModel::PlistTableModel(std::vector<Column> columns, QObject* parent)
    : QAbstractTableModel(parent), columns_(std::move(columns)) {}

void PlistTableModel::setSource(std::optional<Source> source) {
    beginResetModel();
    source_ = std::move(source);
    shownRows_ = sourceRows();
    endResetModel();
}

int PlistTableModel::sourceRows() const {
    return source_ && source_->numberOfRows ? std::max(0, source_->numberOfRows()) : 0;
}

void PlistTableModel::reloadData() {
    const int rows = sourceRows();
    if (rows > shownRows_) {
        beginInsertRows({}, shownRows_, rows - 1);
        shownRows_ = rows;
        endInsertRows();
    } else if (rows < shownRows_) {
        beginRemoveRows({}, rows, shownRows_ - 1);
        shownRows_ = rows;
        endRemoveRows();
    }
    if (rows > 0) {
        emit dataChanged(index(0, 0), index(rows - 1, columnCount() - 1));
    }
}

const std::string& PlistTableModel::identifier(int column) const {
    return columns_.at(static_cast<std::size_t>(column)).identifier;
}

int PlistTableModel::columnWithIdentifier(const std::string& identifier) const {
    const auto found = std::find_if(
        columns_.begin(), columns_.end(),
        [&identifier](const Column& column) { return column.identifier == identifier; });
    return found == columns_.end() ? -1 : static_cast<int>(found - columns_.begin());
}

bool PlistTableModel::holds(const QModelIndex& index) const {
    return source_ && index.isValid() && index.row() < shownRows_ && index.column() < columnCount();
}

int PlistTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int PlistTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant PlistTableModel::data(const QModelIndex& index, int role) const {
    if (!holds(index)) {
        return {};
    }
    const std::string& column = identifier(index.column());
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole: {
            const auto value = source_->objectValue(column, index.row());
            return value ? displayed(*value) : QVariant();
        }
        case Qt::ForegroundRole:
            if (source_->greyed && source_->greyed(column, index.row())) {
                return QApplication::palette().brush(QPalette::Disabled, QPalette::Text);
            }
            return {};
        default:
            return {};
    }
}

bool PlistTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!holds(index) || role != Qt::EditRole || !source_->setObjectValue) {
        return false;
    }
    source_->setObjectValue(typed(value), identifier(index.column()), index.row());
    reloadData();
    return true;
}

Qt::ItemFlags PlistTableModel::flags(const QModelIndex& index) const {
    if (!holds(index)) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (source_->setObjectValue && source_->editable &&
        source_->editable(identifier(index.column()), index.row())) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

QVariant PlistTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount()) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    return columns_[static_cast<std::size_t>(section)].title;
}

}  // namespace quellbox
