// command_log.hpp - what `vcp serve` and `vcp pty` write with --command-log
// at exit: every converter command with its meaning, the state the converter
// ended in, the bridge's counters, every byte lost and where, and whether the
// kernel was left clean.
#pragma once

#include "losses.hpp"
#include "session.hpp"

#include <string>
#include <utility>
#include <vector>

namespace vcp {

struct CommandLog {
    int variant = 0;
    std::vector<ConverterCommand> commands;
    uint64_t commandsLeftOut = 0;  // beyond the converter's record
    ConverterView converter;
    std::vector<std::pair<std::string, uint64_t>> counters;
    Losses losses;

    // Before the world is torn down.
    void Gather(const WorldSession &world, size_t index = 0);
    // After the kernel check; leaks empty when clean.  Throws when the file
    // cannot be written.
    void Write(const std::string &path, const std::string &leaks) const;
};

}  // namespace vcp
