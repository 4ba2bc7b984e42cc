/* A stand-in for the receiver access library with configurable version, ASPI
 * status, discovery result and a missing last export. Test builds only. */
#include "quelmarscsi.h"

#include <string.h>

#ifndef FAKE_VERSION
#define FAKE_VERSION 23u
#endif
#ifndef FAKE_ASPI
#define FAKE_ASPI DVB_ASPI_OK
#endif
#ifndef FAKE_FOUND
#define FAKE_FOUND DVB_STATUS_NONE
#endif

static int g_findCalls;

int fakeFindCalls(void) { return g_findCalls; }

uint32_t quelmarDLLVersion(void) { return FAKE_VERSION; }
uint32_t dvbInit(void) { return FAKE_ASPI; }
int32_t dvbRescanAllSCSIBusses(void) { return 1; }
DvbDevice dvbFindFirstQuelmar(void)
{
    DvbDevice d;
    memset(&d, 0, sizeof d);
    ++g_findCalls;
    d.status = FAKE_FOUND;
    d.targetId = FAKE_FOUND == DVB_STATUS_NONE ? 0xFF : 3;
    d.hostAdapter = FAKE_FOUND == DVB_STATUS_NONE ? 0xFF : 1;
    d.firmwareRevision = FAKE_FOUND == DVB_STATUS_NONE ? 0 : 0x0217;
    return d;
}
DvbDeviceList dvbFindAllQuelmars(void)
{
    DvbDeviceList l;
    memset(&l, 0, sizeof l);
    return l;
}
int32_t dvbSCSISpeedTest(const DvbDevice *d, uint32_t n, int32_t e)
{
    (void)d;
    (void)n;
    (void)e;
    return 0;
}
DvbCurrentChannel dvbGetCurrentChannel(const DvbDevice *d)
{
    DvbCurrentChannel c;
    (void)d;
    memset(&c, 0, sizeof c);
    return c;
}
uint16_t dvbChannelCount(const DvbDevice *d)
{
    (void)d;
    return 0;
}
int32_t dvbGetAllChannels(const DvbDevice *d, DvbChannel *c, uint16_t n)
{
    (void)d;
    (void)c;
    (void)n;
    return 0;
}
int32_t dvbPutAllChannels(const DvbDevice *d, const DvbChannel *c, uint16_t n)
{
    (void)d;
    (void)c;
    (void)n;
    return 0;
}
int32_t dvbSetSCSIMode(const DvbDevice *d, int32_t m)
{
    (void)d;
    (void)m;
    return 0;
}
int32_t dvbSetChannel(const DvbDevice *d, uint16_t c)
{
    (void)d;
    (void)c;
    return 0;
}
int32_t dvbSendSpecialCommand(const DvbDevice *d, const uint8_t *p, uint16_t n, uint8_t c)
{
    (void)d;
    (void)p;
    (void)n;
    (void)c;
    return 0;
}
int32_t dvbRemote(const DvbDevice *d, int32_t on)
{
    (void)d;
    (void)on;
    return 0;
}
int32_t dvbVideoGimmick(const DvbDevice *d, uint32_t k)
{
    (void)d;
    (void)k;
    return 0;
}
int32_t dvbSetOSD(const DvbDevice *d, uint32_t a, uint32_t b, uint16_t c, uint16_t e, const char *t)
{
    (void)d;
    (void)a;
    (void)b;
    (void)c;
    (void)e;
    (void)t;
    return 0;
}
int32_t dvbInitStreaming(const DvbDevice *d, uint16_t a, uint32_t b, uint16_t c)
{
    (void)d;
    (void)a;
    (void)b;
    (void)c;
    return 0;
}
int32_t dvbInitStreaming2(const DvbDevice *d, uint16_t a, uint32_t b, uint16_t c)
{
    (void)d;
    (void)a;
    (void)b;
    (void)c;
    return 0;
}
int32_t dvbReInitStreaming(const DvbDevice *d)
{
    (void)d;
    return 0;
}
int32_t dvbDeInitStreaming(const DvbDevice *d)
{
    (void)d;
    return 0;
}
int32_t dvbReadMultiPID(const DvbDevice *d, uint8_t *b, uint32_t n)
{
    (void)d;
    (void)b;
    (void)n;
    return 0;
}
int32_t dvbReadSingleStream(const DvbDevice *d, uint8_t *b, uint32_t n)
{
    (void)d;
    (void)b;
    (void)n;
    return 0;
}
int32_t dvbReadMultipleStreams(const DvbDevice *d, uint8_t *b, uint32_t n, int32_t k)
{
    (void)d;
    (void)b;
    (void)n;
    (void)k;
    return 0;
}
int32_t dvbReadMemory(const DvbDevice *d, uint32_t a, uint8_t *b, uint32_t n)
{
    (void)d;
    (void)a;
    (void)b;
    (void)n;
    return 0;
}
#ifndef FAKE_OMIT_WRITE_MEMORY
int32_t dvbWriteMemory(const DvbDevice *d, uint32_t a, const uint8_t *b, uint32_t n)
{
    (void)d;
    (void)a;
    (void)b;
    (void)n;
    return 0;
}
#endif
