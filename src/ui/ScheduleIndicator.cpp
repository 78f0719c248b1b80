#include "ui/ScheduleIndicator.h"

#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/ScheduledRates.h"

namespace quellbox {

namespace {
constexpr std::chrono::seconds kLongestWait(60);
}

ScheduleIndicator::ScheduleIndicator(QVBoxLayout& layout, int position, ScheduledRates& rates,
                                     RateSchedule::Clock clock)
    : rates_(rates), clock_(std::move(clock)), label_(new QLabel) {
    label_->setTextFormat(Qt::PlainText);
    label_->setObjectName("scheduleLabel");
    label_->hide();
    layout.insertWidget(position, label_);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
}

void ScheduleIndicator::setSchedule(RateSchedule schedule) {
    rates_.setSchedule(std::move(schedule));
    refresh();
}

void ScheduleIndicator::refresh() {
    const LocalWeekTime now = clock_();
    const auto period = rates_.update(now);
    label_->setText(period ? QString::fromStdString(RateSchedule::describe(*period)) : QString());
    label_->setVisible(period.has_value());
    if (const auto wait = rates_.nextChangeAfter(now)) {
        timer_.start(std::min(*wait, kLongestWait));
    } else {
        timer_.stop();
    }
}

}  // namespace quellbox
