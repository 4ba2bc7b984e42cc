// halvane: the bus rescan helper the recorder starts from its own
// directory, without arguments; see rescan.h for what it does.
#include "rescan.h"

#include <iostream>

int main(int argc, char **argv)
{
    quelmar::halvane::SteadyClock clock;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return quelmar::halvane::runHalvane(arguments, quelmar::halvane::sysfsRootFromEnvironment(), clock, std::cout,
                                        std::cerr);
}
