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

} // namespace quelmar
