#include "port/termios2.hpp"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace vyre {

namespace {

int ioctl_retrying(int fd, unsigned long request, void* arg) {
    for (;;) {
        if (::ioctl(fd, request, arg) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

int apply_line_settings(int fd, std::uint32_t baud_rate) {
    termios2 tio{};
    if (int err = ioctl_retrying(fd, TCGETS2, &tio)) return err;

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    tio.c_iflag |= IGNPAR;

    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = baud_rate;
    tio.c_ispeed = baud_rate;

    return ioctl_retrying(fd, TCSETS2, &tio);
}

int read_line_settings(int fd, LineSettings& out) {
    termios2 tio{};
    if (int err = ioctl_retrying(fd, TCGETS2, &tio)) return err;
    out.input_flags = tio.c_iflag;
    out.output_flags = tio.c_oflag;
    out.control_flags = tio.c_cflag;
    out.local_flags = tio.c_lflag;
    out.input_speed = tio.c_ispeed;
    out.output_speed = tio.c_ospeed;
    out.exact_output_rate = (tio.c_cflag & CBAUD) == BOTHER;
    out.exact_input_rate = ((tio.c_cflag >> IBSHIFT) & CBAUD) == BOTHER;
    switch (tio.c_cflag & CSIZE) {
        case CS5: out.data_bits = 5; break;
        case CS6: out.data_bits = 6; break;
        case CS7: out.data_bits = 7; break;
        default: out.data_bits = 8; break;
    }
    out.parity = (tio.c_cflag & PARENB) != 0;
    out.two_stop_bits = (tio.c_cflag & CSTOPB) != 0;
    out.hardware_flow_control = (tio.c_cflag & CRTSCTS) != 0;
    out.software_flow_control = (tio.c_iflag & (IXON | IXOFF)) != 0;
    return 0;
}

}  // namespace vyre
