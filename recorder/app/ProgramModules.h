// The modules the program loads at run time, looked for in the program's
// own directory first: libquelmarscsi.so, libremuxer.so and, for the
// simulated receiver, libaspi-virtual.so; and which receiver the program
// drives (--receiver, --instance).
#pragma once

#include "controller/CRecorderDlg.h"
#include "platform/ReceiverLock.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quelmar {

// `name` as a path in the program's directory when it is a plain file name
// and such a file is there; otherwise `name` unchanged (a path, or a name
// for the system's search). Any thread.
std::string InProgramDirectory(const std::string &name);

// The ASPI layer module the receiver library binds (QUELMAR_ASPI_LAYER,
// else libwnaspi32.so, in the program's directory when it is there). Reads
// the environment; any thread.
std::string AspiLayerModule();

// Which receiver the program drives, from the command line.
struct ReceiverRequest {
    std::optional<ReceiverAddress> address; // --receiver; none: the first one found
    std::string instance;                   // --instance; "" without one
    std::string arguments;                  // the command line after the program, quoted (for the hint)
};

struct CommandLineOptions;
// The request the command line makes.
ReceiverRequest ReceiverRequestOf(const CommandLineOptions &options);

// What the newest bring-up's binding made of the request, kept for the
// front end's message when no receiver came up.
struct ReceiverReport {
    uint32_t status = 0;                    // the binding status word
    std::string refusal;                    // ReceiverLibrary::refusal
    std::optional<ReceiverAddress> address; // as requested
    std::string arguments;                  // as requested
};

// One line for the user when bring-up found no receiver: what was asked
// (which ASPI layer, which address) and why nothing came of it, and, unless
// the simulated receiver was asked, how to use it instead. Any thread.
std::string NoReceiverHint(const ReceiverReport &report);

// The main window's bindings, made from the modules in the program's
// directory (QUELMAR_REMUXER still chooses the multiplexer module), for the
// receiver `request` names, locked for this process; the instance's timer
// store. Each binding made notes what it found in `report` (may be null).
// Explicit paths, because the system's search from a dlopen() call does not
// reliably start at the program's own directory (a sanitizer runtime, for
// one, makes itself the caller).
CRecorderDlg::Setup ProgramModules(const ReceiverRequest &request = {},
                                   std::shared_ptr<ReceiverReport> report = nullptr);

// Keeps the program's modules (receiver library, its ASPI layer, the
// multiplexer) mapped until the process ends, so that the main window's
// unloading at the end leaves them in place: the libraries they pulled in
// (libavformat and its many dependencies) allocate in their initialisers and
// are not made to be unloaded. Call once, before the main window is
// destroyed. User-interface thread.
void KeepModulesUntilExit();

} // namespace quelmar
