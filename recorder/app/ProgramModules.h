// The modules the program loads at run time, looked for in the program's
// own directory first: libquelmarscsi.so, libremuxer.so and, for the
// simulated receiver, libaspi-virtual.so.
#pragma once

#include "controller/CRecorderDlg.h"

#include <string>

namespace quelmar {

// `name` as a path in the program's directory when it is a plain file name
// and such a file is there; otherwise `name` unchanged (a path, or a name
// for the system's search). Any thread.
std::string InProgramDirectory(const std::string &name);

// The main window's bindings, made from the modules in the program's
// directory (QUELMAR_REMUXER still chooses the multiplexer module).
// Explicit paths, because the system's search from a dlopen() call does not
// reliably start at the program's own directory (a sanitizer runtime, for
// one, makes itself the caller).
CRecorderDlg::Setup ProgramModules();

// Keeps the program's modules (receiver library, its ASPI layer, the
// multiplexer) mapped until the process ends, so that the main window's
// unloading at the end leaves them in place: the libraries they pulled in
// (libavformat and its many dependencies) allocate in their initialisers and
// are not made to be unloaded. Call once, before the main window is
// destroyed. User-interface thread.
void KeepModulesUntilExit();

} // namespace quelmar
