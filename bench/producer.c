/* A device faster than the simulator: writes pre-built telemetry frames into
 * a pseudo-terminal as fast as the reader takes them.
 *
 *   producer FRAMES [RATE]
 *
 * Prints the port path, then for every line on standard input writes
 * exactly FRAMES frames (or the number the line holds), taken in turn from
 * a ring of RING distinct frames, and prints {"frames": F, "seconds": S}.
 * Without RATE the frames go out in large writes as fast as the pty takes
 * them; with RATE each frame is written on its own at RATE frames/s, the way
 * a UART hands over every frame as it completes.
 * The pty stays open until standard input closes, so that the reader can
 * take the rest of the stream.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { FRAME = 86, PAYLOAD = 76, RING = 4096 };

static uint16_t crc_table[256];

static void make_table(void) {
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0x8408u : c >> 1;
        crc_table[i] = (uint16_t)c;
    }
}

static uint16_t crc16(const unsigned char* p, size_t n) {
    uint16_t c = 0;
    while (n--) c = (uint16_t)(crc_table[(c ^ *p++) & 0xFFu] ^ (c >> 8));
    return c;
}

static void put_f32(unsigned char* p, float v) { memcpy(p, &v, 4); }  /* little-endian host */

static void build_frame(unsigned char* f, unsigned i) {
    double t = i / 200.0;
    float q[4] = {(float)cos(t), (float)(0.6 * sin(t)), (float)(0.48 * sin(t)), (float)(0.64 * sin(t))};
    float vals[17] = {20.0f + (float)sin(t), 98000.0f + (float)(10 * cos(t)), (float)(0.1 * sin(t)), 0.2f,
                      0.97f, 1.0f, 2.0f, (float)(3 * cos(t)), 20.0f, -5.0f, -40.0f, 250.0f + (float)t,
                      (float)(3 * sin(t)), q[0], q[1], q[2], q[3]};
    double ts = i * 1e-3;
    f[0] = 0x5A; f[1] = 0xA5; f[2] = 0; f[3] = 0;
    f[4] = PAYLOAD; f[5] = 0; f[6] = 0; f[7] = 0;
    memcpy(f + 8, &ts, 8);
    for (int k = 0; k < 17; ++k) put_f32(f + 16 + 4 * k, vals[k]);
    uint16_t c = crc16(f, FRAME - 2);
    f[FRAME - 2] = (unsigned char)(c & 0xFF);
    f[FRAME - 1] = (unsigned char)(c >> 8);
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* One frame per write, frame k due at start + k / rate. */
static int paced(int fd, const unsigned char* ring, unsigned long long count, double rate,
                 size_t* offset) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (unsigned long long k = 0; k < count; ++k) {
        double due = (double)k / rate;
        struct timespec at = start;
        long long ns = (long long)(due * 1e9) + at.tv_nsec;
        at.tv_sec += (time_t)(ns / 1000000000LL);
        at.tv_nsec = (long)(ns % 1000000000LL);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
        }
        size_t done = 0;
        while (done < FRAME) {
            ssize_t w = write(fd, ring + *offset + done, FRAME - done);
            if (w < 0) {
                if (errno == EINTR) continue;
                perror("write");
                return -1;
            }
            done += (size_t)w;
        }
        *offset = (*offset + FRAME) % ((size_t)RING * FRAME);
    }
    return 0;
}

static void make_raw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: %s FRAMES [RATE]\n", argv[0]);
        return 2;
    }
    unsigned long long frames = strtoull(argv[1], NULL, 10);
    double rate = argc == 3 ? atof(argv[2]) : 0.0;
    make_table();
    static unsigned char ring[RING * FRAME];
    for (unsigned i = 0; i < RING; ++i) build_frame(ring + (size_t)i * FRAME, i);

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("pty");
        return 2;
    }
    const char* name = ptsname(master);
    /* Our own slave descriptor keeps the link up while the client opens and
     * closes the port. */
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        perror(name);
        return 2;
    }
    make_raw(slave);
    make_raw(master);
    printf("%s\n", name);
    fflush(stdout);

    char line[64];
    size_t offset = 0;
    while (fgets(line, sizeof line, stdin)) {
        unsigned long long count = strtoull(line, NULL, 10);
        if (count == 0) count = frames;
        unsigned long long left = count * FRAME;
        double t0 = now();
        if (rate > 0) {
            left = 0;
            if (paced(master, ring, count, rate, &offset) != 0) return 1;
        }
        while (left > 0) {
            size_t n = sizeof ring - offset;
            if (n > left) n = (size_t)left;
            ssize_t w = write(master, ring + offset, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                perror("write");
                return 1;
            }
            left -= (unsigned long long)w;
            offset = (offset + (size_t)w) % sizeof ring;
        }
        printf("{\"frames\": %llu, \"seconds\": %.6f}\n", count, now() - t0);
        fflush(stdout);
    }
    close(slave);
    close(master);
    return 0;
}
