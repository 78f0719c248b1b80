#include "PrometheusScrape.h"

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

namespace quellbox::testing {

namespace {

const std::regex kComment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
const std::regex kSample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+))");
// One label and the comma after it; the value's only escapes are \\, \" and \n.
const std::regex kLabel(R"re(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\["\\n])*)"(?:,|$))re");

std::string unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        plain += text[i] != '\\' ? text[i] : (text[++i] == 'n' ? '\n' : text[i]);
    }
    return plain;
}

}  // namespace

std::optional<PrometheusScrape> PrometheusScrape::parse(const std::string& text,
                                                        std::string& error) {
    PrometheusScrape scrape;
    std::set<std::pair<std::string, Labels>> series;
    std::istringstream lines(text);
    int number = 0;
    auto fail = [&](const std::string& line, const std::string& why) {
        error = "line " + std::to_string(number) + " (" + line + "): " + why;
        return std::nullopt;
    };
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::smatch match;
        if (lines.eof()) {
            return fail(line, "no line feed at the end");
        }
        if (line.starts_with("#")) {
            if (!std::regex_match(line, match, kComment)) {
                return fail(line, "a comment that is no HELP or TYPE line");
            }
            auto& table = match[1] == "HELP" ? scrape.help : scrape.types;
            if (!table.emplace(match[2], match[3]).second) {
                return fail(line, "a repeated family");
            }
            continue;
        }
        if (!std::regex_match(line, match, kSample)) {
            return fail(line, "no sample");
        }
        Sample sample{match[1], {}, 0.0};
        if (!scrape.types.contains(sample.name)) {
            return fail(line, "a sample of no declared family");
        }
        const std::string labels = match[2];
        std::smatch label;
        for (auto at = labels.cbegin(); at != labels.cend(); at = label[0].second) {
            if (!std::regex_search(at, labels.cend(), label, kLabel,
                                   std::regex_constants::match_continuous) ||
                !sample.labels.emplace(label[1], unescape(label[2])).second) {
                return fail(line, "malformed labels");
            }
        }
        const std::string value = match[3];
        char* end = nullptr;
        sample.value = std::strtod(value.c_str(), &end);
        if (end != value.c_str() + value.size()) {
            return fail(line, "a value that is no number");
        }
        if (!series.emplace(sample.name, sample.labels).second) {
            return fail(line, "a series given twice");
        }
        scrape.samples.push_back(std::move(sample));
    }
    return scrape;
}

std::optional<double> PrometheusScrape::value(const std::string& name, const Labels& labels) const {
    for (const Sample& sample : samples) {
        if (sample.name == name && sample.labels == labels) {
            return sample.value;
        }
    }
    return std::nullopt;
}

}  // namespace quellbox::testing
