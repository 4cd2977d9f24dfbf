#include "TavixHardwareAPI/SerialStream.h"

#include <fcntl.h>
#include <poll.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "TavixHardwareAPI/Cancellation.h"

namespace Tavix::HardwareAPI {

namespace {
constexpr const char* kModule = "Library/src/SerialStream";
constexpr unsigned kOpenFailedLine = 38;
constexpr unsigned kWriteFailedLine = 53;

// The "C" locale's messages are the English ones; strerror_l reads them without
// switching the locale of the host process.
locale_t EnglishMessages() {
    static const locale_t english = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return english;
}
}  // namespace

std::wstring ErrorText(int errnum) {
    const locale_t english = EnglishMessages();
    const char* text = english ? strerror_l(errnum, english) : nullptr;
    if (text == nullptr) text = "Unknown error";
    std::wstring wide;
    for (const char* p = text; *p; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

void PrintErrorLine(const char* module, unsigned line, const char* message, int err) {
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %ls\n", module, line, message, err, ErrorText(err).c_str());
    std::fflush(stderr);
}

namespace IO {

namespace {
using traits = std::char_traits<char>;

// The wall-clock deadline of one polled port read: expired after 1000 ms, or at once when
// the clock steps backwards, or when the calling thread's wait is cancelled.
class PolledWait {
public:
    PolledWait() { gettimeofday(&start, nullptr); }
    bool Expired() {
        // Never before the first attempt: bytes already waiting are always read.
        if (pacer.Cancelled(CancelPacer::Clock::now())) return true;
        timeval now{};
        gettimeofday(&now, nullptr);
        long seconds = now.tv_sec - start.tv_sec;
        long micros = now.tv_usec - start.tv_usec;
        if (micros < 0) {
            micros += 1000000;
            seconds -= 1;
        }
        const long elapsed_ms = seconds * 1000 + micros / 1000;
        return elapsed_ms < 0 || elapsed_ms > 999;
    }
    static void Pause() { usleep(100); }

private:
    timeval start{};
    CancelPacer pacer{CancelPacer::Clock::now()};
};
}  // namespace

serialib::~serialib() { ClosePort(); }

void serialib::ClosePort() {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int8_t serialib::OpenPort(const char* path) {
    fd = open(path, O_RDWR | O_NOCTTY | O_NDELAY);
    if (fd == -1) {
        open_error = errno;
        return -2;
    }
    open_error = 0;
    fcntl(fd, F_SETFL, O_NONBLOCK);

    termios options{};
    cfsetispeed(&options, B115200);
    cfsetospeed(&options, B115200);
    options.c_cc[VTIME] = 0;
    options.c_cc[VMIN] = 0;
    options.c_iflag = IGNBRK | IGNPAR;
    options.c_cflag |= CS8 | CREAD | CLOCAL;
    options.c_oflag = 0;
    options.c_lflag = 0;
    tcsetattr(fd, TCSANOW, &options);
    return 1;
}

void serialib::SetDTR() {
    int status = 0;
    ioctl(fd, TIOCMGET, &status);
    status |= TIOCM_DTR;
    ioctl(fd, TIOCMSET, &status);
}

std::basic_streambuf<char>* serialib::setbuf(char*, std::streamsize) { return this; }

bool serialib::Replay(const char* data, size_t n) {
    // The bytes read last came before whatever is still put back: they go in front of it.
    const size_t rest = Replaying();
    if (n + rest > kReplaySize) return false;
    std::array<char, kReplaySize> joined{};
    std::memcpy(joined.data(), data, n);
    std::memcpy(joined.data() + n, replay.data() + replay_at, rest);
    replay = joined;
    replay_at = 0;
    replay_end = n + rest;
    return true;
}

void serialib::Refuse(int err) {
    ClosePort();
    open_error = err;
}

size_t serialib::TakeReplay(char* s, size_t n) {
    const size_t taken = std::min(n, Replaying());
    std::memcpy(s, replay.data() + replay_at, taken);
    replay_at += taken;
    return taken;
}

serialib::int_type serialib::underflow() {
    if (Replaying() != 0) return traits::to_int_type(replay[replay_at]);
    if (fd == -1) return traits::eof();
    if (has_lookahead) return traits::to_int_type(lookahead);
    PolledWait wait;
    while (!wait.Expired()) {
        char byte = 0;
        const ssize_t got = read(fd, &byte, 1);
        if (got == 1) {
            lookahead = byte;
            has_lookahead = true;
            return traits::to_int_type(byte);
        }
        if (got < 0) return traits::eof();
        PolledWait::Pause();
    }
    return traits::eof();
}

serialib::int_type serialib::uflow() {
    char replayed = 0;
    if (TakeReplay(&replayed, 1) == 1) return traits::to_int_type(replayed);
    const int_type c = underflow();
    has_lookahead = false;
    return c;
}

std::streamsize serialib::xsgetn(char* s, std::streamsize n) {
    if (n <= 0) return 0;
    auto count = static_cast<std::streamsize>(TakeReplay(s, static_cast<size_t>(n)));
    if (count == n || fd == -1) return count;
    if (has_lookahead) {
        s[count++] = lookahead;
        has_lookahead = false;
        if (count == n) return count;
    }
    PolledWait wait;
    while (count < n && !wait.Expired()) {
        const ssize_t got = read(fd, s + count, static_cast<size_t>(n - count));
        if (got < 0) break;
        count += got;
        if (count < n) PolledWait::Pause();
    }
    return count;
}

std::streamsize serialib::showmanyc() {
    if (Replaying() != 0) return static_cast<std::streamsize>(Replaying());
    if (fd == -1) return 0;
    if (has_lookahead) return 1;
    const int flags = fcntl(fd, F_GETFL);
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
    std::streamsize answer = 0;
    PolledWait wait;
    while (!wait.Expired()) {
        const ssize_t got = read(fd, &lookahead, 1);
        if (got == 1) {
            has_lookahead = true;
            answer = 1;
            break;
        }
        if (got < 0) break;
        PolledWait::Pause();
    }
    if (fcntl(fd, F_SETFL, flags) == -1) return -1;
    return answer;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (traits::eq_int_type(c, traits::eof()) || has_lookahead || Replaying() != 0) return traits::eof();
    lookahead = traits::to_char_type(c);
    has_lookahead = true;
    return c;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits::eq_int_type(c, traits::eof())) return traits::eof();
    if (fd == -1) {
        errno = EBADF;  // what write() itself would say: the error line names the closed port
        return traits::eof();
    }
    const char byte = traits::to_char_type(c);
    return write(fd, &byte, 1) == 1 ? c : traits::eof();
}

std::streamsize serialib::xsputn(const char* s, std::streamsize n) {
    if (n <= 0) return 0;
    if (fd == -1) {
        errno = EBADF;
        return 0;
    }
    const ssize_t written = write(fd, s, static_cast<size_t>(n));
    return written < 0 ? 0 : written;
}

SerialStream::SerialStream(const char* port, bool open_now)
    : std::basic_iostream<char>(nullptr), port(port), line(Line::Unshared()) {
    // Said at once: otherwise the first sign would be a misleading write or timeout line later.
    if (open_now && Open() == -2) {
        const std::string message = "unable to open port '" + this->port + "'";
        PrintErrorLine(kModule, kOpenFailedLine, message.c_str(), OpenError());
    }
}

SerialStream::~SerialStream() {
    if (buffer) buffer->ClosePort();
}

int8_t SerialStream::Open() {
    try {
        buffer = std::make_unique<serialib>();
        rdbuf(buffer.get());
        line = Line::Unshared();
        if (buffer->OpenPort(port.c_str()) != 1) return -2;
        int err = 0;
        std::shared_ptr<Line> shared = Line::OfPort(buffer->Descriptor(), err);
        if (!shared) {
            // Another program's exchange is on this port: writing into it would corrupt both.
            buffer->Refuse(err);
            errno = err;
            return -2;
        }
        line = std::move(shared);
        buffer->SetDTR();
        return 1;
    } catch (...) {
        return -1;
    }
}

void SerialStream::Close() {
    if (buffer) buffer->ClosePort();
    line = Line::Unshared();  // lets go of the port's lock once no other stream of ours is on it
}

int SerialStream::Available() {
    if (!IsOpen()) return 0;
    int count = 0;
    // EIO: the line has hung up (cable pulled, device gone) and nothing can arrive any more.
    // Closing the port lets a wait without deadline end instead of spinning for ever.
    if (ioctl(buffer->Descriptor(), FIONREAD, &count) == -1 && errno == EIO) buffer->ClosePort();
    return count + static_cast<int>(buffer->Replaying());
}

bool SerialStream::Unread(const char* data, size_t n) { return buffer && buffer->Replay(data, n); }

void SerialStream::AwaitInput(std::chrono::microseconds limit) {
    if (!buffer || buffer->Descriptor() < 0 || buffer->Replaying() != 0 || limit.count() <= 0) return;
    pollfd port{buffer->Descriptor(), POLLIN, 0};
    const timespec wait{static_cast<time_t>(limit.count() / 1000000), static_cast<long>(limit.count() % 1000000) * 1000};
    ppoll(&port, 1, &wait, nullptr);
}

void SerialStream::Write(const char* data, size_t n) {
    write(data, static_cast<std::streamsize>(n));
    // On a closed port the write may not reach the descriptor at all (a failed stream skips
    // it), so errno would name some earlier failure.
    const int err = IsOpen() ? errno : EBADF;
    const iostate state = rdstate();
    if ((state & (failbit | badbit)) && !(state & eofbit)) {
        char message[64];
        std::snprintf(message, sizeof message, "unable to write '%zu' bytes to stream", n);
        PrintErrorLine(kModule, kWriteFailedLine, message, err);
    }
}

}  // namespace IO
}  // namespace Tavix::HardwareAPI
