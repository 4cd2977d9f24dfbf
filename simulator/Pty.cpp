#include "Pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace tavix_devsim {

namespace {
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
    return written > 0 ? static_cast<size_t>(written) : 0;
}

void Pty::HangUp() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    master = slave = -1;
}

}  // namespace tavix_devsim
