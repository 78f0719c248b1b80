#include "ui/RateGraph.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace quellbox {

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

void RateGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(4, 16, -4, -4);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area);

    const std::vector<float> samples = shownSamples();
    const float highest =
        samples.empty() ? 0.0F : *std::max_element(samples.begin(), samples.end());
    painter.setPen(palette().color(QPalette::Text));
    const QString caption = !hasClient_ ? tr("Select a client to see its upload rate")
                                        : tr("Upload rate, last %1 min (peak %2 KB/s)")
                                              .arg(kMaxSamples * 2 / 60)
                                              .arg(static_cast<double>(highest), 0, 'f', 1);
    painter.drawText(QRectF(4, 0, width() - 8, 16), Qt::AlignLeft | Qt::AlignVCenter, caption);
    if (samples.size() < 2) {
        return;
    }
    // The newest sample at the right edge; the full history spans the width.
    const double step = area.width() / static_cast<double>(kMaxSamples - 1);
    const double scale = highest > 0.0F ? area.height() / static_cast<double>(highest) : 0.0;
    QPainterPath line;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double x = area.right() - step * static_cast<double>(samples.size() - 1 - i);
        const double y = area.bottom() - static_cast<double>(samples[i]) * scale;
        if (i == 0) {
            line.moveTo(x, y);
        } else {
            line.lineTo(x, y);
        }
    }
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
    painter.drawPath(line);
}

}  // namespace quellbox
