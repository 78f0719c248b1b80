#include "ui/ScheduleController.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QTimeEdit>
#include <algorithm>

#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui_PreferencesWindow.h"

namespace quellbox {

namespace {

constexpr int kColumns = ScheduleController::DownloadValue + 1;
const char* const kDayLetters[] = {"M", "T", "W", "T", "F", "S", "S"};
const char* const kDayNames[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                 "Friday", "Saturday", "Sunday"};

QTime timeOfMinute(int minute) { return QTime(minute / 60, minute % 60); }

int minuteOfTime(const QTime& time) { return time.hour() * 60 + time.minute(); }

// A new row: weeknights from ten to seven at the window's upload rate.
SchedulePeriod newPeriod(float windowRate) {
    SchedulePeriod period;
    period.name = "Weeknights";
    period.days = 0x1F;
    period.startMinute = 22 * 60;
    period.endMinute = 7 * 60;
    period.uploadRate =
        std::clamp(windowRate, static_cast<float>(SchedulePeriod::kLowestUploadRate),
                   static_cast<float>(SchedulePeriod::kHighestRate));
    return period;
}

void setValueRange(QDoubleSpinBox& box, SchedulePeriod::Download kind) {
    if (kind == SchedulePeriod::Download::Pause) {
        box.setRange(0.0, SchedulePeriod::kLongestPause);
        box.setDecimals(0);
        box.setSuffix(" µs");
    } else {
        box.setRange(SchedulePeriod::kLowestUploadRate, SchedulePeriod::kHighestRate);
        box.setDecimals(1);
        box.setSuffix(" KiB/s");
    }
    box.setEnabled(kind != SchedulePeriod::Download::None);
}

}  // namespace

ScheduleController::ScheduleController(Ui::QuellboxPreferencesWindow& ui, Preferences& preferences,
                                       Edited edited)
    : preferences_(preferences),
      edited_(std::move(edited)),
      scheduleTable(ui.scheduleTable),
      addPeriodButton(ui.addPeriodButton),
      removePeriodButton(ui.removePeriodButton) {
    scheduleTable->setColumnCount(kColumns);
    QStringList headers{tr("Name")};
    for (int day = 0; day < 7; ++day) {
        headers << tr(kDayLetters[day]);
    }
    headers << tr("Start") << tr("End") << tr("Upload") << tr("Download") << tr("Rate or pause");
    scheduleTable->setHorizontalHeaderLabels(headers);
    for (int day = 0; day < 7; ++day) {
        scheduleTable->horizontalHeaderItem(FirstDay + day)->setToolTip(tr(kDayNames[day]));
        scheduleTable->horizontalHeader()->setSectionResizeMode(FirstDay + day,
                                                                QHeaderView::ResizeToContents);
    }
    scheduleTable->verticalHeader()->hide();

    connect(addPeriodButton, &QPushButton::clicked, this, [this] { addPeriod(); });
    connect(removePeriodButton, &QPushButton::clicked, this, [this] { removePeriod(); });
    connect(scheduleTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (filling_) {
            return;
        }
        if (item->column() != Name) {
            dayToggled(item->row(), item->column());
        }
        store();
    });
}

void ScheduleController::awakeFromNib() {
    filling_ = true;
    scheduleTable->setRowCount(0);
    // Kept in a local: a range over the member of a temporary would outlive the temporary.
    const RateSchedule stored = RateSchedule::fromPreferences(preferences_);
    for (const SchedulePeriod& period : stored.periods()) {
        addRow(period);
    }
    filling_ = false;
}

void ScheduleController::addPeriod() {
    filling_ = true;
    addRow(newPeriod(preferences_.floatForKey(keys::DATARate)));
    filling_ = false;
    scheduleTable->selectRow(scheduleTable->rowCount() - 1);
    store();
}

void ScheduleController::removePeriod() {
    const QModelIndexList selected = scheduleTable->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;
    }
    scheduleTable->removeRow(selected.first().row());
    store();
}

void ScheduleController::addRow(const SchedulePeriod& period) {
    const int row = scheduleTable->rowCount();
    scheduleTable->insertRow(row);
    scheduleTable->setItem(row, Name, new QTableWidgetItem(QString::fromStdString(period.name)));
    for (int day = 0; day < 7; ++day) {
        auto* box = new QTableWidgetItem;
        box->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        box->setCheckState(period.runsOn(day) ? Qt::Checked : Qt::Unchecked);
        scheduleTable->setItem(row, FirstDay + day, box);
    }
    for (const auto& [column, minute] :
         {std::pair{int{Start}, period.startMinute}, std::pair{int{End}, period.endMinute}}) {
        auto* edit = new QTimeEdit(timeOfMinute(minute));
        edit->setDisplayFormat("HH:mm");
        connect(edit, &QTimeEdit::timeChanged, this, [this] { store(); });
        scheduleTable->setCellWidget(row, column, edit);
    }
    auto* upload = new QDoubleSpinBox;
    setValueRange(*upload, SchedulePeriod::Download::Rate);
    upload->setValue(period.uploadRate);
    upload->setKeyboardTracking(false);
    connect(upload, &QDoubleSpinBox::valueChanged, this, [this] { store(); });
    scheduleTable->setCellWidget(row, Upload, upload);

    auto* kind = new QComboBox;
    kind->addItems({tr("Window's"), tr("Rate"), tr("Pause")});
    kind->setCurrentIndex(static_cast<int>(period.download));
    scheduleTable->setCellWidget(row, DownloadKind, kind);
    auto* value = new QDoubleSpinBox;
    value->setKeyboardTracking(false);
    setValueRange(*value, period.download);
    value->setValue(period.downloadValue);
    connect(value, &QDoubleSpinBox::valueChanged, this, [this] { store(); });
    scheduleTable->setCellWidget(row, DownloadValue, value);
    connect(kind, &QComboBox::currentIndexChanged, this,
            [this, kind] { downloadKindChanged(rowOf(kind, DownloadKind)); });
}

int ScheduleController::rowOf(const QWidget* editor, int column) const {
    for (int row = 0; row < scheduleTable->rowCount(); ++row) {
        if (scheduleTable->cellWidget(row, column) == editor) {
            return row;
        }
    }
    return -1;
}

// A period runs on one day at least: unticking a row's last day is refused.
void ScheduleController::dayToggled(int row, int column) {
    if (scheduleTable->item(row, column)->checkState() == Qt::Checked) {
        return;
    }
    for (int day = 0; day < 7; ++day) {
        if (scheduleTable->item(row, FirstDay + day)->checkState() == Qt::Checked) {
            return;
        }
    }
    QApplication::beep();
    const QSignalBlocker quiet(scheduleTable);
    scheduleTable->item(row, column)->setCheckState(Qt::Checked);
}

void ScheduleController::downloadKindChanged(int row) {
    if (row < 0) {
        return;
    }
    auto* kind = static_cast<QComboBox*>(scheduleTable->cellWidget(row, DownloadKind));
    auto* value = static_cast<QDoubleSpinBox*>(scheduleTable->cellWidget(row, DownloadValue));
    {
        // The value is taken once its editor has the new kind's range.
        const QSignalBlocker quiet(value);
        setValueRange(*value, static_cast<SchedulePeriod::Download>(kind->currentIndex()));
    }
    store();
}

RateSchedule ScheduleController::tableSchedule() const {
    std::vector<SchedulePeriod> periods;
    for (int row = 0; row < scheduleTable->rowCount(); ++row) {
        SchedulePeriod period;
        period.name = scheduleTable->item(row, Name)->text().toStdString();
        for (int day = 0; day < 7; ++day) {
            if (scheduleTable->item(row, FirstDay + day)->checkState() == Qt::Checked) {
                period.days |= static_cast<std::uint8_t>(1U << day);
            }
        }
        const auto time = [&](int column) {
            return minuteOfTime(
                static_cast<QTimeEdit*>(scheduleTable->cellWidget(row, column))->time());
        };
        const auto number = [&](int column) {
            return static_cast<float>(
                static_cast<QDoubleSpinBox*>(scheduleTable->cellWidget(row, column))->value());
        };
        period.startMinute = time(Start);
        period.endMinute = time(End);
        period.uploadRate = number(Upload);
        period.download = static_cast<SchedulePeriod::Download>(
            static_cast<QComboBox*>(scheduleTable->cellWidget(row, DownloadKind))->currentIndex());
        period.downloadValue =
            period.download == SchedulePeriod::Download::None ? 0.0F : number(DownloadValue);
        periods.push_back(std::move(period));
    }
    return RateSchedule(std::move(periods));
}

void ScheduleController::store() {
    const RateSchedule schedule = tableSchedule();
    preferences_.setObject(schedule.toPlist(), keys::rateSchedule);
    edited_(schedule);
}

}  // namespace quellbox
