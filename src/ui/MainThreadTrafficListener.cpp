#include "ui/MainThreadTrafficListener.h"

#include "platform/RunLoop.h"

namespace quellbox {

template <typename Call>
void MainThreadTrafficListener::deliver(Call call) {
    auto work = [object = object_, listener = listener_, call] {
        if (object) {
            call(*listener);
        }
    };
    if (runLoop_.isMainThread()) {
        work();
    } else {
        runLoop_.performOnMainThread(work, false);
    }
}

void MainThreadTrafficListener::refreshView() {
    deliver([](TrafficListener& listener) { listener.refreshView(); });
}

void MainThreadTrafficListener::dataReceived(double bytes) {
    deliver([bytes](TrafficListener& listener) { listener.dataReceived(bytes); });
}

void MainThreadTrafficListener::queueSizeChanged(double packets) {
    deliver([packets](TrafficListener& listener) { listener.queueSizeChanged(packets); });
}

void MainThreadTrafficListener::ackReceived(double bytes) {
    deliver([bytes](TrafficListener& listener) { listener.ackReceived(bytes); });
}

}  // namespace quellbox
