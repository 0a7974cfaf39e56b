// virtual_time.cpp - the host controller on a simulated frame clock: runs of
// frames served back to back, each ended by the caller's step.
#include "usb/host_controller_internal.hpp"

#include <stdexcept>
#include <thread>

namespace world {

Frame HostController::RunVirtual(VirtualRun run)
{
    if (std::this_thread::get_id() == thread_.get_id())
        throw std::logic_error("a virtual-time run cannot be started from the host controller's own thread");
    if (!run.step)
        throw std::invalid_argument("a virtual-time run needs a step");
    std::unique_lock w(wakeMutex_);
    if (virtualRun_)
        throw std::logic_error("a virtual-time run is already going");
    virtualRun_ = &run;
    virtualBegun_ = false;
    virtualFrames_ = 0;
    wakePending_ = true;
    wakeCv_.notify_all();
    virtualDone_.wait(w, [&] { return virtualRun_ != &run || stop_; });
    virtualRun_ = nullptr;
    return virtualFrames_;
}

bool HostController::StepVirtual(VirtualRun &run, Frame now)
{
    const bool more = run.step(now - virtualBase_);
    if (run.realTime && more) {
        // The next frame begins 1 ms after this one was due to, or at once
        // when the machine is behind.
        const auto due = virtualStart_ + std::chrono::milliseconds(now - virtualBase_ + 1);
        const auto at = std::chrono::steady_clock::now();
        if (at < due)
            std::this_thread::sleep_until(due);
        else if (at - due > std::chrono::milliseconds(1))
            ++lateFrames_;
    }
    if (run.lateFrames)
        *run.lateFrames = lateFrames_;
    if (more && !stop_.load(std::memory_order_relaxed)) {
        // The run goes on: no lock.  A wake meanwhile is moot (the top of
        // the frame after the run forgets it); a stop is seen at the next.
        virtualFrames_.store(now - virtualBase_ + 1, std::memory_order_relaxed);
        now_.store(now + 1, std::memory_order_release);
        return true;
    }
    std::lock_guard w(wakeMutex_);
    virtualFrames_.store(now - virtualBase_ + 1, std::memory_order_relaxed);
    now_ = now + 1;
    if (more)
        return false;  // stopping: the top of the frame ends the thread
    virtualRun_ = nullptr;
    virtualBegun_ = false;
    // Real-time frames go on from here rather than catching up with the run.
    frameZero_ = std::chrono::steady_clock::now() - std::chrono::milliseconds(now_.load());
    virtualDone_.notify_all();
    return false;
}

}  // namespace world
