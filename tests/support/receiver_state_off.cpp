// Linked into every test and benchmark program: each simulated receiver
// starts from its configuration, whatever earlier programs did to it. The
// state libaspi-virtual.so keeps between programs (in the user's runtime
// folder) is switched off for this process and every program it starts;
// tests of that state give it a folder of their own.
#include <cstdlib>

namespace {

[[maybe_unused]] const bool kReceiverStateOff = setenv("QUELMAR_VIRTUAL_STATE_DIR", "off", 1) == 0;

} // namespace
