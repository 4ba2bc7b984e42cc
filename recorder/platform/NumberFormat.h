// Numbers in the recorder's texts: always with a decimal point, whatever
// locale the program runs under (a Qt program calls setlocale(LC_ALL, "")).
// Dates keep the user's locale (CTime::Format).
#pragma once

#include <cstdint>
#include <string>

namespace quelmar {

// value with exactly `decimals` digits after a point, as printf's "%.Nf" in
// the C locale ("25.0000" for 25 and 4). Thread-safe; any thread.
std::string FormatFixed(double value, int decimals);

// A duration as the recording clocks show it: "H:MM:SS", the hours not
// limited ("0:00:00", "27:03:09"). Any thread.
std::string FormatElapsed(int64_t seconds);

} // namespace quelmar
