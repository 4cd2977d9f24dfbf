#include "Pty.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace tavix_devsim {

namespace {
// How long bytes written to the master may take to reach the host's queue.
constexpr auto kInFlight = std::chrono::milliseconds(20);

void MakeRaw(int fd) {
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) return;
    cfmakeraw(&attributes);
    tcsetattr(fd, TCSANOW, &attributes);
}
}  // namespace

Pty::Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        HangUp();
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        HangUp();
        throw std::runtime_error("cannot name the pseudo-terminal");
    }
    path = name;
    // Raw before any host opens the slave: no echo, no line editing, no CR/LF translation.
    MakeRaw(master);
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        HangUp();
        throw std::runtime_error("cannot open the pseudo-terminal's slave");
    }
    MakeRaw(slave);
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE) < 0) {
        close(watch);
        watch = -1;
    }
}

Pty::~Pty() { HangUp(); }

size_t Pty::HostBacklog() const {
    int waiting = 0;
    if (slave < 0 || ioctl(slave, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<size_t>(waiting);
}

size_t Pty::Write(const uint8_t* data, size_t n) {
    if (master < 0 || n == 0) return 0;
    ssize_t written;
    do {
        written = write(master, data, n);
    } while (written < 0 && errno == EINTR);
    last_write = std::chrono::steady_clock::now();
    return written > 0 ? static_cast<size_t>(written) : 0;
}

void Pty::HangUp() {
    if (watch >= 0) close(watch);
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    master = slave = watch = -1;
}

Pty::HostChanges Pty::ReadOpenEvents() {
    HostChanges changes;
    alignas(inotify_event) char events[4096];
    ssize_t got;
    while (watch >= 0 && (got = read(watch, events, sizeof events)) > 0) {
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (event->mask & IN_Q_OVERFLOW) {
                host_opens = 1;  // events lost: take the port to be open, as without a watch
            } else if (event->mask & IN_OPEN) {
                changes.arrived |= host_opens++ == 0;
            } else if ((event->mask & IN_CLOSE) && host_opens > 0) {
                changes.left |= --host_opens == 0;
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
    return changes;
}

void Pty::DiscardBacklog() {
    if (slave < 0) return;
    std::this_thread::sleep_until(last_write + kInFlight);
    tcflush(slave, TCIFLUSH);
}

}  // namespace tavix_devsim
