#pragma once

#include <QAbstractTableModel>
#include <QStringList>

namespace quellbox {

class TableDataSource;

// The Qt model of the services table: the columns "Ul", "Dl", "Service" and "Port", each
// question passed to the controller (TableDataSource). A click on a check box runs the
// column's action; an edited name or port goes to setObjectValue.
class ServicesTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit ServicesTableModel(TableDataSource& dataSource, QObject* parent = nullptr);

    // The column identifiers, in column order.
    static const QStringList& identifiers();
    static int columnWithIdentifier(const QString& identifier);

    // Shows the controller's current rows and values again.
    void reloadData();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    static bool isCheckBoxColumn(int column);

    TableDataSource& dataSource_;
    int shownRows_ = 0;
};

}  // namespace quellbox
