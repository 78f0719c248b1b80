#include "headless/PrometheusText.h"

#include <charconv>
#include <cmath>

namespace quellbox {

namespace {

std::string escaped(std::string_view text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quotes) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string PrometheusText::escapeLabelValue(std::string_view value) {
    return escaped(value, true);
}

std::string PrometheusText::escapeHelp(std::string_view help) { return escaped(help, false); }

void PrometheusText::family(std::string_view name, Type type, std::string_view help) {
    name_ = name;
    text_ += "# HELP " + name_ + " " + escapeHelp(help) + "\n";
    text_ += "# TYPE " + name_ + (type == Type::Counter ? " counter\n" : " gauge\n");
}

void PrometheusText::beginSample(const Labels& labels) {
    text_ += name_;
    if (!labels.empty()) {
        text_ += "{";
        for (std::size_t i = 0; i < labels.size(); ++i) {
            text_ += (i > 0 ? "," : "") + labels[i].first + "=\"" +
                     escapeLabelValue(labels[i].second) + "\"";
        }
        text_ += "}";
    }
    text_ += " ";
}

void PrometheusText::sample(std::uint64_t value, const Labels& labels) {
    beginSample(labels);
    text_ += std::to_string(value) + "\n";
}

void PrometheusText::sample(double value, const Labels& labels) {
    beginSample(labels);
    if (std::isnan(value)) {
        text_ += "NaN\n";
    } else if (std::isinf(value)) {
        text_ += value > 0 ? "+Inf\n" : "-Inf\n";
    } else {
        // The shortest text that reads back as the same double.
        char digits[32];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        text_.append(digits, result.ptr);
        text_ += "\n";
    }
}

}  // namespace quellbox
