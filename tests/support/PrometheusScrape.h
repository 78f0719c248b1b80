#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quellbox::testing {

// A page in Prometheus' text exposition format (0.0.4), read strictly, as a scraper that
// refuses a malformed page would: every sample belongs to a family whose "# TYPE" came
// first, names and labels have the allowed characters, a label value uses only the \\, \"
// and \n escapes, no series appears twice, and every line ends with a line feed.
struct PrometheusScrape {
    using Labels = std::map<std::string, std::string>;
    struct Sample {
        std::string name;
        Labels labels;  // unescaped values
        double value = 0.0;
    };

    std::map<std::string, std::string> types;  // family name: "counter", "gauge", ...
    std::map<std::string, std::string> help;   // family name: help text as written
    std::vector<Sample> samples;

    // Nothing, with the line and the fault in `error`, for a page that breaks the format.
    static std::optional<PrometheusScrape> parse(const std::string& text, std::string& error);
    // The value of the series with exactly these labels, if the page has it.
    std::optional<double> value(const std::string& name, const Labels& labels = {}) const;
};

}  // namespace quellbox::testing
