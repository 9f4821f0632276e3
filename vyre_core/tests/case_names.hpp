#pragma once
// Names for value-parameterised cases, so that a test's name (and CTest's)
// says which value failed rather than printing the parameter's bytes.

#include <charconv>
#include <string>

namespace vyre::test {

// A number as a test name can spell it: the shortest text that reads back as
// the same double, "-" as "minus", "." as "p" (0.25 -> 0p25, -1e-300 ->
// minus1e_minus300). CTest takes a name of digits alone for an index and shows
// the parameter's bytes instead: give a whole number a unit.
inline std::string number_name(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string name;
    for (const char* c = text; c != end; ++c) {
        if (*c == '-') {
            name += (c == text) ? "minus" : "_minus";
        } else if (*c == '.') {
            name += 'p';
        } else if (*c != '+') {
            name += *c;
        }
    }
    return name;
}

}  // namespace vyre::test
