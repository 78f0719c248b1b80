#include "ui/RateGraph.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace quellbox {

namespace {

constexpr float kKiBPerMiB = 1024.0F;

}  // namespace

RateGraph::RateGraph(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMinimumHeight(70);
}

QSize RateGraph::sizeHint() const { return {300, 80}; }

void RateGraph::addSamples(const std::map<std::uint32_t, float>& rates) {
    std::erase_if(histories_, [&rates](const auto& entry) { return !rates.contains(entry.first); });
    for (const auto& [ip, rate] : rates) {
        auto& history = histories_[ip];
        // A rate from a window of no length may be infinite or not a number: drawn as 0.
        history.push_back(std::isfinite(rate) && rate > 0.0F ? rate : 0.0F);
        while (history.size() > kMaxSamples) {
            history.pop_front();
        }
    }
    update();
}

void RateGraph::showClient(std::uint32_t ip) {
    hasClient_ = true;
    client_ = ip;
    update();
}

void RateGraph::showNoClient() {
    hasClient_ = false;
    update();
}

std::vector<float> RateGraph::shownSamples() const {
    if (!hasClient_) {
        return {};
    }
    const auto found = histories_.find(client_);
    return found == histories_.end()
               ? std::vector<float>{}
               : std::vector<float>(found->second.begin(), found->second.end());
}

void RateGraph::plot(Plot plot) {
    plot_ = std::move(plot);
    update();
}

RateGraph::Plot RateGraph::currentPlot() const {
    if (plot_) {
        return *plot_;
    }
    Plot plot;
    plot.title = hasClient_ ? tr("Upload rate, last %1 min").arg(kMaxSamples * 2 / 60)
                            : tr("Select a client to see its upload rate");
    if (hasClient_) {
        plot.lines.push_back({tr("upload"), QPalette::Highlight, shownSamples()});
    }
    return plot;
}

void RateGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(4, 16, -4, -4);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area);

    const Plot plot = currentPlot();
    float highest = plot.cap.value_or(0.0F);
    for (const Line& line : plot.lines) {
        for (const float sample : line.samples) {
            highest = std::max(highest, sample);
        }
    }
    // The axis in MiB/s once the values reach one.
    const bool inMiB = highest >= kKiBPerMiB;
    const QString unit = inMiB ? tr("MiB/s") : tr("KiB/s");
    const double top = inMiB ? highest / kKiBPerMiB : highest;
    QString caption = plot.title;
    if (!plot.lines.empty()) {
        caption += tr(" (axis to %1 %2)").arg(top, 0, 'f', 1).arg(unit);
    }
    drawCaption(painter, caption, plot.lines);

    const double scale = highest > 0.0F ? area.height() / static_cast<double>(highest) : 0.0;
    if (plot.cap && *plot.cap > 0.0F) {
        const double y = area.bottom() - static_cast<double>(*plot.cap) * scale;
        painter.setPen(QPen(palette().color(QPalette::PlaceholderText), 1.0, Qt::DashLine));
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
    }
    for (const Line& line : plot.lines) {
        drawLine(painter, area, line, plot.span, scale);
    }
}

void RateGraph::drawCaption(QPainter& painter, const QString& caption,
                            const std::vector<Line>& lines) const {
    // The lines' names in their own colours, so that the caption tells the lines apart.
    const QFontMetricsF metrics(font());
    QRectF room(4, 0, width() - 8, 16);
    const auto write = [&](const QString& text, QPalette::ColorRole colour) {
        painter.setPen(palette().color(colour));
        painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter, text);
        room.setLeft(room.left() + metrics.horizontalAdvance(text));
    };
    write(caption, QPalette::Text);
    for (const Line& line : lines) {
        write("  " + line.name, line.colour);
    }
}

void RateGraph::drawLine(QPainter& painter, const QRectF& area, const Line& line, std::size_t span,
                         double scale) const {
    const std::vector<float>& samples = line.samples;
    if (samples.size() < 2 || span < 2) {
        return;
    }
    // The newest sample at the right edge; a full history spans the width.
    const double step = area.width() / static_cast<double>(span - 1);
    QPainterPath path;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double x = area.right() - step * static_cast<double>(samples.size() - 1 - i);
        const double y = area.bottom() - static_cast<double>(samples[i]) * scale;
        if (i == 0) {
            path.moveTo(x, y);
        } else {
            path.lineTo(x, y);
        }
    }
    painter.setPen(QPen(palette().color(line.colour), 1.5));
    painter.drawPath(path);
}

}  // namespace quellbox
