/* The far end of the round-trip benchmark: answers every 13-byte force frame on the pty
 * master (file descriptor argv[1]) with a 25-byte state reply, as fast as it can.
 * With "--spin" it busy-polls the driver's count; otherwise it blocks in poll().
 * It ends when the other side hangs up. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { kFrame = 13, kReply = 25 };

static int wait_for_frame(int fd, int spin) {
    for (;;) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) < 0) return -1;
        if (waiting >= kFrame) return 0;
        if (!spin) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 1000) < 0 || (p.revents & (POLLHUP | POLLERR))) return -1;
        }
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s MASTER_FD [--spin]\n", argv[0]);
        return 2;
    }
    const int fd = atoi(argv[1]);
    const int spin = argc > 2 && strcmp(argv[2], "--spin") == 0;
    unsigned char frame[kFrame];
    unsigned char reply[kReply] = {0x2B};
    const float state[6] = {0.01f, 0.02f, 0.03f, 0.0f, 0.0f, 0.0f};
    memcpy(reply + 1, state, sizeof state);
    while (wait_for_frame(fd, spin) == 0) {
        if (read(fd, frame, kFrame) != kFrame) return 1;
        if (write(fd, reply, kReply) != kReply) return 1;
    }
    return 0;
}
