#pragma once

#include <string>
#include <vector>

namespace quellbox {

// The process's diagnostic log. Every message becomes the line
// "date time Quellbox[pid:tid] message" on standard error and, once enabled, in syslog.
// A SystemLogCapture diverts the lines into memory so that tests can read them.
class SystemLog {
public:
    // Writes one diagnostic line (the message is English and not localised).
    static void log(const std::string& message);
    // printf-style convenience for the messages that carry numbers.
    static void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // perror-style report of a failed system call: "text: <system error description>" on
    // standard error, using the current errno.
    static void reportError(const std::string& text);
    // Also send every line to syslog under the identity "Quellbox" (the application does).
    static void setUseSyslog(bool enabled);
    // Whether log lines are also written to standard error (the default). A front end that
    // owns the terminal may turn it off while syslog keeps the lines; error reports always go
    // to standard error.
    static void setEchoToStandardError(bool enabled);
};

// While an instance lives, log lines and error reports go to it instead of standard error.
// Captures nest: the innermost receives the lines.
class SystemLogCapture {
public:
    SystemLogCapture();
    ~SystemLogCapture();
    SystemLogCapture(const SystemLogCapture&) = delete;
    SystemLogCapture& operator=(const SystemLogCapture&) = delete;

    // The messages logged so far, without the date and process prefix.
    std::vector<std::string> lines() const;
    // The perror-style reports so far, as they would have been printed.
    std::vector<std::string> errorLines() const;
    // How many captured lines equal the message exactly.
    int count(const std::string& message) const;
    void clear();

private:
    friend class SystemLog;
    void addLine(const std::string& line, bool isError);
    SystemLogCapture* previous_ = nullptr;
    std::vector<std::string> lines_;
    std::vector<std::string> errorLines_;
};

}  // namespace quellbox
