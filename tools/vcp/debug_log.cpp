// debug_log.cpp - the drivers' traces in a file, stamped line by line.
#include "debug_log.hpp"

#include <platform/platform.hpp>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vcp {

namespace {

constexpr uint64_t kSmallestLimit = 4096;

const char *IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return nullptr;
    }
}

std::string LocalTime(const char *format, time_t t)
{
    tm local{};
    localtime_r(&t, &local);
    char text[64];
    return std::strftime(text, sizeof text, format, &local) ? text : "?";
}

}  // namespace

DebugLog::DebugLog(const std::string &path, uint64_t limit, const std::string &about) : path_(path), limit_(limit)
{
    if (limit_ < kSmallestLimit)
        throw std::runtime_error(fmt::format("--debug-log-limit {}: a log needs at least {} bytes", limit_,
                                             kSmallestLimit));
    if (path_ == "-") {
        fd_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    } else {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        struct stat st{};
        regular_ = fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    }
    if (fd_ < 0)
        throw std::runtime_error(fmt::format("--debug-log: cannot write {}: {}",
                                             path_ == "-" ? "standard error" : path_, std::strerror(errno)));
    std::lock_guard lock(mutex_);
    WriteLine(fmt::format("# vcp debug log, {}: {}\n", LocalTime("%Y-%m-%d %H:%M:%S %Z", std::time(nullptr)), about));
    WriteLine("# time of day (wall clock) | host controller frame | processor | IRQL | norva's and tembris's "
              "DbgPrint text\n");
}

DebugLog::~DebugLog() { Stop(); }

void DebugLog::Start()
{
    {
        std::lock_guard lock(mutex_);
        if (started_ || stopped_)
            return;
        started_ = true;
    }
    platform::SetDebugEcho([this](std::string_view text) { Print(text); });
}

void DebugLog::Stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return;
    }
    // No new call of Print after this returns.
    platform::SetDebugEcho({});
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (auto &[thread, p] : pending_)
        if (!p.text.empty())
            WriteLine(p.stamp + p.text + "\n");
    pending_.clear();
    if (full_)
        WriteLine(fmt::format("# {} later line(s) were not written\n", stats_.droppedLines));
    WriteLine(fmt::format("# log ends, {}: {} line(s){}\n", LocalTime("%H:%M:%S", std::time(nullptr)), stats_.lines,
                          stats_.rotations ? fmt::format(", {} rotation(s)", stats_.rotations) : ""));
    ::close(fd_);
    fd_ = -1;
}

void DebugLog::SetFrameSource(std::function<uint64_t()> frame)
{
    std::lock_guard lock(mutex_);
    frame_ = std::move(frame);
}

std::string DebugLog::Stamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const KIRQL irql = KeGetCurrentIrql();
    const char *name = IrqlName(irql);
    const int cpu = sched_getcpu();
    return fmt::format("{}.{:06} f{:>8} cpu{} {:<14} ", LocalTime("%H:%M:%S", now.tv_sec), now.tv_nsec / 1000,
                       frame_ ? fmt::format("{}", frame_()) : std::string("-"), cpu < 0 ? 0 : cpu,
                       name ? name : fmt::format("IRQL {}", int(irql)));
}

void DebugLog::Print(std::string_view text)
{
    std::lock_guard lock(mutex_);
    if (stopped_)
        return;
    Pending &p = pending_[std::this_thread::get_id()];
    for (char c : text) {
        if (c == '\r' || c == '\a')
            continue;  // line ends are "\n" here; a kernel debugger's bell is not text
        if (p.stamp.empty())
            p.stamp = Stamp();
        if (c != '\n') {
            p.text += c;
            continue;
        }
        WriteLine(p.stamp + p.text + "\n");
        p.stamp.clear();
        p.text.clear();
    }
}

bool DebugLog::Rotate()
{
    const std::string old = path_ + ".1";
    ::close(fd_);
    fd_ = -1;
    if (::rename(path_.c_str(), old.c_str()) != 0 ||
        (fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0) {
        stats_.failure = fmt::format("rotating {}: {}", path_, std::strerror(errno));
        return false;
    }
    written_ = 0;
    ++stats_.rotations;
    return true;
}

void DebugLog::WriteLine(const std::string &line)
{
    if (fd_ < 0 || !stats_.failure.empty())
        return;
    const bool note = line[0] == '#';
    if (!note && written_ + line.size() > limit_) {
        if (full_) {
            ++stats_.droppedLines;
            return;
        }
        if (!regular_) {
            full_ = true;
            ++stats_.droppedLines;
            WriteLine(fmt::format("# the log reached its limit of {} bytes: later lines are not written\n", limit_));
            return;
        }
        if (!Rotate())
            return;
        WriteLine(fmt::format("# continued: the {} bytes before are in {}.1\n", limit_, path_));
    }
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            stats_.failure = fmt::format("writing {}: {}", path_, n < 0 ? std::strerror(errno) : "nothing written");
            return;
        }
        done += size_t(n);
    }
    written_ += line.size();
    if (!note)
        ++stats_.lines;
}

DebugLog::Stats DebugLog::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

}  // namespace vcp
