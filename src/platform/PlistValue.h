#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quellbox {

// One property-list value: text, integer, float, boolean, date, data, array or dictionary.
// Values compare by content. Numbers (integers, floats and booleans) compare by numeric
// value across their kinds, as number objects of a property list do, so that 1, 1.0 and
// true are equal. Read and written as XML property lists.
class PlistValue {
public:
    using Date = std::chrono::system_clock::time_point;
    using Data = std::vector<std::uint8_t>;
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;

    enum class Type { String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

    PlistValue();  // the empty text
    PlistValue(std::string text);
    PlistValue(const char* text);
    PlistValue(std::int64_t integer);
    PlistValue(int integer);
    PlistValue(double real);
    PlistValue(float real);
    PlistValue(bool boolean);
    PlistValue(Date date);
    PlistValue(Data data);
    PlistValue(Array array);
    PlistValue(Dictionary dictionary);

    Type type() const;
    bool isString() const { return type() == Type::String; }
    bool isNumber() const;  // integer, float or boolean
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Conversions in the manner of number and text objects: a number converts to any
    // numeric kind; a text is parsed by its leading number ("12abc" is 12, "YES", "true" and
    // non-zero numbers are true); any other kind yields 0, 0.0 or false.
    std::int64_t integerValue() const;
    double doubleValue() const;
    float floatValue() const { return static_cast<float>(doubleValue()); }
    bool boolValue() const;
    // The text of a text value; numbers print their value; other kinds the empty text.
    std::string stringValue() const;

    // Typed access; each requires the matching type.
    const std::string& asString() const;
    Date asDate() const;
    const Data& asData() const;
    const Array& asArray() const;
    Array& asArray();
    const Dictionary& asDictionary() const;
    Dictionary& asDictionary();

    bool operator==(const PlistValue& other) const;

    // XML property list text of this value (with the XML header and DOCTYPE).
    std::string toXml() const;
    // Parses an XML property list; nothing for text that is not one.
    static std::optional<PlistValue> fromXml(std::string_view xml);

private:
    struct Real {
        double value;
    };
    std::variant<std::string, std::int64_t, Real, bool, Date, Data, Array, Dictionary> value_;
};

}  // namespace quellbox
