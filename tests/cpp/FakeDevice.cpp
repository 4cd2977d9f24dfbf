#include "FakeDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>

namespace tavix_test {

LockHolder::LockHolder(const std::string& port) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
        const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
        const char locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &locked, 1);
        pause();
        _exit(0);
    }
    char locked = 0;
    holding = pid > 0 && read(ready[0], &locked, 1) == 1 && locked == 'y';
    close(ready[0]);
    close(ready[1]);
}

LockHolder::~LockHolder() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

FakeDevice::FakeDevice() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal");
    path = ptsname(master);
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    // Holding the slave open keeps the master from reporting a hang-up before the library opens it.
    slave_keepalive = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    tcgetattr(slave_keepalive, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_keepalive, TCSANOW, &raw);
}

FakeDevice::~FakeDevice() {
    Join();
    HangUp();
    if (slave_keepalive >= 0) close(slave_keepalive);
}

void FakeDevice::Send(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("fake device could not write");
        done += static_cast<size_t>(n);
    }
}

void FakeDevice::After(std::chrono::milliseconds delay, std::function<void()> step) {
    // Steps are chained: each thread waits for the one before it.
    std::thread previous = script.empty() ? std::thread() : std::move(script.back());
    if (!script.empty()) script.pop_back();
    script.emplace_back([delay, step = std::move(step), previous = std::move(previous)]() mutable {
        if (previous.joinable()) previous.join();
        std::this_thread::sleep_for(delay);
        step();
    });
}

void FakeDevice::SendAfter(std::chrono::milliseconds delay, Bytes piece) {
    After(delay, [this, piece = std::move(piece)] {
        if (master >= 0) Send(piece);
    });
}

void FakeDevice::HangUpAfter(std::chrono::milliseconds delay) {
    After(delay, [this] { HangUp(); });
}

void FakeDevice::Join() {
    for (auto& t : script)
        if (t.joinable()) t.join();
    script.clear();
}

Bytes FakeDevice::Received(size_t at_least, std::chrono::milliseconds settle) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + settle;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int wait_ms = out.size() >= at_least ? 0 : static_cast<int>(std::max<long>(left.count(), 0));
        if (poll(&p, 1, wait_ms) <= 0 || !(p.revents & POLLIN)) break;
        uint8_t chunk[4096];
        const ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0) break;
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

void FakeDevice::HangUp() {
    if (master >= 0) {
        close(master);
        master = -1;
    }
}

Bytes Floats(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace tavix_test
