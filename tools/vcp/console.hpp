// console.hpp - what vcp's commands share on the terminal: Ctrl-C, a status
// line, log lines, norva's live traces, and the checks a command makes.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vcp {

class DebugLog;
struct SessionOptions;

// Blocks SIGINT, SIGTERM and SIGHUP for the whole process (create it in main
// before any thread starts) and lets the main thread wait for them.
class Signals {
public:
    Signals();
    // Waits up to timeout; the signal's number when one came.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
};

// Log lines and one status line that stays at the bottom of a terminal.
// Without a terminal the status line is printed only when its steady part
// changes.  Thread-safe.
class Console {
public:
    Console();
    void Line(const std::string &text);
    // steady: settings and lines; moving: counters (terminal only).
    void Status(const std::string &steady, const std::string &moving);
    void EndStatus();
    bool terminal() const { return terminal_; }

private:
    void ClearStatus();  // with mutex_ held
    std::mutex mutex_;
    bool terminal_ = false;
    bool statusShown_ = false;
    std::string lastSteady_;
};

// While alive, the drivers' traces (DbgPrint) go to the session's debug log
// when it has one, else to stderr when a "DebugLevel" was given.
class TraceEcho {
public:
    explicit TraceEcho(const SessionOptions &session);
    ~TraceEcho();

private:
    std::shared_ptr<DebugLog> log_;
};

struct Check {
    std::string name;
    bool ok = false;
    std::string detail;
};

// "verdict   PASS: 9 of 9 checks passed" / "FAIL: ..."; true when all passed.
bool PrintVerdict(const std::vector<Check> &checks);

// Bytes as a person reads them: "512 B", "64.0 KiB".
std::string Bytes(uint64_t n);

}  // namespace vcp
