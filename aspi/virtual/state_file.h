// state_file.h: the simulated receivers' state file (see state_store.h): a
// text of one block of lines per receiver, every value in plain numbers or
// hex, closed by a checksum line over everything before it, so that a file
// cut off or changed by hand reads as damaged.
#pragma once

#include "receiver/receiver.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace quelmar::aspi_virtual {

using ReceiverAddress = std::pair<unsigned, unsigned>; // adapter, target
using KeptStates = std::map<ReceiverAddress, receiver::PersistentState>;

// The state file's text for `states`, with its checksum line.
std::string encodeKeptStates(const KeptStates &states);
// Parses a state file's text; nullopt with the reason in *problem for
// anything but a whole, well-formed file whose states a receiver can hold.
// Never throws.
std::optional<KeptStates> decodeKeptStates(const std::string &text, std::string *problem);

// The key of a configuration's state: "default" for the built-in receiver
// (empty `canonicalPath`), else one made from the configuration file's
// canonical path and content, so that an edited file starts afresh.
std::string stateKey(const std::string &canonicalPath, const std::string &content);

} // namespace quelmar::aspi_virtual
