#include "platform/SystemLog.h"

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace quellbox {

namespace {

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

SystemLogCapture* activeCapture = nullptr;  // guarded by logMutex()
bool useSyslog = false;                     // guarded by logMutex()
bool echoToStandardError = true;            // guarded by logMutex()

std::string linePrefix() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%s.%03lld Quellbox[%d:%ld] ", stamp,
                  static_cast<long long>(millis), static_cast<int>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)));
    return prefix;
}

}  // namespace

void SystemLog::log(const std::string& message) {
    std::lock_guard guard(logMutex());
    if (activeCapture != nullptr) {
        activeCapture->addLine(message, false);
        return;
    }
    if (echoToStandardError) {
        const std::string line = linePrefix() + message + "\n";
        std::fputs(line.c_str(), stderr);
    }
    if (useSyslog) {
        syslog(LOG_NOTICE, "%s", message.c_str());
    }
}

void SystemLog::logf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    log(text);
}

void SystemLog::reportError(const std::string& text) {
    const int savedErrno = errno;
    char buffer[256];
    const char* description = strerror_r(savedErrno, buffer, sizeof buffer);
    const std::string line = text + ": " + description;
    std::lock_guard guard(logMutex());
    if (activeCapture != nullptr) {
        activeCapture->addLine(line, true);
    } else {
        std::fputs((line + "\n").c_str(), stderr);
    }
    errno = savedErrno;
}

void SystemLog::setEchoToStandardError(bool enabled) {
    std::lock_guard guard(logMutex());
    echoToStandardError = enabled;
}

void SystemLog::setUseSyslog(bool enabled) {
    std::lock_guard guard(logMutex());
    if (enabled && !useSyslog) {
        openlog("Quellbox", LOG_PID, LOG_USER);
    } else if (!enabled && useSyslog) {
        closelog();
    }
    useSyslog = enabled;
}

SystemLogCapture::SystemLogCapture() {
    std::lock_guard guard(logMutex());
    previous_ = activeCapture;
    activeCapture = this;
}

SystemLogCapture::~SystemLogCapture() {
    std::lock_guard guard(logMutex());
    activeCapture = previous_;
}

std::vector<std::string> SystemLogCapture::lines() const {
    std::lock_guard guard(logMutex());
    return lines_;
}

std::vector<std::string> SystemLogCapture::errorLines() const {
    std::lock_guard guard(logMutex());
    return errorLines_;
}

int SystemLogCapture::count(const std::string& message) const {
    std::lock_guard guard(logMutex());
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), message));
}

void SystemLogCapture::clear() {
    std::lock_guard guard(logMutex());
    lines_.clear();
    errorLines_.clear();
}

void SystemLogCapture::addLine(const std::string& line, bool isError) {
    (isError ? errorLines_ : lines_).push_back(line);
}

}  // namespace quellbox
