#pragma once

namespace quellbox {

// What the engine tells the windows: the client tables changed, and on every gauge tick the
// last DATA packet size, the priority queue's length and the last acknowledgement size.
// Calls come from the main run loop and from the engine's own threads.
class TrafficListener {
public:
    virtual ~TrafficListener() = default;
    virtual void refreshView() = 0;
    virtual void dataReceived(double bytes) = 0;
    virtual void queueSizeChanged(double packets) = 0;
    virtual void ackReceived(double bytes) = 0;
};

}  // namespace quellbox
