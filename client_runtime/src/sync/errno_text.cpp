#include "sync/errno_text.hpp"

#include <cstring>

namespace vyre {

std::string errno_text(int error_number) {
    char buffer[256];
    // GNU strerror_r: returns either `buffer` or a static string.
    return std::string(strerror_r(error_number, buffer, sizeof buffer));
}

}  // namespace vyre
