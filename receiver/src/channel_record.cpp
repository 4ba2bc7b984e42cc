#include "receiver/channel_record.h"

#include <algorithm>

namespace quelmar::receiver {
namespace {
constexpr uint16_t kFirstFrequencyMHz = 10744;
constexpr uint16_t kFrequencyStepMHz = 19;
constexpr uint16_t kSymbolRateKs = 22000;
constexpr uint16_t kFirstServiceId = 28106;
} // namespace

ChannelRecord encodeChannelRecord(const ChannelConfig &channel, unsigned index)
{
    ChannelRecord r{};
    writeBe16(&r[kRecordFrequencyOffset], static_cast<uint16_t>(kFirstFrequencyMHz + kFrequencyStepMHz * index));
    writeBe16(&r[kRecordSymbolRateOffset], kSymbolRateKs);
    writeBe16(&r[kRecordVideoPidOffset], channel.videoPid);
    writeBe16(&r[kRecordAudioPidOffset], channel.audioPid);
    writeBe16(&r[kRecordPcrPidOffset], channel.isRadio() ? channel.audioPid : channel.videoPid);
    writeBe16(&r[kRecordServiceIdOffset], static_cast<uint16_t>(kFirstServiceId + index));
    std::copy_n(channel.name.begin(), std::min(channel.name.size(), kChannelNameBytes), &r[kRecordNameOffset]);
    r[kRecordTagOffset] = channel.tag;
    return r;
}

} // namespace quelmar::receiver
