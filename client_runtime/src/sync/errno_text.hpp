#pragma once

#include <string>

namespace vyre {

// The platform's description of an error number ("Input/output error").
std::string errno_text(int error_number);

}  // namespace vyre
