// console.hpp - what vcp's commands share on the terminal: Ctrl-C, a status
// line, log lines, norva's live traces, and the checks a command makes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

namespace vcp {

class DebugLog;
struct SessionOptions;

// Blocks SIGINT, SIGTERM and SIGHUP for the whole process (create it in main
// before any other thread starts); a thread of its own takes them, so that
// they work in every phase of every command.  A command that stops in order
// waits for one (Wait) and then takes its time to clean up.  A signal nobody
// takes within three seconds (the command is busy elsewhere: booting,
// reading a descriptor file, measuring) ends the process with status
// 128 + the signal's number, as does a second signal while a stop is under
// way.
class Signals {
public:
    Signals();
    ~Signals();
    Signals(const Signals &) = delete;
    Signals &operator=(const Signals &) = delete;
    // Waits up to timeout; the signal's number when one came (taken: the
    // caller now stops).
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // A signal that came and was not taken yet, if any (not taken by this).
    std::optional<int> Pending() const;

private:
    void Watch(std::stop_token stop);
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<int> pending_;
    std::chrono::steady_clock::time_point since_;
    bool stopping_ = false;  // a signal was taken
    std::jthread watcher_;
};

// Thrown by a phase that noticed a signal (Signals::Pending) and gave up.
struct Interrupted {
    int signal;
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
