/* Where a blocked caller's microseconds go: the time from a write into a
 * pseudo-terminal to the moment a thread holds the bytes, read by that thread
 * itself (what bench/floor.c does), or read by a second thread that hands them
 * over through a mutex and a condition variable (what the library's reader
 * thread does for a caller blocked in get_data_packets(block=True)).
 *
 *   cc -O2 -pthread -o /tmp/handoff bench/handoff.c && /tmp/handoff [SAMPLES]
 *
 * A child process plays the device: one stamped frame every 2-4 ms. Prints p50
 * and p99 of both delays in microseconds; their difference is what the second
 * wake-up costs on this machine. */
#define _GNU_SOURCE
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int slave_fd;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ready = PTHREAD_COND_INITIALIZER;
static int handed = 0;
static double handed_stamp;

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

/* Blocks for the next frame; its stamp. */
static double read_frame(void) {
    struct pollfd fd = {slave_fd, POLLIN, 0};
    char buf[1024];
    double stamp;
    poll(&fd, 1, -1);
    if (read(slave_fd, buf, sizeof buf) < (ssize_t)sizeof stamp) exit(1);
    memcpy(&stamp, buf, sizeof stamp);
    return stamp;
}

static void *reader(void *arg) {
    int n = *(int *)arg;
    for (int i = 0; i < n; ++i) {
        double stamp = read_frame();
        pthread_mutex_lock(&lock);
        handed = 1;
        handed_stamp = stamp;
        pthread_cond_signal(&ready);
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static void report(const char *what, double *d, int n) {
    qsort(d, n, sizeof *d, compare);
    printf("%-44s p50 %7.1f us  p99 %7.1f us\n", what, d[n / 2], d[(int)(0.99 * (n - 1))]);
}

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 2000;
    int master;
    if (openpty(&master, &slave_fd, NULL, NULL, NULL) != 0) return 1;
    struct termios t;
    tcgetattr(slave_fd, &t);
    cfmakeraw(&t);
    tcsetattr(slave_fd, TCSANOW, &t);

    pid_t device = fork();
    if (device == 0) {
        char frame[86];
        memset(frame, 0x5a, sizeof frame);
        for (int i = 0; i < 2 * n + 10; ++i) {
            usleep(2000 + rand() % 2000);
            double stamp = now_us();
            memcpy(frame, &stamp, sizeof stamp);
            if (write(master, frame, sizeof frame) != (ssize_t)sizeof frame) _exit(1);
        }
        pause();
        _exit(0);
    }
    double *direct = malloc(n * sizeof *direct), *handoff = malloc(n * sizeof *handoff);
    for (int i = 0; i < n; ++i) direct[i] = now_us() - read_frame();

    pthread_t thread;
    pthread_create(&thread, NULL, reader, &n);
    for (int i = 0; i < n; ++i) {
        pthread_mutex_lock(&lock);
        while (!handed) pthread_cond_wait(&ready, &lock);
        handed = 0;
        handoff[i] = now_us() - handed_stamp;
        pthread_mutex_unlock(&lock);
    }
    pthread_join(thread, NULL);
    kill(device, SIGKILL);
    report("read by the waiting thread (the floor)", direct, n);
    report("read by a reader thread, handed over", handoff, n);
    return 0;
}
