#include "ui/MainTrafficGraph.h"

#include <QCoreApplication>

#include "ui/RateGraph.h"

namespace quellbox {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("MainTrafficGraph", text); }

}  // namespace

MainTrafficGraph::MainTrafficGraph(RateGraph& graph, std::function<float()> cap)
    : graph_(graph), cap_(std::move(cap)) {
    replot();
}

void MainTrafficGraph::add(const TrafficRates::Rates& rates) {
    history_.add(rates);
    replot();
}

void MainTrafficGraph::replot() {
    RateGraph::Plot plot;
    plot.title = tr("Capped services, last %1 min").arg(TrafficHistory::kMinutes);
    plot.lines = {{tr("upload (paced)"), QPalette::Highlight, history_.pacedUpload()},
                  {tr("download"), QPalette::LinkVisited, history_.download()},
                  {tr("acknowledgements"), QPalette::Link, history_.acks()}};
    plot.span = TrafficHistory::kSamples;
    const float cap = cap_();
    if (cap > 0.0F) {
        plot.cap = cap;
    }
    graph_.plot(std::move(plot));
}

}  // namespace quellbox
