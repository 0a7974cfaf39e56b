// outputs.hpp - what a session can leave behind besides its own lines: a
// capture of the bus for Wireshark (--capture) and the drivers' traces in a
// file (--debug-log).
#pragma once

#include "session.hpp"

#include <cstdint>
#include <string>

namespace vcp {

struct OutputOptions {
    std::string capture;             // pcapng file of every URB at the hub; "-": standard output
    uint32_t snapLength = 0;         // bytes kept of each record (0: all)
    std::string debugLog;            // the drivers' traces; "-": standard error
    uint64_t debugLogLimit = 16u << 20;
};

// Opens what the options ask for and puts it into the session's options.
// Throws std::runtime_error with the reason when a file cannot be written.
// A capture to standard output takes it over: from then on the program's
// own lines go to standard error.
void OpenOutputs(const OutputOptions &o, const std::string &command, SessionOptions &s);

// Once the session's world is gone: "FILE: 412 records (...)", or empty
// without a capture.
std::string CaptureSummary(const SessionOptions &s);
// "FILE: 1234 lines", or empty without a debug log.
std::string DebugLogSummary(const SessionOptions &s);

}  // namespace vcp
