/* A stand-in for the multiplexer module with a configurable version and a
 * missing last entry point. Test builds only. */
#include "remuxer.h"

#ifndef FAKE_MAJOR
#define FAKE_MAJOR 2u
#endif
#ifndef FAKE_MINOR
#define FAKE_MINOR 0u
#endif
#ifndef FAKE_BUILD
#define FAKE_BUILD 1u
#endif
#ifndef FAKE_VERSION_RESULT
#define FAKE_VERSION_RESULT 0
#endif

int32_t DllGetVersion(DLLVERSIONINFO *info)
{
    if (!info || info->cbSize < 20)
        return 1;
    info->dwMajorVersion = FAKE_MAJOR;
    info->dwMinorVersion = FAKE_MINOR;
    info->dwBuildNumber = FAKE_BUILD;
    info->dwPlatformID = 2;
    return FAKE_VERSION_RESULT;
}
void Init(RemuxLog log) { (void)log; }
void InitEx(RemuxLog log, int32_t r, int16_t d, int32_t a)
{
    (void)log;
    (void)r;
    (void)d;
    (void)a;
}
void Perform_Resync(void) {}
void Supply_Data(const uint8_t *p, uint32_t n, int32_t k)
{
    (void)p;
    (void)n;
    (void)k;
}
int32_t Write_Mpg(RemuxWriter m, RemuxWriter v, RemuxWriter a, uint8_t *s)
{
    (void)m;
    (void)v;
    (void)a;
    (void)s;
    return REMUX_WRITE_DONE;
}
int32_t Flush_Mpg(RemuxWriter m)
{
    (void)m;
    return REMUX_WRITE_DONE;
}
void SetPaused(int32_t p) { (void)p; }
uint32_t GetRecordingTime(void) { return 0; }
const uint8_t *GetLastAudioPES(void) { return 0; }
const void *GetVideoInfo(void)
{
    static VideoInfo info;
    return &info;
}
#ifndef FAKE_OMIT_PADDING
uint64_t GetVideoPaddingCount(void) { return 0; }
#endif
