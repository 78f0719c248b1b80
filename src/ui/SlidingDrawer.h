#pragma once

#include <QFrame>
#include <QPointer>

class QPropertyAnimation;

namespace quellbox {

// A panel at the side of a window that slides out and back in. Its contents keep their full
// width while the panel's visible width moves between 0 and that width, so that they are
// uncovered rather than squeezed; the window grows by the width the panel takes and gives
// it back when the panel closes. A toggle while the panel slides changes nothing.
class SlidingDrawer : public QFrame {
    Q_OBJECT
    Q_PROPERTY(int revealedWidth READ revealedWidth WRITE setRevealedWidth)

public:
    enum class State { Closed, Opening, Open, Closing };

    explicit SlidingDrawer(QWidget* parent = nullptr);

    // The widget shown inside; the drawer takes it over.
    void setContents(QWidget* contents);
    State state() const { return state_; }
    // Starts sliding out (only when closed) or in (only when open).
    void open();
    void close();
    // The length of one slide, in milliseconds.
    void setSlideDuration(int milliseconds);

    int revealedWidth() const { return revealedWidth_; }
    void setRevealedWidth(int width);

signals:
    void stateChanged(quellbox::SlidingDrawer::State state);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int fullWidth() const;
    void slideTo(int width, State during);
    void setState(State state);

    QPointer<QWidget> contents_;
    QPropertyAnimation* animation_;
    State state_ = State::Closed;
    int revealedWidth_ = 0;
};

}  // namespace quellbox
