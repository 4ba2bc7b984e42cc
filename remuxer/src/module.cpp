// The module's C entry points over the one global multiplexer state.
#include "engine.h"

#include "remuxer.h"

namespace {

constexpr uint32_t kDllVersionInfoBytes = sizeof(DLLVERSIONINFO);
constexpr uint32_t kPlatformNt = 2;
constexpr uint32_t kBuildNumber = QUELMAR_REMUX_BUILD;

quelmar::remux::Engine &engine()
{
    static quelmar::remux::Engine instance;
    return instance;
}

} // namespace

// Only the entry points are visible; the version script keeps it so.
#define REMUX_EXPORT __attribute__((visibility("default")))

extern "C" {

REMUX_EXPORT int32_t DllGetVersion(DLLVERSIONINFO *info)
{
    if (info == nullptr || info->cbSize < kDllVersionInfoBytes)
        return -1;
    info->dwMajorVersion = REMUX_VERSION_MAJOR;
    info->dwMinorVersion = REMUX_VERSION_MINOR;
    info->dwBuildNumber = kBuildNumber;
    info->dwPlatformID = kPlatformNt;
    return 0;
}

REMUX_EXPORT void Init(RemuxLog log) { engine().init(log, 0, false); }

REMUX_EXPORT void InitEx(RemuxLog log, int32_t /*reserved*/, int16_t videoDelayMs, int32_t audioOnly)
{
    engine().init(log, videoDelayMs, audioOnly != 0);
}

REMUX_EXPORT void Perform_Resync(void) { engine().resync(); }

REMUX_EXPORT void Supply_Data(const uint8_t *data, uint32_t length, int32_t streamKind)
{
    engine().supply(data, length, streamKind);
}

REMUX_EXPORT int32_t Write_Mpg(RemuxWriter mux, RemuxWriter video, RemuxWriter audio, uint8_t *splitPending)
{
    return engine().write(mux, video, audio, splitPending);
}

REMUX_EXPORT int32_t Flush_Mpg(RemuxWriter mux) { return engine().flush(mux); }

REMUX_EXPORT void SetPaused(int32_t paused) { engine().setPaused(paused != 0); }

REMUX_EXPORT uint32_t GetRecordingTime(void) { return engine().recordingTimeMs(); }

REMUX_EXPORT const uint8_t *GetLastAudioPES(void) { return engine().lastAudioFrame(); }

REMUX_EXPORT const void *GetVideoInfo(void) { return engine().readVideoInfo(); }

REMUX_EXPORT uint64_t GetVideoPaddingCount(void) { return engine().videoPadding(); }

} // extern "C"
