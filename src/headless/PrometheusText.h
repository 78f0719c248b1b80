#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellbox {

// Writes Prometheus' text exposition format (version 0.0.4): each metric family's "# HELP"
// and "# TYPE" lines, then its samples, one "name{label="value",...} value" line each, with
// help texts and label values escaped as the format asks.
class PrometheusText {
public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    enum class Type { Counter, Gauge };
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // Starts a family; its samples follow. `name` must be a valid metric name.
    void family(std::string_view name, Type type, std::string_view help);
    // A sample of the family last started. Counts are written as exact integers.
    void sample(std::uint64_t value, const Labels& labels = {});
    void sample(double value, const Labels& labels = {});

    const std::string& text() const { return text_; }

    // Backslash, double quote and line feed as \\, \" and \n (label values).
    static std::string escapeLabelValue(std::string_view value);
    // Backslash and line feed as \\ and \n (help texts).
    static std::string escapeHelp(std::string_view help);

private:
    void beginSample(const Labels& labels);

    std::string text_;
    std::string name_;  // of the family last started
};

}  // namespace quellbox
