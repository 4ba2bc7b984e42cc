// quelmar_modules.h: the file names of the modules that load one another at
// run time, and the environment variables that choose among them. One home
// for the library, its command-line client, the simulated receiver and the
// recorder.
#ifndef QUELMAR_MODULES_H
#define QUELMAR_MODULES_H

namespace quelmar::modules {

// The receiver access library.
inline constexpr char kReceiverLibrary[] = "libquelmarscsi.so";
// The ASPI layer over the SCSI generic driver, the library's default layer.
inline constexpr char kAspiLayer[] = "libwnaspi32.so";
// The ASPI layer of the simulated receiver.
inline constexpr char kVirtualAspiLayer[] = "libaspi-virtual.so";
// The bus rescan helper, beside the recorder.
inline constexpr char kRescanHelper[] = "halvane";

// Names the ASPI layer the library loads instead of kAspiLayer (a file
// name searched as the dynamic linker does, or a path).
inline constexpr char kAspiLayerVariable[] = "QUELMAR_ASPI_LAYER";
// The simulated receiver's configuration file.
inline constexpr char kVirtualReceiverVariable[] = "QUELMAR_VIRTUAL_RECEIVER";

} // namespace quelmar::modules

#endif
