#pragma once

#include <cstdint>

namespace quellbox {

// The rights this process holds beyond an ordinary user's, and handing the two rights of
// shaping (CAP_NET_ADMIN for the packet queue and the firewall, CAP_NET_RAW for iptables) on
// to one child program. quellbox-engine gets them from its file capabilities or from its
// service manager (ambient capabilities); nothing here ever raises a user id.
class Capabilities {
public:
    // CAP_NET_ADMIN in the effective set: the kernel queue gives and takes verdicts.
    static bool holdsNetAdmin();
    // Root as real, effective or saved user.
    static bool holdsAnyRootId();
    // True when whoever set this process's environment may hold fewer rights than the
    // process: a secure exec (file capabilities, set-user-id), a root user id, or any
    // permitted capability. Such a process never lets its environment choose a program.
    static bool isPrivileged();

    // The calling thread's capability sets as a child will take them: the shaping rights
    // that are permitted also made inheritable. Made before fork, so that the child only
    // has to hand it to the kernel.
    struct ChildGrant {
        std::uint32_t effective[2] = {};
        std::uint32_t permitted[2] = {};
        std::uint32_t inheritable[2] = {};
        bool netAdmin = false;
        bool netRaw = false;
    };
    // Nothing to grant (both false) when neither right is permitted, or capget failed.
    static ChildGrant prepareShapingGrant();

    // For a forked child before execve; async-signal-safe. Raises the granted rights as
    // inheritable and ambient capabilities, so that the program it executes holds them: 0,
    // or -1 with errno.
    static int applyInChild(const ChildGrant& grant);
    // For a forked child before execve; async-signal-safe. Clears the ambient set, so that
    // the program it executes holds no capability at all: 0, or -1 with errno.
    static int dropAmbientInChild();
};

}  // namespace quellbox
