#pragma once

#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace quellbox {

// A small live graph of one client's upload rate: a polyline over the last samples (one per
// refresh of the priority drawer), scaled to the highest sample shown. It keeps the recent
// samples of every client it is given, so that selecting another client shows that client's
// last minutes at once; each history is bounded, and clients that leave are forgotten.
class RateGraph : public QWidget {
    Q_OBJECT

public:
    // Samples kept per client: at one sample every 2 s, four minutes.
    static constexpr std::size_t kMaxSamples = 120;

    explicit RateGraph(QWidget* parent = nullptr);

    // One sample (KB/s) of every client listed now, by IP number; a client not listed loses
    // its history.
    void addSamples(const std::map<std::uint32_t, float>& rates);
    // The client whose history is drawn; none when nothing is selected.
    void showClient(std::uint32_t ip);
    void showNoClient();
    // The history drawn, oldest first (empty when none).
    std::vector<float> shownSamples() const;
    std::size_t clientsKept() const { return histories_.size(); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::map<std::uint32_t, std::deque<float>> histories_;
    bool hasClient_ = false;
    std::uint32_t client_ = 0;
};

}  // namespace quellbox
