/* LD_PRELOAD shim for bench/drain_latency.py: a pseudo-terminal whose output
 * queue (TIOCOUTQ) reports data for SLOW_DRAIN_US microseconds after every
 * write, as a USB CDC-ACM port does while its data is in flight. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static __thread struct timespec last_write;

static long hold_us(void) {
    static long us = -1;
    if (us < 0) {
        const char *text = getenv("SLOW_DRAIN_US");
        us = text ? atol(text) : 5000;
    }
    return us;
}

ssize_t write(int fd, const void *buf, size_t n) {
    static ssize_t (*real)(int, const void *, size_t);
    if (!real) real = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    clock_gettime(CLOCK_MONOTONIC, &last_write);
    return real(fd, buf, n);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int result = real(fd, request, arg);
    if (result == 0 && request == TIOCOUTQ) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long since = (now.tv_sec - last_write.tv_sec) * 1000000L + (now.tv_nsec - last_write.tv_nsec) / 1000;
        if (since < hold_us() && *(int *)arg < 64) *(int *)arg = 64;
    }
    return result;
}
