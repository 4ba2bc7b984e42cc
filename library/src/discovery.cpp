// Receiver discovery by INQUIRY identification, and the SCSI mode word.
#include "aspi_binding.h"
#include "inquiry_identity.h"
#include "trace.h"
#include "transport.h"

#include <array>
#include <cstring>
#include <string_view>

namespace quelmar::scsi {
namespace {

constexpr uint8_t kTargetsPerAdapter = 8;
constexpr uint8_t kNoAddress = 0xFF;

constexpr uint32_t kScsiModeAddress = 0x00FFEA;
constexpr uint8_t kModeCheckCondition = 0xFF;
constexpr uint8_t kModeBusy = 0x00;

DvbDevice notFound()
{
    DvbDevice device{};
    device.status = DVB_STATUS_NONE;
    device.targetId = kNoAddress;
    device.hostAdapter = kNoAddress;
    return device;
}

bool inquiry(uint8_t adapter, uint8_t target, uint8_t (&data)[kInquiryBytes])
{
    const uint8_t block[kInquiryBlockLength] = {kInquiryOperation, 0, 0, 0, kInquiryBytes, 0};
    return executeRequest(kFlagsRead, adapter, target, data, kInquiryBytes, block, sizeof block);
}

// The (index + 1)-th receiver matching `pattern`, adapter-major, target 0
// first; status 2 when found, else the not-found record.
DvbDevice searchReceiver(std::string_view pattern, unsigned index)
{
    DvbDevice result = notFound();
    unsigned matches = 0;
    const uint8_t adapters = aspiBinding().adapterCount;
    for (unsigned adapter = 0; adapter < adapters; ++adapter) {
        for (uint8_t target = 0; target < kTargetsPerAdapter; ++target) {
            uint8_t data[kInquiryBytes] = {};
            if (!inquiry(static_cast<uint8_t>(adapter), target, data))
                continue;
            if (!identificationMatches(data, pattern))
                continue;
            if (++matches == index + 1) {
                result.status = DVB_STATUS_FOUND;
                result.hostAdapter = static_cast<uint8_t>(adapter);
                result.targetId = target;
                result.firmwareRevision = revisionDigits(data);
                return result;
            }
        }
    }
    return result;
}

} // namespace
} // namespace quelmar::scsi

using namespace quelmar::scsi;

extern "C" int32_t dvbSetSCSIMode(const DvbDevice *device, int32_t mode)
{
    trace("SetSCSIMode\n");
    if (!device)
        return 0;
    uint8_t value = kModeBusy;
    if (mode == DVB_SCSI_MODE_AUTOMATIC) {
        const auto platform = platformId();
        if (!platform)
            trace("Error while retrieving OS-Version!");
        value = platform == kPlatformNt ? kModeCheckCondition : kModeBusy;
    } else if (mode == DVB_SCSI_MODE_CHECK_CONDITION) {
        value = kModeCheckCondition;
    }
    trace("dvbSetSCSIMode()\n");
    const uint8_t bytes[2] = {value, value};
    return truth(writeBuffer(*device, bytes, kModeMemoryWrite, kScsiModeAddress, sizeof bytes));
}

extern "C" DvbDevice dvbFindFirstQuelmar(void)
{
    trace("dvbFindFirstQuelmar()\n");
    DvbDevice device = searchReceiver(kCurrentIdentification, 0);
    if (device.status == DVB_STATUS_FOUND) {
        dvbSetSCSIMode(&device, DVB_SCSI_MODE_AUTOMATIC);
        return device;
    }
    device = searchReceiver(kOlderIdentification, 0);
    if (device.status == DVB_STATUS_FOUND) {
        device.status = DVB_STATUS_FOUND_OLD;
        dvbSetSCSIMode(&device, DVB_SCSI_MODE_AUTOMATIC);
    }
    return device;
}

extern "C" DvbDeviceList dvbFindAllQuelmars(void)
{
    DvbDeviceList list{};
    for (DvbDevice &entry : list.devices)
        entry = notFound();
    // The list holds DVB_MAX_DEVICES entries; the enumeration ends there.
    unsigned count = 0;
    list.devices[0] = searchReceiver(kCurrentIdentification, 0);
    while (list.devices[count].status == DVB_STATUS_FOUND) {
        ++count;
        dvbSetSCSIMode(&list.devices[count - 1], DVB_SCSI_MODE_AUTOMATIC);
        if (count == DVB_MAX_DEVICES)
            break;
        list.devices[count] = searchReceiver(kCurrentIdentification, count);
    }
    list.count = static_cast<uint8_t>(count);
    trace("dvbFindAllQuelmars()\n");
    return list;
}
