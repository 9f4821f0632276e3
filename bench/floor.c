/* The least any client can spend on the stream: poll the port, read it,
 * count the bytes, nothing else.
 *
 *   floor PORT SECONDS [WARMUP [OPTIONS]]
 *                                 read for WARMUP s (default 1), then SECONDS s
 *                                 more, and print the CPU time of that window
 *   floor PORT --bytes N          read until N bytes have come, and print the
 *                                 time from the first byte to the last
 *   floor PORT --latency N        read N telemetry frames, each stamped by its
 *                                 writer with CLOCK_MONOTONIC in its timestamp
 *                                 field, and print each one's delay in seconds
 *
 * OPTIONS take the loop step by step towards the library's reader, to show
 * what each step costs: --thread reads in a second thread while the main
 * thread wakes every 10 ms (as a script calling get_data_packets does),
 * --wake-fd waits with ppoll on the port and an eventfd, --read-size N reads
 * N bytes at most (the library reads 1024).
 *
 * One line of JSON goes to standard output.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static double cpu(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

static int open_port(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        perror(path);
        exit(2);
    }
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CREAD | CLOCAL;
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

static unsigned char buf[65536];
static size_t read_size = sizeof buf;
static int wake_fd = -1;

/* One wait and one read; the byte count, 0 on a time-out, -1 on failure. */
static long read_once(int fd) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int ready;
    if (wake_fd >= 0) {
        const struct timespec limit = {0, 100000000};
        ready = ppoll(p, 2, &limit, NULL);
    } else {
        ready = poll(p, 1, 100);
    }
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0 || !(p[0].revents & POLLIN)) return 0;
    ssize_t got = read(fd, buf, read_size);
    if (got < 0) return (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    if (got == 0) return -1;
    return (long)got;
}

struct counts {
    int fd;
    atomic_int stop;
    atomic_ullong bytes, reads;
};

static void* reader(void* arg) {
    struct counts* c = arg;
    while (!c->stop) {
        long got = read_once(c->fd);
        if (got < 0) break;
        c->bytes += (unsigned long long)got;
        c->reads += got > 0;
    }
    return NULL;
}

/* The reading in a thread of its own; the main thread only wakes every 10 ms. */
static int threaded(int fd, double seconds, double warmup) {
    struct counts c;
    c.fd = fd;
    atomic_init(&c.stop, 0);
    atomic_init(&c.bytes, 0);
    atomic_init(&c.reads, 0);
    pthread_t thread;
    if (pthread_create(&thread, NULL, reader, &c) != 0) return 2;
    const struct timespec tick = {0, 10000000};
    double end = now() + warmup;
    while (now() < end) nanosleep(&tick, NULL);
    unsigned long long b0 = c.bytes, r0 = c.reads;
    double c0 = cpu(), t0 = now();
    end = t0 + seconds;
    while (now() < end) nanosleep(&tick, NULL);
    double c1 = cpu(), t1 = now();
    unsigned long long b1 = c.bytes, r1 = c.reads;
    c.stop = 1;
    pthread_join(thread, NULL);
    printf("{\"cpu_s\": %.6f, \"wall_s\": %.6f, \"bytes\": %llu, \"reads\": %llu}\n", c1 - c0, t1 - t0,
           b1 - b0, r1 - r0);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s PORT SECONDS [WARMUP] | PORT --bytes N | PORT --latency N\n", argv[0]);
        return 2;
    }
    int fd = open_port(argv[1]);
    unsigned long long bytes = 0, reads = 0;

    if (strcmp(argv[2], "--bytes") == 0 && argc > 3) {
        unsigned long long want = strtoull(argv[3], NULL, 10);
        double first = 0.0;
        while (bytes < want) {
            long got = read_once(fd);
            if (got < 0) break;
            if (got > 0 && bytes == 0) first = now();
            bytes += (unsigned long long)got;
            reads += got > 0;
        }
        double seconds = now() - first;
        printf("{\"bytes\": %llu, \"reads\": %llu, \"seconds\": %.6f}\n", bytes, reads, seconds);
        return bytes == want ? 0 : 1;
    }

    if (strcmp(argv[2], "--latency") == 0 && argc > 3) {
        /* The stream is nothing but 86-byte frames, each holding its writer's
         * stamp as the f64 at offset 8; a frame counts when its last byte is read. */
        unsigned long want = strtoul(argv[3], NULL, 10), seen = 0;
        static unsigned char acc[2 * sizeof buf];
        size_t held = 0;
        printf("{\"delays\": [");
        while (seen < want) {
            long got = read_once(fd);
            if (got < 0) return 1;
            const double at = now();
            memcpy(acc + held, buf, (size_t)got);
            held += (size_t)got;
            size_t off = 0;
            for (; off + 86 <= held && seen < want; off += 86) {
                double stamp;
                memcpy(&stamp, acc + off + 8, sizeof stamp);
                printf("%s%.9f", seen++ ? ", " : "", at - stamp);
            }
            memmove(acc, acc + off, held - off);
            held -= off;
        }
        printf("]}\n");
        return 0;
    }

    double seconds = atof(argv[2]);
    double warmup = argc > 3 ? atof(argv[3]) : 1.0;
    int use_thread = 0;
    for (int i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "--thread") == 0) {
            use_thread = 1;
        } else if (strcmp(argv[i], "--wake-fd") == 0) {
            wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        } else if (strcmp(argv[i], "--read-size") == 0 && i + 1 < argc) {
            read_size = (size_t)strtoul(argv[++i], NULL, 10);
            if (read_size == 0 || read_size > sizeof buf) read_size = sizeof buf;
        }
    }
    if (use_thread) return threaded(fd, seconds, warmup);
    double end = now() + warmup;
    while (now() < end)
        if (read_once(fd) < 0) return 1;
    double c0 = cpu(), t0 = now();
    end = t0 + seconds;
    while (now() < end) {
        long got = read_once(fd);
        if (got < 0) return 1;
        bytes += (unsigned long long)got;
        reads += got > 0;
    }
    printf("{\"cpu_s\": %.6f, \"wall_s\": %.6f, \"bytes\": %llu, \"reads\": %llu}\n", cpu() - c0,
           now() - t0, bytes, reads);
    return 0;
}
