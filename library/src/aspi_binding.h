// aspi_binding.h: the library's one piece of global state, the binding to the
// ASPI layer. It is made while the library is loaded (before any export can
// run) and released when the library is unloaded; in between it is read-only,
// so every thread may read it without a lock.
#pragma once

#include "aspi.h"

#include <cstdint>
#include <optional>

namespace quelmar::scsi {

struct AspiBinding {
    GetASPI32SupportInfoFn getSupportInfo = nullptr;
    SendASPI32CommandFn sendCommand = nullptr;
    uint32_t status = 0;      // DVB_ASPI_* status word
    uint8_t adapterCount = 0; // 0 unless status is DVB_ASPI_OK
    void *module = nullptr;   // dlopen handle of the layer, or null
};

// The binding made at load time. Read-only after load.
const AspiBinding &aspiBinding();

// Operating-system platform ids as the version query reports them.
constexpr int kPlatformNt = 2;
constexpr int kPlatformOther = 1;

// The operating-system family from QUELMAR_OS_FAMILY: unset or "nt" gives
// kPlatformNt, "9x" kPlatformOther; any other value means the version query
// failed (nullopt). Read on every call, like the system's version query.
std::optional<int> platformId();

} // namespace quelmar::scsi
