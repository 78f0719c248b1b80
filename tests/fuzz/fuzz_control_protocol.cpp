// The engine's side of the control connection: any bytes from the window, read as a stream
// of messages by the engine's server over a socket pair, with an engine and Priority Mode that
// only record what they are asked. The server must answer or end the connection, never crash,
// hang or read past a message; every message it accepts must encode to bytes that decode to it.
#include <sys/socket.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "RecordingEngineControls.h"
#include "control/ControlCodec.h"
#include "control/EngineServer.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadRunLoop.h"
#include "prioritymode/PriorityModeControls.h"
#include "settings/Preferences.h"

namespace {

using namespace quellbox;

class RecordingPriorityMode : public PriorityModeControls {
public:
    void activate(bool on) override { on_ = on; }
    bool isActivated() const override { return on_; }
    ClientSnapshot clientSnapshot() override {
        ClientSnapshot snapshot;
        snapshot.rows.push_back({1, "0.0.0.1", "name", "login", "service", 5, 1.0, 2.0, 3.0F});
        return snapshot;
    }
    bool setClientPriority(std::uint32_t ip, std::int32_t) override { return ip == 1; }
    bool makeDefaultForLogin(std::uint32_t ip) override { return ip == 1; }
    void reloadDefaultPriorities() override {}

private:
    bool on_ = false;
};

// Every whole message in the bytes decodes, and what decodes encodes back to the same bytes.
void checkRoundTrips(const std::uint8_t* data, std::size_t size) {
    while (size >= control::ControlCodec::kHeaderBytes) {
        std::string error;
        const auto length = control::ControlCodec::bodyLength(data, error);
        if (!length || *length > size - control::ControlCodec::kHeaderBytes) {
            return;
        }
        const std::uint8_t* body = data + control::ControlCodec::kHeaderBytes;
        if (const auto message = control::ControlCodec::decode(body, *length, error)) {
            // Compared as bytes: a NaN rate is not equal to itself, yet must travel unchanged.
            const auto again = control::ControlCodec::encode(*message);
            std::string againError;
            const auto decoded = control::ControlCodec::decode(
                again.data() + control::ControlCodec::kHeaderBytes,
                again.size() - control::ControlCodec::kHeaderBytes, againError);
            if (!decoded || control::ControlCodec::encode(*decoded) != again) {
                __builtin_trap();
            }
        } else if (error.empty()) {
            __builtin_trap();  // a refusal always says why
        }
        data = body + *length;
        size -= control::ControlCodec::kHeaderBytes + *length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto& world = fuzzing::FuzzWorld::instance();
    static auto* runLoop = [] {
        auto* loop = new ThreadRunLoop();
        loop->start();
        return loop;
    }();
    static testing::RecordingEngineControls engine;
    static RecordingPriorityMode priorityMode;
    static NotificationCenter notifications;
    checkRoundTrips(data, size);

    // The window's end takes the input and closes; the server reads until the end or the
    // first message it refuses. The answers stay unread in the window's end.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return 0;
    }
    if (size > 0 && ::send(ends[0], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        __builtin_trap();  // the input is smaller than a socket's buffer
    }
    ::shutdown(ends[0], SHUT_WR);
    const auto preferences = world.freshPreferences();
    {
        control::EngineServer server(
            control::EngineServer::Collaborators{ends[1],
                                                 engine,
                                                 priorityMode,
                                                 *preferences,
                                                 notifications,
                                                 *runLoop,
                                                 control::HelloReply{"sim", "", "", {}, {}},
                                                 {}});
        (void)server.serve();
    }
    ::close(ends[0]);
    return 0;
}
