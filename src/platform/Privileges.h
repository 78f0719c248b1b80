#pragma once

#include <functional>

namespace quellbox {

// The process runs with its effective user lowered to the real user. Only a few calls (the
// firewall command, opening the packet socket) need root: they run inside runPrivileged,
// which raises the effective user to root and lowers it again afterwards, under one
// process-wide lock so that two raise-run-lower sequences never interleave.
class Privileges {
public:
    // Lowers the effective user (and group) to the real one; true on success.
    static bool dropToRealUser();
    // True when the effective user can be raised to root (set-user-id root, or run as root).
    static bool canBecomeRoot();
    // Runs `work` with root as effective user when that is possible, else as the current
    // user; answers whether the raise succeeded. The effective user is the real user again
    // when it returns.
    static bool runPrivileged(const std::function<void()>& work);
};

}  // namespace quellbox
