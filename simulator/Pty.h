// One pseudo-terminal per simulated device: the host opens the slave path like a serial
// port, the simulator plays the device's firmware on the master side.
#pragma once

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

private:
    int master = -1;
    // Kept open so that the master never reports a hang-up while no host has the slave open,
    // and so that the host's unread backlog can be measured.
    int slave = -1;
    std::string path;
};

}  // namespace tavix_devsim
