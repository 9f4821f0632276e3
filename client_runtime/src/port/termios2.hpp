#pragma once
// Line settings through the kernel's termios2 interface, which takes an exact bit
// rate (BOTHER) instead of the fixed Bxxx table. The kernel's definitions clash
// with <termios.h>, so they stay in termios2.cpp and this header uses plain types.

#include <cstdint>

namespace vyre {

struct LineSettings {
    std::uint32_t input_flags = 0;
    std::uint32_t output_flags = 0;
    std::uint32_t control_flags = 0;
    std::uint32_t local_flags = 0;
    std::uint32_t input_speed = 0;
    std::uint32_t output_speed = 0;
    bool exact_output_rate = false;  // CBAUD holds BOTHER
    bool exact_input_rate = false;   // CIBAUD holds BOTHER
    unsigned data_bits = 0;
    bool parity = false;
    bool two_stop_bits = false;
    bool hardware_flow_control = false;
    bool software_flow_control = false;
};

// 8 data bits, no parity (errors ignored, no input check), 1 stop bit, no flow
// control, `baud_rate` exactly in both directions. 0 or the error number.
int apply_line_settings(int fd, std::uint32_t baud_rate);

// 0 or the error number.
int read_line_settings(int fd, LineSettings& out);

}  // namespace vyre
