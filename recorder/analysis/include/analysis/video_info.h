// video_info.h: the multiplexer's record of the MPEG video sequence being
// recorded, and the lines of the "Video info" list. Pure functions; any
// thread.
#ifndef QUELMAR_ANALYSIS_VIDEO_INFO_H
#define QUELMAR_ANALYSIS_VIDEO_INFO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Our view of the record that the multiplexer module's GetVideoInfo returns
// (read only; the module owns it). Bytes the recorder does not read are kept
// as reserved so that the offsets match the module's layout.
struct VideoInfo {
    std::uint8_t valid[2];        // both non-zero: the fields below are current
    std::uint8_t reserved0[6];
    double frameRate;             // Hz
    std::uint32_t bitRate;        // units of 400 bit/s (sequence header bit_rate_value)
    std::uint8_t reserved1[9];
    std::uint8_t chromaFormat;    // 1 = 4:2:0, 2 = 4:2:2, 3 = 4:4:4, 4 = no information
    std::uint8_t aspectRatio;     // the sequence header's aspect_ratio_information
    std::uint8_t reserved2;
    std::uint16_t width;          // pixels
    std::uint16_t height;         // lines
    std::uint8_t pictureFormat;   // 0 = interlaced, 1 = progressive, 2 = no information
};
static_assert(offsetof(VideoInfo, valid) == 0);
static_assert(offsetof(VideoInfo, frameRate) == 8);
static_assert(offsetof(VideoInfo, bitRate) == 16);
static_assert(offsetof(VideoInfo, chromaFormat) == 29);
static_assert(offsetof(VideoInfo, aspectRatio) == 30);
static_assert(offsetof(VideoInfo, width) == 32);
static_assert(offsetof(VideoInfo, height) == 34);
static_assert(offsetof(VideoInfo, pictureFormat) == 36);
static_assert(sizeof(VideoInfo) == 40);

// True when both leading flag bytes are non-zero, i.e. the list is to be
// rebuilt from this record.
bool VideoInfoRefreshDue(const VideoInfo &info);

// Texts of the three code tables. Codes without a text give "reserved"
// (inside the field's code space) or "no information" (outside it).
const char *PictureFormatText(unsigned code);
const char *ChromaFormatText(unsigned code);
const char *AspectRatioText(unsigned code);

// The lines of the "Video info" list in display order ("Frame Rate: 25.0000
// Hz", "Bit Rate: 6.0000 Mbps", "Resolution: 720x576", ...).
std::vector<std::string> VideoInfoLines(const VideoInfo &info);

#endif // QUELMAR_ANALYSIS_VIDEO_INFO_H
