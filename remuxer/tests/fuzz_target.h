// One fuzz input run through libremuxer.so's entry points: the bytes are read
// as a script of Supply_Data chunks, pauses, writes, splits and flushes.
// Used by the bounded corpus of remuxer_fuzz_test and by the optional
// libFuzzer target remuxer_fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelmar::remux::test {

// Runs one input; never throws. The module must not crash, hang or read
// outside its input (sanitizer builds check that).
void runFuzzInput(const uint8_t *data, size_t size);

// A script that supplies the chunks as they are (kind, bytes) with a write
// after each, and a flush at the end: the starting point of mutations.
std::vector<uint8_t> fuzzScript(const std::vector<std::pair<int, std::vector<uint8_t>>> &chunks);

} // namespace quelmar::remux::test
