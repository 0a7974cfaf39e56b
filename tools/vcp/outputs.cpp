// outputs.cpp - the bus capture and the debug log of a session.
#include "outputs.hpp"

#include "console.hpp"
#include "debug_log.hpp"

#include "usb/usbmon_capture.hpp"

#include <fmt/format.h>

#include <stdexcept>
#include <unistd.h>

namespace vcp {

void OpenOutputs(const OutputOptions &o, const std::string &command, SessionOptions &s)
{
    if (!o.capture.empty()) {
        world::CaptureOptions co;
        co.clock = world::CaptureClock::Wall;  // a session's bus runs in real time (idle stretches too)
        co.snapLength = o.snapLength;
        co.comment = fmt::format("Written by vcp {}, converter variant {}; device addresses from 2 as the hub "
                                 "plugs them.",
                                 command, s.variant);
        std::string error;
        s.capture = world::UsbmonCapture::Create(o.capture, co, &error);
        if (!s.capture)
            throw std::runtime_error("--capture: " + error);
        s.capturePath = o.capture == "-" ? "standard output" : o.capture;
        if (o.capture == "-" && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
            throw std::runtime_error("--capture -: cannot point the program's own output at standard error");
    }
    if (!o.debugLog.empty()) {
        std::string about = fmt::format("vcp {}, converter variant {}, \"DebugLevel\" {}", command, s.variant,
                                        s.debugLevel ? fmt::format("0x{:x}", *s.debugLevel)
                                                     : std::string("not set (norva's default, 3)"));
        s.debugLog = std::make_shared<DebugLog>(o.debugLog, o.debugLogLimit, about);
    }
}

std::string CaptureSummary(const SessionOptions &s)
{
    if (!s.capture)
        return {};
    const world::UsbmonCapture::Stats c = s.capture->stats();
    std::string text = fmt::format("{}: {} records ({} submissions, {} completions, {} refused), {}, timestamps {}",
                                   s.capturePath, c.submissions + c.completions + c.errors, c.submissions,
                                   c.completions, c.errors, Bytes(c.bytesWritten),
                                   world::UsbmonCapture::ClockName(s.capture->options().clock));
    if (c.submissions > c.completions)
        text += fmt::format("; {} submission(s) WITHOUT a completion", c.submissions - c.completions);
    if (c.dropped)
        text += fmt::format("; {} records NOT written", c.dropped);
    if (!c.failure.empty())
        text += "; writing stopped: " + c.failure;
    return text;
}

std::string DebugLogSummary(const SessionOptions &s)
{
    if (!s.debugLog)
        return {};
    const DebugLog::Stats d = s.debugLog->stats();
    std::string text = fmt::format("{}: {} line(s)", s.debugLog->path() == "-" ? "standard error" : s.debugLog->path(),
                                   d.lines);
    if (d.rotations)
        text += fmt::format(", rotated {} time(s) (the earlier lines are in {}.1)", d.rotations, s.debugLog->path());
    if (d.droppedLines)
        text += fmt::format(", {} line(s) past the limit NOT written", d.droppedLines);
    if (!d.failure.empty())
        text += "; writing stopped: " + d.failure;
    return text;
}

}  // namespace vcp
