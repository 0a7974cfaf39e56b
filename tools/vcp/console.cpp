// console.cpp - signals, status line, traces, verdict.
#include "console.hpp"

#include "debug_log.hpp"
#include "session.hpp"

#include <platform/platform.hpp>

#include <fmt/format.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <utility>

namespace vcp {

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

// How long a signal may wait for the command to take it.
constexpr auto kSignalPatience = std::chrono::seconds(3);

Signals::Signals()
{
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started from here on
    watcher_ = std::jthread([this](std::stop_token stop) { Watch(stop); });
}

Signals::~Signals()
{
    watcher_.request_stop();
    if (watcher_.joinable())
        watcher_.join();
}

void Signals::Watch(std::stop_token stop)
{
    const sigset_t set = StopSignals();
    while (!stop.stop_requested()) {
        timespec slice{0, 100 * 1000000L};
        int sig = sigtimedwait(&set, nullptr, &slice);
        std::unique_lock lock(mutex_);
        if (sig > 0) {
            if (pending_ || stopping_) {
                std::fprintf(stderr, "\nvcp: %s again: stopping at once\n", strsignal(sig));
                std::fflush(stderr);
                std::_Exit(128 + sig);
            }
            pending_ = sig;
            since_ = std::chrono::steady_clock::now();
            cv_.notify_all();
        } else if (pending_ && std::chrono::steady_clock::now() - since_ > kSignalPatience) {
            std::fprintf(stderr, "\nvcp: %s: stopping at once\n", strsignal(*pending_));
            std::fflush(stderr);
            std::_Exit(128 + *pending_);
        }
    }
}

std::optional<int> Signals::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return pending_.has_value(); }))
        return std::nullopt;
    stopping_ = true;
    return std::exchange(pending_, std::nullopt);
}

std::optional<int> Signals::Pending() const
{
    std::lock_guard lock(mutex_);
    return pending_;
}

Console::Console() : terminal_(isatty(STDOUT_FILENO) == 1) {}

void Console::ClearStatus()
{
    if (statusShown_) {
        fmt::print("\r\033[K");
        statusShown_ = false;
    }
}

void Console::Line(const std::string &text)
{
    std::lock_guard guard(mutex_);
    ClearStatus();
    fmt::print("{}\n", text);
    std::fflush(stdout);
}

void Console::Status(const std::string &steady, const std::string &moving)
{
    std::lock_guard guard(mutex_);
    if (terminal_) {
        fmt::print("\r\033[K{}  {}", steady, moving);
        statusShown_ = true;
    } else if (steady != lastSteady_) {
        fmt::print("status    {}\n", steady);
    }
    lastSteady_ = steady;
    std::fflush(stdout);
}

void Console::EndStatus()
{
    std::lock_guard guard(mutex_);
    if (statusShown_) {
        fmt::print("\n");
        statusShown_ = false;
    }
    std::fflush(stdout);
}

TraceEcho::TraceEcho(const SessionOptions &session) : log_(session.debugLog)
{
    if (log_)
        log_->Start();
    else if (session.debugLevel)
        platform::SetDebugEcho([](std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        });
}

TraceEcho::~TraceEcho()
{
    if (log_)
        log_->Stop();
    else
        platform::SetDebugEcho({});
}

bool PrintVerdict(const std::vector<Check> &checks)
{
    std::vector<std::string> failed;
    for (const Check &c : checks)
        if (!c.ok)
            failed.push_back(c.name);
    if (failed.empty()) {
        fmt::print("verdict   PASS: {} of {} checks passed\n", checks.size(), checks.size());
    } else {
        fmt::print("verdict   FAIL: {} of {} checks passed; failed: {}\n", checks.size() - failed.size(),
                   checks.size(), fmt::join(failed, ", "));
    }
    std::fflush(stdout);
    return failed.empty();
}

std::string Bytes(uint64_t n)
{
    if (n < 1024)
        return fmt::format("{} B", n);
    if (n < 1024 * 1024)
        return fmt::format("{:.1f} KiB", double(n) / 1024);
    return fmt::format("{:.1f} MiB", double(n) / (1024 * 1024));
}

}  // namespace vcp
