#pragma once

#include <sys/types.h>

#include <string_view>

namespace quellbox {

// Writes every byte of `contents` to `fd` from `offset` on, going on after short writes and
// interrupted calls. False on the first failure, with errno telling why; the bytes before it
// may already be written.
bool writeAllAt(int fd, std::string_view contents, off_t offset);

}  // namespace quellbox
