// aspi_layer.h: what quelmar-scsi needs to know of the ASPI layer that
// libquelmarscsi.so binds: which module that is (for messages), and the
// receivers of the older identification on its buses. The library's list
// (dvbFindAllQuelmars) holds the current identification only, and its
// first-receiver search finds an older one only when no current one is there,
// so `list` asks the same layer module with INQUIRY itself.
#pragma once

#include "quelmarscsi.h"

#include <optional>
#include <string>
#include <vector>

namespace quelmar::scsi_cli {

// The layer module as the library resolves it: QUELMAR_ASPI_LAYER, else
// libwnaspi32.so; a plain file name is the file of that name in
// `libraryDirectory` when there is one, otherwise the name as given (for the
// system's search). Reads the environment; any thread.
std::string aspiLayerAsked(const std::string &libraryDirectory);

// True when `layer` names the simulated receiver's module.
bool isVirtualLayer(const std::string &layer);

// Receivers whose INQUIRY identification is the older one ("TANVERIL ZEPRA
// SCSI", compared as the library does: case-insensitively over its own
// length), in scan order, as records with status DVB_STATUS_FOUND_OLD and
// their firmware revision. Uses the layer module `layer` only when the
// library has already loaded it (nothing is loaded anew); nullopt when it is
// not loaded or not working. Blocks up to 1 s per target that does not
// answer. Any thread.
std::optional<std::vector<DvbDevice>> findOlderReceivers(const std::string &layer);

} // namespace quelmar::scsi_cli
