#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "control/TrafficRates.h"
#include "platform/PlistValue.h"
#include "prioritymode/ClientSnapshot.h"

namespace quellbox::control {

// The messages between the desktop window and the engine process. The window sends requests
// and waits for each one's answer; the engine sends events at any time, between answers too.
// The wire form is in ControlCodec.
inline constexpr std::uint8_t kProtocolVersion = 2;

// Window to engine: the first message; the engine answers with HelloReply.
struct Hello {
    std::uint32_t version = kProtocolVersion;
    bool operator==(const Hello&) const = default;
};
// A service of the simulated scenario, capped by the window for the run.
struct ScenarioService {
    std::string name;
    std::int32_t port = 0;
    bool downloadCapped = false;
    bool operator==(const ScenarioService&) const = default;
};
struct HelloReply {
    std::string backendName;
    std::string fallbackReason;   // why the default backend is not the preferred one
    std::string settingsProblem;  // the settings file could not be read
    std::vector<ScenarioService> scenarioServices;
    // The engine's values of the settings both sides read (the simulator points the log
    // reader at its own log, for one), so that a new window starts from the same.
    PlistValue::Dictionary settings;
    bool operator==(const HelloReply&) const = default;
};

// The four service operations; answered with Result.
struct ServiceCall {
    enum class Operation : std::uint8_t { AddUL, RemoveUL, AddDL, RemoveDL };
    Operation operation = Operation::AddUL;
    std::string name;
    std::int32_t port = 0;
    bool operator==(const ServiceCall&) const = default;
};
// The engine's setters and switches; answered with Result.
struct SetDATARate {
    float rate = 0.0F;
    bool operator==(const SetDATARate&) const = default;
};
struct SetACKPause {
    float pause = 0.0F;
    bool operator==(const SetACKPause&) const = default;
};
// The download rate mode on or off, and its rate in KiB/s; answered with Result.
struct SetDownloadRate {
    bool on = false;
    float rate = 0.0F;
    bool operator==(const SetDownloadRate&) const = default;
};
struct SetPriorityFactor {
    std::int32_t factor = 0;
    bool operator==(const SetPriorityFactor&) const = default;
};
struct SetPriorityMode {
    bool on = false;
    bool operator==(const SetPriorityMode&) const = default;
};
// A setting the engine reads (its key is one of EngineSettingKeys); no value: removed.
struct SetSetting {
    std::string key;
    std::optional<PlistValue> value;
    bool operator==(const SetSetting&) const = default;
};
// Priority Mode's clients; answered with SnapshotReply.
struct SnapshotRequest {
    bool operator==(const SnapshotRequest&) const = default;
};
struct SetClientPriority {
    std::uint32_t ip = 0;
    std::int32_t priority = 0;
    bool operator==(const SetClientPriority&) const = default;
};
struct MakeDefaultForLogin {
    std::uint32_t ip = 0;
    bool operator==(const MakeDefaultForLogin&) const = default;
};
struct ReloadDefaultPriorities {
    bool operator==(const ReloadDefaultPriorities&) const = default;
};

// Engine to window: the answer of every request but Hello and SnapshotRequest.
struct Result {
    std::int32_t value = 0;  // 0 or -1 for the engine's operations, 1 or 0 for true or false
    bool operator==(const Result&) const = default;
};
struct SnapshotReply {
    ClientSnapshot snapshot;
    bool operator==(const SnapshotReply&) const = default;
};

// Engine to window, events: the listener calls, the notifications the user must see, and
// the settings the engine changed (the log reader's position, the simulator's log).
struct Gauge {
    enum class Which : std::uint8_t { Data, QueueSize, Ack };
    Which which = Which::Data;
    double value = 0.0;
    bool operator==(const Gauge&) const = default;
};
struct RefreshView {
    bool operator==(const RefreshView&) const = default;
};
struct Notice {
    std::string name;  // "genericIpfwProblemNotification" or "noNetworkNotification"
    std::string title;
    std::string message;
    bool needToQuitAfterAlert = false;
    bool operator==(const Notice&) const = default;
};
struct SettingChanged {
    std::string key;
    std::optional<PlistValue> value;
    bool operator==(const SettingChanged&) const = default;
};
// The engine's byte totals, after the gauges of every tick, for the window's rates.
struct Traffic {
    TrafficTotals totals;
    bool operator==(const Traffic&) const = default;
};

using Message =
    std::variant<Hello, HelloReply, ServiceCall, SetDATARate, SetACKPause, SetPriorityFactor,
                 SetPriorityMode, SetSetting, SnapshotRequest, SetClientPriority,
                 MakeDefaultForLogin, ReloadDefaultPriorities, Result, SnapshotReply, Gauge,
                 RefreshView, Notice, SettingChanged, Traffic, SetDownloadRate>;

// A kind's number on the wire is its place here: new kinds go at the end
// (docs/control-protocol.md lists them).
static_assert(std::variant_size_v<Message> == 20);

// Answers to a request (HelloReply, Result, SnapshotReply).
bool isAnswer(const Message& message);
// Events (Gauge, RefreshView, Notice, SettingChanged, Traffic).
bool isEvent(const Message& message);

}  // namespace quellbox::control
