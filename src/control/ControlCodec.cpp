#include "control/ControlCodec.h"

#include <bit>
#include <chrono>
#include <cstring>
#include <type_traits>

namespace quellbox::control {

namespace {

template <typename T>
inline constexpr bool kAlwaysFalse = false;

enum class ValueTag : std::uint8_t {
    Absent,
    String,
    Integer,
    Real,
    Boolean,
    Date,
    Data,
    Array,
    Dictionary
};

class Writer {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u32(std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    void u64(std::uint64_t value) {
        u32(static_cast<std::uint32_t>(value >> 32));
        u32(static_cast<std::uint32_t>(value));
    }
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }
    void f32(float value) { u32(std::bit_cast<std::uint32_t>(value)); }
    void f64(double value) { u64(std::bit_cast<std::uint64_t>(value)); }
    void boolean(bool value) { u8(value ? 1 : 0); }
    void text(const std::string& value) {
        u32(static_cast<std::uint32_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
    }
    void value(const std::optional<PlistValue>& value) {
        if (!value) {
            u8(static_cast<std::uint8_t>(ValueTag::Absent));
            return;
        }
        plist(*value);
    }
    void plist(const PlistValue& value) {
        switch (value.type()) {
            case PlistValue::Type::String:
                u8(static_cast<std::uint8_t>(ValueTag::String));
                text(value.asString());
                break;
            case PlistValue::Type::Integer:
                u8(static_cast<std::uint8_t>(ValueTag::Integer));
                i64(value.integerValue());
                break;
            case PlistValue::Type::Real:
                u8(static_cast<std::uint8_t>(ValueTag::Real));
                f64(value.doubleValue());
                break;
            case PlistValue::Type::Boolean:
                u8(static_cast<std::uint8_t>(ValueTag::Boolean));
                boolean(value.boolValue());
                break;
            case PlistValue::Type::Date:
                u8(static_cast<std::uint8_t>(ValueTag::Date));
                i64(std::chrono::duration_cast<std::chrono::microseconds>(
                        value.asDate().time_since_epoch())
                        .count());
                break;
            case PlistValue::Type::Data:
                u8(static_cast<std::uint8_t>(ValueTag::Data));
                u32(static_cast<std::uint32_t>(value.asData().size()));
                bytes_.insert(bytes_.end(), value.asData().begin(), value.asData().end());
                break;
            case PlistValue::Type::Array:
                u8(static_cast<std::uint8_t>(ValueTag::Array));
                u32(static_cast<std::uint32_t>(value.asArray().size()));
                for (const auto& item : value.asArray()) {
                    plist(item);
                }
                break;
            case PlistValue::Type::Dictionary:
                u8(static_cast<std::uint8_t>(ValueTag::Dictionary));
                u32(static_cast<std::uint32_t>(value.asDictionary().size()));
                for (const auto& [key, item] : value.asDictionary()) {
                    text(key);
                    plist(item);
                }
                break;
        }
    }

    std::vector<std::uint8_t> frame() && {
        const auto length = static_cast<std::uint32_t>(bytes_.size() - ControlCodec::kHeaderBytes);
        for (std::size_t i = 0; i < ControlCodec::kHeaderBytes; ++i) {
            bytes_[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
        }
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_ = std::vector<std::uint8_t>(ControlCodec::kHeaderBytes);
};

constexpr std::int64_t kMaxDateMicros =
    std::chrono::duration_cast<std::chrono::microseconds>(PlistValue::Date::duration::max())
        .count() -
    1;

// Reads fields off a body; the first shortfall sets `failed` and every later read answers
// zeros, so a decoder reads on and checks once at the end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool failed() const { return failed_; }
    bool atEnd() const { return position_ == size_; }
    void fail() { failed_ = true; }

    std::uint8_t u8() {
        const std::uint8_t* byte = take(1);
        return byte == nullptr ? 0 : *byte;
    }
    std::uint32_t u32() {
        const std::uint8_t* bytes = take(4);
        if (bytes == nullptr) {
            return 0;
        }
        return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
               std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
    }
    std::uint64_t u64() {
        const std::uint64_t high = u32();
        return high << 32 | u32();
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    bool boolean() {
        const std::uint8_t byte = u8();
        if (byte > 1) {
            fail();
        }
        return byte == 1;
    }
    std::string text() {
        const std::uint32_t length = u32();
        const std::uint8_t* bytes = take(length);
        return bytes == nullptr ? std::string() : std::string(bytes, bytes + length);
    }
    // A count of items that each take at least `minimumItemBytes`: a count the rest of the
    // body cannot hold fails before anything is reserved for it.
    std::uint32_t count(std::size_t minimumItemBytes) {
        const std::uint32_t items = u32();
        if (items > (size_ - position_) / minimumItemBytes) {
            fail();
            return 0;
        }
        return items;
    }
    std::optional<PlistValue> value() {
        if (peekTag() == ValueTag::Absent) {
            u8();
            return std::nullopt;
        }
        return plist(0);
    }

private:
    ValueTag peekTag() const {
        return position_ < size_ ? static_cast<ValueTag>(data_[position_]) : ValueTag::Absent;
    }
    PlistValue plist(int depth) {
        if (depth > ControlCodec::kMaxValueDepth) {
            fail();
            return {};
        }
        switch (static_cast<ValueTag>(u8())) {
            case ValueTag::String:
                return PlistValue(text());
            case ValueTag::Integer:
                return PlistValue(i64());
            case ValueTag::Real:
                return PlistValue(f64());
            case ValueTag::Boolean:
                return PlistValue(boolean());
            case ValueTag::Date: {
                // The clock counts finer than microseconds: a date it cannot hold is refused
                // rather than overflowed.
                const std::int64_t micros = i64();
                if (micros > kMaxDateMicros || micros < -kMaxDateMicros) {
                    fail();
                    return {};
                }
                return PlistValue(PlistValue::Date(std::chrono::microseconds(micros)));
            }
            case ValueTag::Data: {
                const std::uint32_t length = count(1);
                const std::uint8_t* bytes = take(length);
                return bytes == nullptr ? PlistValue(PlistValue::Data{})
                                        : PlistValue(PlistValue::Data(bytes, bytes + length));
            }
            case ValueTag::Array: {
                // Grown item by item: a count is only as good as the bytes that follow it.
                PlistValue::Array items;
                const std::uint32_t length = count(1);
                for (std::uint32_t i = 0; i < length && !failed_; ++i) {
                    items.push_back(plist(depth + 1));
                }
                return PlistValue(std::move(items));
            }
            case ValueTag::Dictionary: {
                PlistValue::Dictionary entries;
                const std::uint32_t items = count(5);
                for (std::uint32_t i = 0; i < items && !failed_; ++i) {
                    std::string key = text();
                    entries.insert_or_assign(std::move(key), plist(depth + 1));
                }
                return PlistValue(std::move(entries));
            }
            case ValueTag::Absent:
                break;
        }
        fail();
        return {};
    }
    const std::uint8_t* take(std::size_t length) {
        if (failed_ || length > size_ - position_) {
            failed_ = true;
            return nullptr;
        }
        const std::uint8_t* start = data_ + position_;
        position_ += length;
        return start;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

// ---- the fields of each message -------------------------------------------------------------

void write(Writer& out, const ScenarioService& service) {
    out.text(service.name);
    out.i32(service.port);
    out.boolean(service.downloadCapped);
}

void write(Writer& out, const ClientSnapshot::Row& row) {
    out.u32(row.ip);
    out.text(row.address);
    out.text(row.screenName);
    out.text(row.login);
    out.text(row.service);
    out.i32(row.priority);
    out.f64(row.averageRate);
    out.f64(row.instantRate);
    out.f32(row.sampledRate);
}

void writeFields(Writer& out, const Message& message) {
    std::visit(
        [&out](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Hello>) {
                out.u32(m.version);
            } else if constexpr (std::is_same_v<T, HelloReply>) {
                out.text(m.backendName);
                out.text(m.fallbackReason);
                out.text(m.settingsProblem);
                out.u32(static_cast<std::uint32_t>(m.scenarioServices.size()));
                for (const auto& service : m.scenarioServices) {
                    write(out, service);
                }
                out.plist(PlistValue(m.settings));
            } else if constexpr (std::is_same_v<T, ServiceCall>) {
                out.u8(static_cast<std::uint8_t>(m.operation));
                out.text(m.name);
                out.i32(m.port);
            } else if constexpr (std::is_same_v<T, SetDATARate>) {
                out.f32(m.rate);
            } else if constexpr (std::is_same_v<T, SetACKPause>) {
                out.f32(m.pause);
            } else if constexpr (std::is_same_v<T, SetDownloadRate>) {
                out.boolean(m.on);
                out.f32(m.rate);
            } else if constexpr (std::is_same_v<T, SetPriorityFactor>) {
                out.i32(m.factor);
            } else if constexpr (std::is_same_v<T, SetPriorityMode>) {
                out.boolean(m.on);
            } else if constexpr (std::is_same_v<T, SetSetting> ||
                                 std::is_same_v<T, SettingChanged>) {
                out.text(m.key);
                out.value(m.value);
            } else if constexpr (std::is_same_v<T, SetClientPriority>) {
                out.u32(m.ip);
                out.i32(m.priority);
            } else if constexpr (std::is_same_v<T, MakeDefaultForLogin>) {
                out.u32(m.ip);
            } else if constexpr (std::is_same_v<T, Result>) {
                out.i32(m.value);
            } else if constexpr (std::is_same_v<T, SnapshotReply>) {
                out.u32(static_cast<std::uint32_t>(m.snapshot.rows.size()));
                for (const auto& row : m.snapshot.rows) {
                    write(out, row);
                }
            } else if constexpr (std::is_same_v<T, Gauge>) {
                out.u8(static_cast<std::uint8_t>(m.which));
                out.f64(m.value);
            } else if constexpr (std::is_same_v<T, Traffic>) {
                out.u64(m.totals.dataBytes);
                out.u64(m.totals.unpacedDataBytes);
                out.u64(m.totals.ackBytes);
                out.u64(m.totals.downloadBytes);
            } else if constexpr (std::is_same_v<T, Notice>) {
                out.text(m.name);
                out.text(m.title);
                out.text(m.message);
                out.boolean(m.needToQuitAfterAlert);
            } else if constexpr (std::is_same_v<T, SnapshotRequest> ||
                                 std::is_same_v<T, ReloadDefaultPriorities> ||
                                 std::is_same_v<T, RefreshView>) {
                // No fields.
            } else {
                static_assert(kAlwaysFalse<T>, "a message kind without its fields");
            }
        },
        message);
}

// The smallest encoded size of a list item, for the check of its count.
constexpr std::size_t kMinimumServiceBytes = 4 + 4 + 1;
constexpr std::size_t kMinimumRowBytes = 4 + 4 * 4 + 4 + 8 + 8 + 4;

ScenarioService readService(Reader& in) {
    ScenarioService service;
    service.name = in.text();
    service.port = in.i32();
    service.downloadCapped = in.boolean();
    return service;
}

ClientSnapshot::Row readRow(Reader& in) {
    ClientSnapshot::Row row;
    row.ip = in.u32();
    row.address = in.text();
    row.screenName = in.text();
    row.login = in.text();
    row.service = in.text();
    row.priority = in.i32();
    row.averageRate = in.f64();
    row.instantRate = in.f64();
    row.sampledRate = in.f32();
    return row;
}

template <typename Enum>
Enum readEnum(Reader& in, Enum last) {
    const std::uint8_t raw = in.u8();
    if (raw > static_cast<std::uint8_t>(last)) {
        in.fail();
    }
    return static_cast<Enum>(raw);
}

template <typename T>
T readFields(Reader& in) {
    T m;
    if constexpr (std::is_same_v<T, Hello>) {
        m.version = in.u32();
    } else if constexpr (std::is_same_v<T, HelloReply>) {
        m.backendName = in.text();
        m.fallbackReason = in.text();
        m.settingsProblem = in.text();
        const std::uint32_t services = in.count(kMinimumServiceBytes);
        for (std::uint32_t i = 0; i < services && !in.failed(); ++i) {
            m.scenarioServices.push_back(readService(in));
        }
        const auto settings = in.value();
        if (!settings || !settings->isDictionary()) {
            in.fail();
        } else {
            m.settings = settings->asDictionary();
        }
    } else if constexpr (std::is_same_v<T, ServiceCall>) {
        m.operation = readEnum(in, ServiceCall::Operation::RemoveDL);
        m.name = in.text();
        m.port = in.i32();
    } else if constexpr (std::is_same_v<T, SetDATARate>) {
        m.rate = in.f32();
    } else if constexpr (std::is_same_v<T, SetACKPause>) {
        m.pause = in.f32();
    } else if constexpr (std::is_same_v<T, SetDownloadRate>) {
        m.on = in.boolean();
        m.rate = in.f32();
    } else if constexpr (std::is_same_v<T, SetPriorityFactor>) {
        m.factor = in.i32();
    } else if constexpr (std::is_same_v<T, SetPriorityMode>) {
        m.on = in.boolean();
    } else if constexpr (std::is_same_v<T, SetSetting> || std::is_same_v<T, SettingChanged>) {
        m.key = in.text();
        m.value = in.value();
    } else if constexpr (std::is_same_v<T, SetClientPriority>) {
        m.ip = in.u32();
        m.priority = in.i32();
    } else if constexpr (std::is_same_v<T, MakeDefaultForLogin>) {
        m.ip = in.u32();
    } else if constexpr (std::is_same_v<T, Result>) {
        m.value = in.i32();
    } else if constexpr (std::is_same_v<T, SnapshotReply>) {
        const std::uint32_t rows = in.count(kMinimumRowBytes);
        for (std::uint32_t i = 0; i < rows && !in.failed(); ++i) {
            m.snapshot.rows.push_back(readRow(in));
        }
    } else if constexpr (std::is_same_v<T, Gauge>) {
        m.which = readEnum(in, Gauge::Which::Ack);
        m.value = in.f64();
    } else if constexpr (std::is_same_v<T, Traffic>) {
        m.totals.dataBytes = in.u64();
        m.totals.unpacedDataBytes = in.u64();
        m.totals.ackBytes = in.u64();
        m.totals.downloadBytes = in.u64();
    } else if constexpr (std::is_same_v<T, Notice>) {
        m.name = in.text();
        m.title = in.text();
        m.message = in.text();
        m.needToQuitAfterAlert = in.boolean();
    }
    return m;
}

template <std::size_t... Index>
std::optional<Message> readKind(Reader& in, std::size_t kind, std::index_sequence<Index...>) {
    std::optional<Message> message;
    ((kind == Index ? (message = readFields<std::variant_alternative_t<Index, Message>>(in), 0)
                    : 0),
     ...);
    return message;
}

}  // namespace

std::vector<std::uint8_t> ControlCodec::encode(const Message& message) {
    Writer out;
    out.u8(kProtocolVersion);
    out.u8(static_cast<std::uint8_t>(message.index()));
    writeFields(out, message);
    return std::move(out).frame();
}

std::optional<std::size_t> ControlCodec::bodyLength(const std::uint8_t* header,
                                                    std::string& error) {
    const std::size_t length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                               std::size_t{header[2]} << 8 | std::size_t{header[3]};
    if (length == 0 || length > kMaxBodyBytes) {
        error = "control message of " + std::to_string(length) + " bytes (1 to " +
                std::to_string(kMaxBodyBytes) + " allowed)";
        return std::nullopt;
    }
    return length;
}

std::optional<Message> ControlCodec::decode(const std::uint8_t* body, std::size_t size,
                                            std::string& error) {
    Reader in(body, size);
    const std::uint8_t version = in.u8();
    const std::uint8_t kind = in.u8();
    if (in.failed()) {
        error = "truncated control message";
        return std::nullopt;
    }
    if (version != kProtocolVersion) {
        error = "control protocol version " + std::to_string(version) + " (this side speaks " +
                std::to_string(kProtocolVersion) + ")";
        return std::nullopt;
    }
    if (kind >= std::variant_size_v<Message>) {
        error = "unknown control message kind " + std::to_string(kind);
        return std::nullopt;
    }
    auto message = readKind(in, kind, std::make_index_sequence<std::variant_size_v<Message>>());
    if (in.failed()) {
        error = "truncated or malformed control message of kind " + std::to_string(kind);
        return std::nullopt;
    }
    if (!in.atEnd()) {
        error = "control message of kind " + std::to_string(kind) + " with bytes left over";
        return std::nullopt;
    }
    return message;
}

}  // namespace quellbox::control
