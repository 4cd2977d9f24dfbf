// A SerialStream double backed by memory: the bytes a test feeds are what the "driver" has
// waiting (Available), reads take them in order, and every Write is recorded. No port,
// no pty, no sleeping: byte-level tests, benchmarks and fuzzers run the device code on it.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <streambuf>
#include <vector>

#include "TavixHardwareAPI/SerialStream.h"

namespace tavix_test {

class MemoryBuffer : public std::streambuf {
public:
    void Feed(const uint8_t* data, size_t n) {
        // Keep what is still unread, then append.
        std::vector<char> rest(gptr() ? gptr() : storage.data(), gptr() ? egptr() : storage.data());
        rest.insert(rest.end(), reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + n);
        storage.swap(rest);
        setg(storage.data(), storage.data(), storage.data() + storage.size());
    }
    // Makes the same bytes readable again without allocating (for repeated exchanges).
    void Rewind() { setg(storage.data(), storage.data(), storage.data() + storage.size()); }
    size_t Waiting() const { return static_cast<size_t>(egptr() - gptr()); }
    // Puts back the `n` bytes read last (they are still in storage).
    bool Unread(const char* data, size_t n) {
        if (gptr() == nullptr || static_cast<size_t>(gptr() - eback()) < n || std::memcmp(gptr() - n, data, n) != 0)
            return false;
        gbump(-static_cast<int>(n));
        return true;
    }

private:
    std::vector<char> storage;
};

class MemoryStream : public Tavix::HardwareAPI::IO::SerialStream {
public:
    MemoryStream() : SerialStream("memory", false) { rdbuf(&buffer); }
    void Feed(const std::vector<uint8_t>& bytes) { buffer.Feed(bytes.data(), bytes.size()); }
    void Feed(const uint8_t* data, size_t n) { buffer.Feed(data, n); }
    void Rewind() { buffer.Rewind(); }

    int Available() override { return static_cast<int>(buffer.Waiting()); }
    // Counts as an open port unless a test says otherwise (a wait on a closed port ends at once).
    bool IsOpen() const override { return open; }
    bool Unread(const char* data, size_t n) override { return buffer.Unread(data, n); }
    void Write(const char* data, size_t n) override {
        if (record) written.insert(written.end(), data, data + n);
        write_calls += 1;
        if (repeat_answer) {
            Rewind();
        } else if (!answers.empty()) {
            Feed(answers.front());
            answers.pop_front();
        }
    }

    // A device that answers only what it is asked: each Write makes the next of `answers`
    // waiting, or (with `repeat_answer`) the bytes fed last readable again, without allocating.
    std::deque<std::vector<uint8_t>> answers;
    bool repeat_answer = false;

    std::vector<uint8_t> written;
    bool open = true;
    bool record = true;  // benchmarks switch recording off to keep the exchange allocation-free
    size_t write_calls = 0;

private:
    MemoryBuffer buffer;
};

}  // namespace tavix_test
