#pragma once

#include <QObject>
#include <QPointer>

#include "engine/TrafficListener.h"

namespace quellbox {

class RunLoop;

// The engine's share of a window's listener. The engine calls it on the main run loop and
// on its own threads; each event is handed to the GUI thread and passed on there to the
// window's listener, unless that has gone in the meantime.
class MainThreadTrafficListener : public TrafficListener {
public:
    // `target` must be a QObject that is a TrafficListener; `runLoop` the GUI's.
    template <typename Target>
    MainThreadTrafficListener(Target& target, RunLoop& runLoop)
        : object_(&target), listener_(&target), runLoop_(runLoop) {}

    void refreshView() override;
    void dataReceived(double bytes) override;
    void queueSizeChanged(double packets) override;
    void ackReceived(double bytes) override;

private:
    template <typename Call>
    void deliver(Call call);

    QPointer<QObject> object_;   // copied anywhere, tested on the GUI thread only
    TrafficListener* listener_;  // the same object
    RunLoop& runLoop_;
};

}  // namespace quellbox
