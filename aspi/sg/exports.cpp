// The module's two entry points over one process-wide layer, created at the
// first call (which enumerates the adapters) and destroyed when the module is
// unloaded.
#include <exception>

#include "sg_layer.h"

namespace quelmar::sg {
namespace {

SgLayer &layer()
{
    static SgLayer instance(configFromEnvironment());
    return instance;
}

} // namespace
} // namespace quelmar::sg

using quelmar::sg::layer;

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void)
{
    try {
        return layer().supportInfo();
    } catch (const std::exception &) {
        return static_cast<uint32_t>(SS_ERR) << 8;
    }
}

extern "C" __attribute__((visibility("default"))) uint32_t SendASPI32Command(void *srb)
{
    try {
        return layer().send(srb);
    } catch (const std::exception &) {
        // Only the layer's creation can throw (out of memory); the request
        // block was not touched.
        return SS_ERR;
    }
}
