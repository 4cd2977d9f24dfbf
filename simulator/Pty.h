// One pseudo-terminal per simulated device: the host opens the slave path like a serial
// port, the simulator plays the device's firmware on the master side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavix_devsim {

class Pty {
public:
    // Opens a raw master/slave pair; throws std::runtime_error when the system has none left.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return path; }
    // The master descriptor (non-blocking), or -1 after HangUp.
    int Master() const { return master; }
    // Bytes the device sent that the host has not read yet (0 after HangUp).
    size_t HostBacklog() const;
    // Writes what it can without blocking; returns the count written (0 when the host's
    // queue is full or the line is down).
    size_t Write(const uint8_t* data, size_t n);
    // Closes both ends like a pulled cable: the host's reads then end and its writes fail.
    void HangUp();

    // The descriptor that becomes readable when a host opens or closes the slave (-1 when
    // opens cannot be watched: the host is then taken to have the port open all along).
    int OpenWatch() const { return watch; }
    // What the open and close events waiting on OpenWatch() say: whether a host came to the
    // port (no host had it before), and whether the last host left it. Reads them all.
    struct HostChanges {
        bool arrived = false;
        bool left = false;
    };
    HostChanges ReadOpenEvents();
    // True while some host has the slave open.
    bool HostHasPort() const { return watch < 0 || host_opens > 0; }
    // Drops the bytes the device sent that no host read, as a serial device's output is
    // lost while nobody has the port open. Bytes written to the master reach the host's
    // queue a little later: when the last write was recent, it first waits for them.
    void DiscardBacklog();

private:
    int master = -1;
    // Kept open so that the master never reports a hang-up while no host has the slave open,
    // and so that the host's unread backlog can be measured.
    int slave = -1;
    std::string path;
    // inotify on the slave's path: opens by hosts (the simulator's own came before the watch).
    int watch = -1;
    int host_opens = 0;
    std::chrono::steady_clock::time_point last_write{};
};

}  // namespace tavix_devsim
