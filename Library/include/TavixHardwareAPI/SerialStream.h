// The byte stream over one POSIX serial port.
//
// `serialib` is an unbuffered std::streambuf over one serial-port descriptor: every read
// goes to the port (polling for at most one second), every write is one write() call.
// `IO::SerialStream` is the std::iostream that owns one and adds Close, Available and
// Write, the three operations the device layer uses.
//
// Threads: no locking. A stream and its buffer belong to one thread at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <istream>
#include <streambuf>
#include <string>

#include "TavixHardwareAPI/Line.h"

namespace Tavix::HardwareAPI {

// Renders an errno value for an error line: the English strerror text, widened byte by byte.
// Never touches the process locale, so it is safe inside a host program and from any thread.
std::wstring ErrorText(int errnum);

// Prints one error line on standard error and flushes it:
//   "[err] <module>:<line>> <message>: [<err>] <ErrorText(err)>\n"
// `module` is the reporting source path ("Library/src/Device"), `err` the errno value
// captured when the failure was detected.
void PrintErrorLine(const char* module, unsigned line, const char* message, int err);

namespace IO {

class serialib : public std::basic_streambuf<char> {
public:
    serialib() = default;
    ~serialib() override;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // Opens `path` (not owned, must be NUL-terminated) read-write, non-blocking, as
    // 115200 baud 8N1 raw with no flow control. Returns 1 when open, -2 when open() failed
    // (OpenError() tells why; the buffer stays closed). Call at most once.
    int8_t OpenPort(const char* path);
    // The errno of the failed open(), 0 when the port opened or was never tried.
    int OpenError() const { return open_error; }
    // Asserts the DTR modem line; failures are ignored (a pty has no modem lines).
    void SetDTR();

    // The open descriptor, or -1.
    int Descriptor() const { return fd; }
    // Closes the descriptor (if open); reads then end at once and writes fail.
    void ClosePort();

    // Closes the port just opened and records `err` as the reason it could not be used.
    void Refuse(int err);

    static constexpr size_t kReplaySize = 32;
    // Puts back the `n` bytes read last: the next reads take them again before anything else,
    // including bytes put back earlier and not read again yet. False (nothing put back) when
    // they would not fit in kReplaySize with those.
    bool Replay(const char* data, size_t n);
    // Bytes put back by Replay and not read again yet.
    size_t Replaying() const { return replay_end - replay_at; }

protected:
    std::basic_streambuf<char>* setbuf(char* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    // Takes up to `n` replayed bytes into `s`; returns how many.
    size_t TakeReplay(char* s, size_t n);

    std::array<char, kReplaySize> replay{};
    size_t replay_at = 0, replay_end = 0;
    char lookahead = 0;
    bool has_lookahead = false;
    int fd = -1;
    int open_error = 0;
};

class SerialStream : public std::basic_iostream<char> {
public:
    // Keeps a copy of the path `port` and, when `open_now` is true, opens it at once. A port
    // that cannot be opened throws nothing and leaves a usable but closed stream; when
    // open() failed, the constructor prints one error line with its errno:
    //   "[err] Library/src/SerialStream:38> unable to open port '<port>': [<errno>] <text>"
    // (Open called later, as discovery probes do, prints nothing: see OpenError).
    explicit SerialStream(const char* port, bool open_now = true);
    ~SerialStream() override;
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // Creates and installs a new buffer (clearing the stream state) and opens the port for
    // this process's exclusive use (see Line). Returns 1 when open, -2 when open() failed or
    // another process holds the port (errno and OpenError tell why: EBUSY for the latter), -1
    // when an exception was raised.
    int8_t Open();
    // Closes the port but keeps the buffer: later reads end at once, writes fail.
    virtual void Close();
    // Bytes waiting in the driver's receive queue (FIONREAD), and any put back by Unread; 0
    // when closed or on error. A line that has hung up (FIONREAD fails with EIO) is closed
    // here: nothing can arrive.
    virtual int Available();
    // Sleeps until a byte can be read or `limit` has passed, without using the processor
    // (poll()); returns at once when the port is closed or bytes were put back.
    void AwaitInput(std::chrono::microseconds limit);
    // Puts back the `n` bytes read last (at most serialib::kReplaySize), so that the next
    // reads take them again and Available counts them. False when they could not be.
    virtual bool Unread(const char* data, size_t n);
    // Writes `n` bytes with one write() call; on failure sets badbit (or failbit when the
    // stream was already failed) and prints the error line, unless eofbit was set by an
    // earlier read, in which case it fails silently. The state flags are sticky.
    virtual void Write(const char* data, size_t n);

    // True while the port's descriptor is open.
    virtual bool IsOpen() const { return buffer && buffer->Descriptor() >= 0; }
    // The path given to the constructor.
    const std::string& Port() const { return port; }
    // The errno of the last open() that failed, 0 when the port opened or was never tried.
    int OpenError() const { return buffer ? buffer->OpenError() : 0; }
    // What every user of this port in the process shares (its own while the port is closed).
    Line& SharedLine() const { return *line; }
    std::shared_ptr<Line> SharedLineHandle() const { return line; }

private:
    std::string port;
    std::unique_ptr<serialib> buffer;
    std::shared_ptr<Line> line;
};

}  // namespace IO
}  // namespace Tavix::HardwareAPI
