// aspi_layer.h: what the library's clients (quelmar-scsi, the recorder) need
// to know of the ASPI layer that libquelmarscsi.so binds: which module that
// is, what to tell a user when no receiver answers through it, the receivers
// of the older identification on its buses, and what answers at one address. The library's list
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

// What answers at `adapter`:`target` through the layer module `layer`,
// asked with INQUIRY only (nothing is changed in any receiver, unlike the
// library's searches, which set the SCSI mode of every receiver they find):
// a record with status DVB_STATUS_FOUND (current identification) or
// DVB_STATUS_FOUND_OLD and its firmware revision, or DVB_STATUS_NONE when no
// receiver is there. nullopt when the layer is not loaded or not working.
// Blocks up to 1 s when the target does not answer. Any thread.
std::optional<DvbDevice> probeReceiverAt(const std::string &layer, uint8_t adapter, uint8_t target);

// The receiver the library's first-receiver search would take (the first of
// the current identification in scan order, else the first of the older
// one), found with INQUIRY alone: the search itself sets the SCSI mode of
// the receiver it finds, which may be one that another program drives.
// Status DVB_STATUS_NONE when there is none; nullopt when the layer is not
// loaded or not working. Blocks up to 1 s per target that does not answer.
// Any thread.
std::optional<DvbDevice> findFirstReceiver(const std::string &layer);

// The one line that says no receiver was found and why, by the library's
// ASPI status word (dvbInit) and the layer module asked: "no receiver
// found[<where>]: <why> the ASPI layer <layer> (status 0x........)", where
// `where` is, for instance, " at host adapter 0, id 3". Any thread.
std::string noReceiverText(uint32_t aspiStatus, const std::string &layer, const std::string &where = "");

// The line that points to the simulated receiver: "to use the simulated
// receiver instead: <program> --virtual-receiver <arguments>"; "" when
// `layer` is the simulated receiver's own. Any thread.
std::string virtualReceiverHint(const std::string &layer, const std::string &program, const std::string &arguments);

// Why the simulated receiver's configuration `config` cannot be used (the
// system's reason, or "not a regular file"); "" when it can be read. Asked
// before the library is loaded. Any thread.
std::string virtualConfigProblem(const std::string &config);

} // namespace quelmar::scsi_cli
