// A device at the far end of a pseudo-terminal: the library opens the slave path like a
// serial port, the test plays the device on the master side. Bytes the library writes are
// read back with Received(); what the device sends is scripted with Send() and
// SendAfter() (a delayed piece is sent from a scripting thread, so the test itself never
// sleeps to wait for readiness); HangUp() closes the master like a pulled cable.
#pragma once

#include <cstdint>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tavix_test {

using Bytes = std::vector<uint8_t>;

class FakeDevice {
public:
    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // Path of the slave side, to open with a SerialStream.
    const std::string& Path() const { return path; }
    int MasterFd() const { return master; }

    // Sends bytes as the device (all of them, now).
    void Send(const Bytes& bytes);
    // Sends each piece after the given delay since the previous piece, from a scripting
    // thread; the destructor (or Join) waits for the script to finish.
    void SendAfter(std::chrono::milliseconds delay, Bytes piece);
    // Hangs up after the given delay since the previous piece, in the same script.
    void HangUpAfter(std::chrono::milliseconds delay);
    void Join();
    // Everything the library has written so far that was not returned before; waits up to
    // `settle` for at least `at_least` bytes.
    Bytes Received(size_t at_least = 0, std::chrono::milliseconds settle = std::chrono::milliseconds(1000));
    // Closes the master: the slave sees a hang-up.
    void HangUp();

private:
    void After(std::chrono::milliseconds delay, std::function<void()> step);

    int master = -1;
    int slave_keepalive = -1;  // keeps the pty alive while the library has not opened it yet
    std::string path;
    std::vector<std::thread> script;
};

// Another process holding the exclusive lock on a port, as a program that uses it does, from
// construction (once Holding() is true) until destruction.
class LockHolder {
public:
    explicit LockHolder(const std::string& port);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Holding() const { return holding; }

private:
    int pid = -1;
    bool holding = false;
};

// Little-endian encodings for building frames.
Bytes Floats(std::initializer_list<float> values);
Bytes Concat(std::initializer_list<Bytes> parts);

}  // namespace tavix_test
