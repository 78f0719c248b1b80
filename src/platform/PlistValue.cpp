#include "platform/PlistValue.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace quellbox {

namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kPlistEpochOffset = 978307200;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistOwner = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

plist_t toNode(const PlistValue& value);

plist_t dateNode(PlistValue::Date date) {
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(date.time_since_epoch()).count();
    const std::int64_t sinceUnix = micros >= 0 ? micros / 1000000 : -((-micros + 999999) / 1000000);
    const std::int64_t usec = micros - sinceUnix * 1000000;
    const std::int64_t since2001 = sinceUnix - kPlistEpochOffset;
    const auto clamped = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(since2001, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max()));
    return plist_new_date(clamped, static_cast<std::int32_t>(usec));
}

plist_t toNode(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::String:
            return plist_new_string(value.asString().c_str());
        case PlistValue::Type::Integer:
            return plist_new_uint(static_cast<std::uint64_t>(value.integerValue()));
        case PlistValue::Type::Real:
            return plist_new_real(value.doubleValue());
        case PlistValue::Type::Boolean:
            return plist_new_bool(value.boolValue() ? 1 : 0);
        case PlistValue::Type::Date:
            return dateNode(value.asDate());
        case PlistValue::Type::Data: {
            const auto& bytes = value.asData();
            return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        case PlistValue::Type::Array: {
            plist_t node = plist_new_array();
            for (const auto& item : value.asArray()) {
                plist_array_append_item(node, toNode(item));
            }
            return node;
        }
        case PlistValue::Type::Dictionary: {
            plist_t node = plist_new_dict();
            for (const auto& [key, item] : value.asDictionary()) {
                plist_dict_set_item(node, key.c_str(), toNode(item));
            }
            return node;
        }
    }
    return plist_new_string("");
}

std::optional<PlistValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            // The pointer form takes texts holding NUL bytes (an entity such as "&#0;" makes one),
            // which the copying accessor rejects with an assertion that ends the process. A text
            // ends at its first NUL, as it would when written again.
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return PlistValue(text != nullptr ? std::string(text, strnlen(text, length))
                                              : std::string());
        }
        case PLIST_UINT: {
            std::uint64_t number = 0;
            plist_get_uint_val(node, &number);
            return PlistValue(static_cast<std::int64_t>(number));
        }
        case PLIST_REAL: {
            double number = 0;
            plist_get_real_val(node, &number);
            return PlistValue(number);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return PlistValue(flag != 0);
        }
        case PLIST_DATE: {
            std::int32_t sec = 0;
            std::int32_t usec = 0;
            plist_get_date_val(node, &sec, &usec);
            using namespace std::chrono;
            const auto since =
                seconds(static_cast<std::int64_t>(sec) + kPlistEpochOffset) + microseconds(usec);
            return PlistValue(PlistValue::Date(duration_cast<system_clock::duration>(since)));
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            std::unique_ptr<char, MallocDeleter> owner(bytes);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
            return PlistValue(PlistValue::Data(begin, begin + (bytes != nullptr ? length : 0)));
        }
        case PLIST_ARRAY: {
            PlistValue::Array items;
            const std::uint32_t size = plist_array_get_size(node);
            for (std::uint32_t i = 0; i < size; ++i) {
                auto item = fromNode(plist_array_get_item(node, i));
                if (!item) {
                    return std::nullopt;
                }
                items.push_back(std::move(*item));
            }
            return PlistValue(std::move(items));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary entries;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            std::unique_ptr<void, MallocDeleter> iterOwner(iter);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                if (item == nullptr) {
                    std::free(key);
                    break;
                }
                std::unique_ptr<char, MallocDeleter> keyOwner(key);
                auto converted = fromNode(item);
                if (!converted || key == nullptr) {
                    return std::nullopt;
                }
                entries.emplace(key, std::move(*converted));
            }
            return PlistValue(std::move(entries));
        }
        default:
            return std::nullopt;
    }
}

// Leading-number parse in the manner of a text object's numeric value.
double leadingNumber(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double number = std::strtod(begin, &end);
    return end == begin || !std::isfinite(number) ? 0.0 : number;
}

}  // namespace

PlistValue::PlistValue() : value_(std::string()) {}
PlistValue::PlistValue(std::string text) : value_(std::move(text)) {}
PlistValue::PlistValue(const char* text) : value_(std::string(text)) {}
PlistValue::PlistValue(std::int64_t integer) : value_(integer) {}
PlistValue::PlistValue(int integer) : value_(static_cast<std::int64_t>(integer)) {}
PlistValue::PlistValue(double real) : value_(Real{real}) {}
PlistValue::PlistValue(float real) : value_(Real{static_cast<double>(real)}) {}
PlistValue::PlistValue(bool boolean) : value_(boolean) {}
PlistValue::PlistValue(Date date) : value_(date) {}
PlistValue::PlistValue(Data data) : value_(std::move(data)) {}
PlistValue::PlistValue(Array array) : value_(std::move(array)) {}
PlistValue::PlistValue(Dictionary dictionary) : value_(std::move(dictionary)) {}

PlistValue::Type PlistValue::type() const { return static_cast<Type>(value_.index()); }

bool PlistValue::isNumber() const {
    const Type kind = type();
    return kind == Type::Integer || kind == Type::Real || kind == Type::Boolean;
}

std::int64_t PlistValue::integerValue() const {
    switch (type()) {
        case Type::Integer:
            return std::get<std::int64_t>(value_);
        case Type::Boolean:
            return std::get<bool>(value_) ? 1 : 0;
        case Type::Real:
        case Type::String: {
            const double number = doubleValue();
            constexpr double lowest = static_cast<double>(std::numeric_limits<std::int64_t>::min());
            constexpr double highest =
                static_cast<double>(std::numeric_limits<std::int64_t>::max());
            if (number <= lowest) {
                return std::numeric_limits<std::int64_t>::min();
            }
            if (number >= highest) {
                return std::numeric_limits<std::int64_t>::max();
            }
            return static_cast<std::int64_t>(number);
        }
        default:
            return 0;
    }
}

double PlistValue::doubleValue() const {
    switch (type()) {
        case Type::Integer:
            return static_cast<double>(std::get<std::int64_t>(value_));
        case Type::Real:
            return std::get<Real>(value_).value;
        case Type::Boolean:
            return std::get<bool>(value_) ? 1.0 : 0.0;
        case Type::String:
            return leadingNumber(std::get<std::string>(value_));
        default:
            return 0.0;
    }
}

bool PlistValue::boolValue() const {
    switch (type()) {
        case Type::Boolean:
            return std::get<bool>(value_);
        case Type::Integer:
            return std::get<std::int64_t>(value_) != 0;
        case Type::Real:
            return std::get<Real>(value_).value != 0.0;
        case Type::String: {
            const std::string& text = std::get<std::string>(value_);
            const auto start = text.find_first_not_of(" \t\n");
            if (start == std::string::npos) {
                return false;
            }
            const char first = text[start];
            if (first == 'Y' || first == 'y' || first == 'T' || first == 't') {
                return true;
            }
            return leadingNumber(text) != 0.0;
        }
        default:
            return false;
    }
}

std::string PlistValue::stringValue() const {
    switch (type()) {
        case Type::String:
            return std::get<std::string>(value_);
        case Type::Integer:
            return std::to_string(std::get<std::int64_t>(value_));
        case Type::Boolean:
            return std::get<bool>(value_) ? "1" : "0";
        case Type::Real: {
            char text[64];
            std::snprintf(text, sizeof text, "%g", std::get<Real>(value_).value);
            return text;
        }
        default:
            return {};
    }
}

const std::string& PlistValue::asString() const { return std::get<std::string>(value_); }
PlistValue::Date PlistValue::asDate() const { return std::get<Date>(value_); }
const PlistValue::Data& PlistValue::asData() const { return std::get<Data>(value_); }
const PlistValue::Array& PlistValue::asArray() const { return std::get<Array>(value_); }
PlistValue::Array& PlistValue::asArray() { return std::get<Array>(value_); }
const PlistValue::Dictionary& PlistValue::asDictionary() const {
    return std::get<Dictionary>(value_);
}
PlistValue::Dictionary& PlistValue::asDictionary() { return std::get<Dictionary>(value_); }

bool PlistValue::operator==(const PlistValue& other) const {
    if (isNumber() && other.isNumber()) {
        if (type() == Type::Real || other.type() == Type::Real) {
            return doubleValue() == other.doubleValue();
        }
        return integerValue() == other.integerValue();
    }
    if (type() != other.type()) {
        return false;
    }
    switch (type()) {
        case Type::String:
            return asString() == other.asString();
        case Type::Date:
            return asDate() == other.asDate();
        case Type::Data:
            return asData() == other.asData();
        case Type::Array:
            return asArray() == other.asArray();
        case Type::Dictionary:
            return asDictionary() == other.asDictionary();
        default:
            return false;
    }
}

std::string PlistValue::toXml() const {
    PlistOwner node(toNode(*this));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node.get(), &xml, &length);
    if (xml == nullptr) {
        return {};
    }
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

std::optional<PlistValue> PlistValue::fromXml(std::string_view xml) {
    if (xml.empty() || xml.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    if (root == nullptr) {
        return std::nullopt;
    }
    PlistOwner owner(root);
    return fromNode(root);
}

}  // namespace quellbox
