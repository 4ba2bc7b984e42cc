/*
 * quelmarscsi_special.h: the receiver's special command codes, the code
 * argument of dvbSendSpecialCommand(), as the recorder and quelmar-scsi send
 * them. The codes marked "sent by" are those the library's own exports use.
 *
 * The simulated receiver (receiver/include/receiver/receiver.h) keeps its own
 * copy of these codes on purpose: it decodes what clients send independently,
 * so that a wrong code here shows up as a receiver that does not react.
 */
#ifndef QUELMAR_SCSI_SPECIAL_H
#define QUELMAR_SCSI_SPECIAL_H

/* Front-panel status text: exactly DVB_FRONT_PANEL_TEXT_CHARS characters of
 * data, no terminator (" ->rec<-", " ready  ", " timer  "). */
#define DVB_SPECIAL_FRONT_PANEL_TEXT 1
#define DVB_FRONT_PANEL_TEXT_CHARS 8
/* Switches the receiver off; no data. */
#define DVB_SPECIAL_SWITCH_OFF 2
/* On-screen text block; sent by dvbSetOSD(). */
#define DVB_SPECIAL_ON_SCREEN_TEXT 27
/* Remote control locked and unlocked; sent by dvbRemote(device, 1) and (device, 0). */
#define DVB_SPECIAL_REMOTE_LOCK 29
#define DVB_SPECIAL_REMOTE_UNLOCK 30
/* Video setting, two data bytes; sent by dvbVideoGimmick(). */
#define DVB_SPECIAL_VIDEO_SETTING 61

#endif /* QUELMAR_SCSI_SPECIAL_H */
