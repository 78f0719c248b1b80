#include "ui/SlidingDrawer.h"

#include <QCoreApplication>
#include <QPropertyAnimation>
#include <QResizeEvent>
#include <algorithm>

namespace quellbox {

namespace {
constexpr int kDefaultSlideMilliseconds = 250;
}

SlidingDrawer::SlidingDrawer(QWidget* parent)
    : QFrame(parent), animation_(new QPropertyAnimation(this, "revealedWidth", this)) {
    setFrameShape(QFrame::StyledPanel);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setFixedWidth(0);
    hide();
    animation_->setDuration(kDefaultSlideMilliseconds);
    animation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(animation_, &QPropertyAnimation::finished, this, [this] {
        if (state_ == State::Opening) {
            setState(State::Open);
        } else if (state_ == State::Closing) {
            hide();
            setState(State::Closed);
        }
    });
}

void SlidingDrawer::setContents(QWidget* contents) {
    contents_ = contents;
    contents->setParent(this);
    contents->move(0, 0);
    contents->resize(fullWidth(), height());
    contents->show();
}

void SlidingDrawer::setSlideDuration(int milliseconds) { animation_->setDuration(milliseconds); }

int SlidingDrawer::fullWidth() const {
    return contents_ ? std::max({contents_->minimumWidth(), contents_->minimumSizeHint().width(),
                                 contents_->sizeHint().width()})
                     : 0;
}

void SlidingDrawer::open() {
    if (state_ != State::Closed) {
        return;
    }
    show();
    slideTo(fullWidth(), State::Opening);
}

void SlidingDrawer::close() {
    if (state_ != State::Open) {
        return;
    }
    slideTo(0, State::Closing);
}

void SlidingDrawer::slideTo(int width, State during) {
    setState(during);
    animation_->stop();
    animation_->setStartValue(revealedWidth_);
    animation_->setEndValue(width);
    animation_->start();
}

void SlidingDrawer::setRevealedWidth(int width) {
    const int change = width - revealedWidth_;
    revealedWidth_ = width;
    QWidget* window = this->window();
    // The window grows first so that the panel's new minimum never squeezes the rest.
    if (window != this && change > 0 && !window->isMaximized() && !window->isFullScreen()) {
        window->resize(window->width() + change, window->height());
    }
    setFixedWidth(width);
    if (window != this && change < 0) {
        // The window's minimum must follow the panel before the window shrinks: the layouts
        // between the panel and the window take their pending requests now, one level per
        // pass, instead of at the next turn of the event loop.
        for (QWidget* level = parentWidget(); level != nullptr;
             level = level->isWindow() ? nullptr : level->parentWidget()) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        }
    }
    if (window != this && change < 0 && !window->isMaximized() && !window->isFullScreen()) {
        window->resize(window->width() + change, window->height());
    }
}

void SlidingDrawer::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    if (contents_) {
        contents_->resize(fullWidth(), event->size().height());
    }
}

void SlidingDrawer::setState(State state) {
    state_ = state;
    emit stateChanged(state);
}

}  // namespace quellbox
