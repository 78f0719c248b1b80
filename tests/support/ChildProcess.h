#pragma once

#include <sys/resource.h>

#include <functional>

namespace quellbox::testing {

// Runs `body` in a forked child and returns the value it returned (0..255), or -1 when the
// child did not end normally. For faults that must not reach the test process: a file size
// limit, capabilities given up for good.
int runInChild(const std::function<int()>& body);

// From now on writes that would take a file beyond `bytes` fail with EFBIG, as they would on
// a full disk (SIGXFSZ is ignored). False when the limit cannot be set.
bool limitFileSize(rlim_t bytes);

// From now on file permissions apply even to root: the capabilities that override them are
// given up, effective and permitted alike. False when they cannot be dropped.
bool obeyFilePermissions();

}  // namespace quellbox::testing
