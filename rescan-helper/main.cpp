// halvane: the bus rescan helper the recorder starts from its own
// directory. It reads no command line; see rescan.h for what it does.
#include "rescan.h"

#include <iostream>

int main()
{
    quelmar::halvane::SteadyClock clock;
    return quelmar::halvane::rescanAllHosts(quelmar::halvane::sysfsRootFromEnvironment(), clock, std::cerr);
}
