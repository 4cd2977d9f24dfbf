/* The floor of a round trip: one write of the 13-byte force frame, busy-polling FIONREAD
 * until the 25-byte reply is waiting, one read. Nothing a library could do is cheaper. */
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Runs `n` round trips on the serial port at `path`, storing each one's seconds in
 * `latencies`. Returns the number completed (less than n when the line failed). */
int tavix_bench_floor(const char* path, int n, double* latencies) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    struct termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    unsigned char frame[13] = {0x2A};
    unsigned char reply[25];
    int done = 0;
    for (; done < n; ++done) {
        const double start = now_seconds();
        if (write(fd, frame, sizeof frame) != (ssize_t)sizeof frame) break;
        int waiting = 0;
        do {
            if (ioctl(fd, FIONREAD, &waiting) < 0) goto out;
        } while (waiting < (int)sizeof reply);
        if (read(fd, reply, sizeof reply) != (ssize_t)sizeof reply) break;
        latencies[done] = now_seconds() - start;
    }
out:
    close(fd);
    return done;
}
