#pragma once

#include <QPalette>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace quellbox {

// A small live graph of rates (KiB/s): polylines over the last samples, newest at the right,
// scaled to the highest value shown (or the cap line when higher), the axis in KiB/s or, for
// values of a MiB/s and more, in MiB/s.
//
// Two uses. The priority drawer hands it one sample of every listed client per refresh and
// picks the client drawn; it keeps each client's recent samples, so that selecting another
// client shows that client's last minutes at once (bounded; clients that leave are
// forgotten). The main window plots lines it keeps itself (the traffic of the capped
// services) with the upload cap drawn across.
class RateGraph : public QWidget {
    Q_OBJECT

public:
    // Samples kept per client: at one sample every 2 s, four minutes.
    static constexpr std::size_t kMaxSamples = 120;

    struct Line {
        QString name;
        QPalette::ColorRole colour = QPalette::Highlight;
        std::vector<float> samples;  // KiB/s, oldest first
    };
    struct Plot {
        QString title;
        std::vector<Line> lines;
        std::size_t span = kMaxSamples;  // samples across the whole width
        std::optional<float> cap;        // KiB/s, drawn as a dashed line
    };

    explicit RateGraph(QWidget* parent = nullptr);

    // The drawer's clients: one sample (KB/s) of every client listed now, by IP number; a
    // client not listed loses its history.
    void addSamples(const std::map<std::uint32_t, float>& rates);
    // The client whose history is drawn; none when nothing is selected.
    void showClient(std::uint32_t ip);
    void showNoClient();
    // The history drawn, oldest first (empty when none).
    std::vector<float> shownSamples() const;
    std::size_t clientsKept() const { return histories_.size(); }

    // Lines kept by the caller, drawn in place of a client's history.
    void plot(Plot plot);
    // What is drawn now.
    Plot currentPlot() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawCaption(QPainter& painter, const QString& caption,
                     const std::vector<Line>& lines) const;
    void drawLine(QPainter& painter, const QRectF& area, const Line& line, std::size_t span,
                  double scale) const;

    std::map<std::uint32_t, std::deque<float>> histories_;
    bool hasClient_ = false;
    std::uint32_t client_ = 0;
    std::optional<Plot> plot_;
};

}  // namespace quellbox
