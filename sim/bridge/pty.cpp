// pty.cpp - the pseudo-terminal: master in packet mode, slave raw with EXTPROC.
#include "bridge/pty.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace bridge {

namespace {

[[noreturn]] void Fail(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// What a symlink points at; empty when it is none.
std::string ReadLink(const std::string &path)
{
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : std::string();
}

// "/dev/pts/7": where Linux puts a pseudo-terminal's slave.
bool IsPseudoTerminalPath(const std::string &path)
{
    constexpr std::string_view prefix = "/dev/pts/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// Milliseconds left until deadline, for poll.
int Remaining(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : int(left.count());
}

}  // namespace

PseudoTerminal::PseudoTerminal()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        Fail("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        int e = errno;
        close(master_);
        errno = e;
        Fail("unlocking the pseudo-terminal");
    }
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        int e = errno;
        close(master_);
        errno = e;
        Fail("opening the pseudo-terminal's slave");
    }

    // Raw, 8 bits, receiver on, modem lines ignored; EXTPROC so that every
    // settings change is reported to the master in packet mode.
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_lflag |= EXTPROC;
    cfsetspeed(&t, B9600);
    tcsetattr(slave_, TCSANOW, &t);

    int on = 1;
    if (ioctl(master_, TIOCPKT, &on) != 0) {
        int e = errno;
        close(slave_);
        close(master_);
        errno = e;
        Fail("TIOCPKT");
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal()
{
    // Only our own link: someone may have put another in its place.
    if (!link_.empty() && ReadLink(link_) == path_)
        unlink(link_.c_str());
    close(slave_);
    close(master_);
}

bool PseudoTerminal::Link(const std::string &linkPath, std::string *error, std::string *note)
{
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = linkPath + " exists and is not a symlink: not replacing it";
            return false;
        }
        const std::string target = ReadLink(linkPath);
        if (!IsPseudoTerminalPath(target)) {
            *error = linkPath + " points at " + target + ", not at a pseudo-terminal: not replacing it";
            return false;
        }
        struct stat t {};
        if (stat(target.c_str(), &t) == 0) {
            *error = linkPath + " points at " + target +
                     ", a pseudo-terminal in use (another vcp's, or another program's): not replacing it";
            return false;
        }
        // Its pseudo-terminal is gone: the link was left behind.
        if (unlink(linkPath.c_str()) != 0 && errno != ENOENT) {
            *error = "cannot remove the stale link " + linkPath + ": " + std::generic_category().message(errno);
            return false;
        }
        if (note)
            *note = "replaced the stale link " + linkPath + " (its pseudo-terminal " + target + " is gone)";
    }
    if (symlink(path_.c_str(), linkPath.c_str()) != 0) {
        *error = "cannot create " + linkPath + ": " + std::generic_category().message(errno) +
                 (errno == EEXIST ? " (another program made it meanwhile)" : "");
        return false;
    }
    link_ = linkPath;
    return true;
}

PseudoTerminal::ReadResult PseudoTerminal::Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout)
{
    ReadResult r;
    // In packet mode every read starts with a status byte: 0 (TIOCPKT_DATA)
    // before data, otherwise flags alone.  The data lands in the caller's
    // buffer directly.  The master does not block: what is there is read at
    // once, and poll waits only when nothing is.
    uint8_t status = 0;
    iovec parts[2] = {{&status, 1}, {buffer.data(), buffer.size()}};
    ssize_t n = readv(master_, parts, 2);
    if (n < 0 && (errno == EAGAIN || errno == EINTR) && timeout.count() > 0) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, int(timeout.count())) <= 0)
            return r;
        n = readv(master_, parts, 2);
    }
    if (n < 0) {
        r.closed = errno != EAGAIN && errno != EINTR;
        return r;
    }
    if (n == 0)
        return r;
    if (status == TIOCPKT_DATA) {
        r.bytes = size_t(n - 1);
    } else {
        r.settingsChanged = (status & TIOCPKT_IOCTL) != 0;
        r.flushedInput = (status & TIOCPKT_FLUSHREAD) != 0;
        r.flushedOutput = (status & TIOCPKT_FLUSHWRITE) != 0;
    }
    return r;
}

size_t PseudoTerminal::Write(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (n > 0)
            done += size_t(n);
        // A write that took less than it was offered found the terminal's
        // buffer full: wait for room rather than ask again at once.
        if (done == bytes.size() || (n < 0 && errno == EINTR))
            continue;
        pollfd p{master_, POLLOUT, 0};
        int left = Remaining(deadline);
        if (left == 0 || poll(&p, 1, left) <= 0)
            break;
    }
    return done;
}

PseudoTerminal::LineView PseudoTerminal::Line() const
{
    LineView v;
    GetTerminalSpeed(master_, &v.speed, &v.twoStopBits);
    return v;
}

bool PseudoTerminal::SetLine(const LineView &line)
{
    return SetTerminalSpeed(master_, line.speed, line.twoStopBits);
}

}  // namespace bridge
