// debug_log.hpp - `--debug-log FILE`: the drivers' DbgPrint output in a file,
// as a kernel debugger's log keeps it, one line per trace:
//
//   14:03:27.512904 f    1873 cpu1 DISPATCH_LEVEL filter(1412): rx finish
//
// time of day (wall clock, microseconds), the host controller's frame, the
// processor and the IRQL the line was printed at, then the text.  A trace
// printed in pieces (norva's location prefix, then its message) is one line,
// stamped when its first piece came; pieces from other threads never mix
// into it.  The file is bounded: past the limit a regular file is rotated
// (FILE becomes FILE.1, a new FILE says so in its first line), anything else
// (a pipe, "-" for standard error) stops with a note.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vcp {

class DebugLog {
public:
    // Opens path ("-": standard error).  Throws std::runtime_error when it
    // cannot.  `about` goes in the first line (the command, the mask).
    DebugLog(const std::string &path, uint64_t limit, const std::string &about);
    ~DebugLog();  // Stop()
    DebugLog(const DebugLog &) = delete;
    DebugLog &operator=(const DebugLog &) = delete;

    // Takes the kernel's debug output until Stop().
    void Start();
    // Ends the lines still open, writes the closing note and closes the file.
    void Stop();

    // Where a line's frame comes from (the world's host controller); empty:
    // none (the frame column shows "-").
    void SetFrameSource(std::function<uint64_t()> frame);

    // One DbgPrint call's text, from the calling thread.
    void Print(std::string_view text);

    struct Stats {
        uint64_t lines = 0;         // written
        uint64_t droppedLines = 0;  // past the limit of a file that cannot rotate
        unsigned rotations = 0;
        std::string failure;        // why writing stopped, if it did
    };
    Stats stats() const;
    const std::string &path() const { return path_; }

private:
    struct Pending {
        std::string stamp;  // empty until the line's first piece
        std::string text;
    };
    std::string Stamp();                   // with mutex_ held
    void WriteLine(const std::string &line);  // with mutex_ held
    bool Rotate();                         // with mutex_ held

    const std::string path_;
    const uint64_t limit_;
    int fd_ = -1;
    bool regular_ = false;
    bool started_ = false;
    bool stopped_ = false;
    bool full_ = false;  // the limit was reached and the file cannot rotate
    uint64_t written_ = 0;
    mutable std::mutex mutex_;
    std::function<uint64_t()> frame_;
    std::map<std::thread::id, Pending> pending_;
    Stats stats_;
};

}  // namespace vcp
