#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quellbox {

// Runs a program as a child process with its standard output on a pipe and collects what
// it prints. The pipe is read while the child runs, so a child never stalls on a full pipe
// however much it prints; output beyond `maxOutput` bytes is read and thrown away.
//
// No search path is used: arguments[0] is the program's absolute path and also the name
// under which the program sees itself. Standard input and standard error are inherited. A
// child of run() inherits the environment and holds no capability, whatever this process
// holds; a child of runWithShapingRights() gets the bare environment kShapingEnvironment and
// the shaping rights this process is permitted (see Capabilities), for the firewall programs.
// The runner keeps no state between calls, so calls from several threads at once are safe
// (the pipe is close-on-exec, so one call's child never holds another call's pipe open).
class CommandRunner {
public:
    struct Outcome {
        // True when the child ended by exit(); then exitStatus is its status. False when a
        // signal ended it; then signal is that signal's number.
        bool exited = false;
        int exitStatus = 0;
        int signal = 0;
        std::string output;  // at most maxOutput bytes of standard output
    };

    // Nothing when the child cannot be run at all (pipe, fork, wait or read failed); the
    // failing call is reported perror-style ("Quellbox Error : fork()" and so on). A program
    // that cannot be executed ends its child with status 127 after writing
    // "'execv()' should not return !" to standard error.
    static std::optional<Outcome> run(const std::vector<std::string>& arguments,
                                      std::size_t maxOutput);
    // The same for a list of C texts ended by a null pointer.
    static std::optional<Outcome> run(const char* const* arguments, std::size_t maxOutput);
    // The same, with the shaping rights and the bare environment.
    static std::optional<Outcome> runWithShapingRights(const std::vector<std::string>& arguments,
                                                       std::size_t maxOutput);

    // The whole environment of a child run with the shaping rights: nothing the caller's
    // environment holds (XTABLES_LIBDIR, LD_*) reaches a program that holds rights.
    static constexpr const char* kShapingEnvironment = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

    // Status of a child whose program could not be executed.
    static constexpr int kExecFailedStatus = 127;
};

}  // namespace quellbox
