#include "PrometheusScrape.h"

#include <cctype>
#include <cstdlib>
#include <regex>
#include <set>

namespace quellbox::testing {

namespace {

const std::regex kMetricName("[a-zA-Z_:][a-zA-Z0-9_:]*");
const std::regex kLabelName("[a-zA-Z_][a-zA-Z0-9_]*");

// Reads `"value"` at `at` (on the opening quote), unescaping; false on a bad escape or no
// closing quote.
bool readQuoted(const std::string& line, std::size_t& at, std::string& value) {
    if (at >= line.size() || line[at] != '"') {
        return false;
    }
    for (++at; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++at >= line.size()) {
            return false;
        }
        const char escaped = line[at];
        if (escaped == 'n') {
            value += '\n';
        } else if (escaped == '\\' || escaped == '"') {
            value += escaped;
        } else {
            return false;
        }
    }
    return false;
}

bool readLabels(const std::string& line, std::size_t& at, PrometheusScrape::Labels& labels) {
    ++at;  // '{'
    while (at < line.size() && line[at] != '}') {
        const std::size_t equals = line.find('=', at);
        if (equals == std::string::npos) {
            return false;
        }
        const std::string name = line.substr(at, equals - at);
        at = equals + 1;
        std::string value;
        if (!std::regex_match(name, kLabelName) || !readQuoted(line, at, value) ||
            !labels.emplace(name, value).second) {
            return false;
        }
        if (at < line.size() && line[at] == ',') {
            ++at;
        }
    }
    if (at >= line.size()) {
        return false;
    }
    ++at;  // '}'
    return true;
}

std::optional<double> readValue(const std::string& text) {
    if (text == "+Inf" || text == "-Inf" || text == "NaN") {
        return std::strtod(text.c_str(), nullptr);
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() ||
        std::isspace(static_cast<unsigned char>(text.front()))) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<PrometheusScrape> PrometheusScrape::parse(const std::string& text,
                                                        std::string& error) {
    PrometheusScrape scrape;
    std::set<std::pair<std::string, Labels>> series;
    std::size_t start = 0;
    int number = 0;
    auto fail = [&](const std::string& line, const std::string& why) {
        error = "line " + std::to_string(number) + " (" + line + "): " + why;
        return std::nullopt;
    };
    while (start < text.size()) {
        ++number;
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return fail(text.substr(start), "no line feed at the end");
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::smatch match;
        static const std::regex comment(R"(# (HELP|TYPE) (\S+) (.*))");
        if (line.starts_with("#")) {
            if (!std::regex_match(line, match, comment)) {
                return fail(line, "a comment that is no HELP or TYPE line");
            }
            const std::string family = match[2];
            auto& table = match[1] == "HELP" ? scrape.help : scrape.types;
            std::string body = match[3];
            if (match[1] == "HELP") {
                std::string unescaped;
                for (std::size_t i = 0; i < body.size(); ++i) {
                    if (body[i] == '\\' && i + 1 < body.size() &&
                        (body[i + 1] == 'n' || body[i + 1] == '\\')) {
                        unescaped += body[++i] == 'n' ? '\n' : '\\';
                    } else {
                        unescaped += body[i];
                    }
                }
                body = unescaped;
            }
            if (!std::regex_match(family, kMetricName) || !table.emplace(family, body).second) {
                return fail(line, "a bad or repeated family");
            }
            continue;
        }
        Sample sample;
        std::size_t at = line.find_first_of("{ ");
        if (at == std::string::npos) {
            return fail(line, "no value");
        }
        sample.name = line.substr(0, at);
        if (!std::regex_match(sample.name, kMetricName) || !scrape.types.contains(sample.name)) {
            return fail(line, "a sample of no declared family");
        }
        if (line[at] == '{' && !readLabels(line, at, sample.labels)) {
            return fail(line, "malformed labels");
        }
        if (at >= line.size() || line[at] != ' ') {
            return fail(line, "no space before the value");
        }
        const auto value = readValue(line.substr(at + 1));
        if (!value) {
            return fail(line, "a value that is no number");
        }
        sample.value = *value;
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
