// trace.h: the library's trace hook. Some commands hand it a fixed line; the
// delivered library prints nothing (the library never writes to the
// caller's terminal), so the hook only keeps the lines visible in the code.
#pragma once

namespace quelmar::scsi {

template <typename... Args>
inline void trace(const char * /*format*/, Args... /*args*/)
{}

} // namespace quelmar::scsi
