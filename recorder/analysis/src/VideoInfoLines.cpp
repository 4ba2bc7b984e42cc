#include "analysis/VideoInfoLines.h"

#include "platform/NumberFormat.h"

#include <array>
#include <cstdio>

namespace quelmar {

namespace {

constexpr char kReserved[] = "reserved";
constexpr char kNoInformation[] = "no information";

constexpr std::array<const char *, 3> kPictureFormatTexts{"interlaced", "progressive", kNoInformation};
constexpr std::array<const char *, 5> kChromaFormatTexts{kReserved, "4:2:0", "4:2:2", "4:4:4", kNoInformation};
constexpr std::array<const char *, 5> kAspectRatioTexts{"forbidden", "-", "4:3", "16:9", "2,21:1"};
// aspect_ratio_information is a 4-bit field: larger codes cannot come from a
// sequence header.
constexpr unsigned kAspectRatioCodes = 16;

constexpr double kMbpsPerBitRateUnit = 0.0004; // one unit is 400 bit/s
constexpr int kRateDecimals = 4;               // "%.4f"

} // namespace

bool VideoInfoRefreshDue(const VideoInfo &info) { return info.sequenceKnown != 0 && info.extensionKnown != 0; }

const char *PictureFormatText(unsigned code)
{
    return code < kPictureFormatTexts.size() ? kPictureFormatTexts[code] : kNoInformation;
}

const char *ChromaFormatText(unsigned code)
{
    return code < kChromaFormatTexts.size() ? kChromaFormatTexts[code] : kNoInformation;
}

const char *AspectRatioText(unsigned code)
{
    if (code < kAspectRatioTexts.size())
        return kAspectRatioTexts[code];
    return code < kAspectRatioCodes ? kReserved : kNoInformation;
}

std::vector<std::string> VideoInfoLines(const VideoInfo &info)
{
    char line[96];
    std::vector<std::string> lines;
    lines.emplace_back("Frame Rate: " + FormatFixed(info.frameRate, kRateDecimals) + " Hz");
    lines.emplace_back("Bit Rate: " + FormatFixed(info.bitRate * kMbpsPerBitRateUnit, kRateDecimals) + " Mbps");
    std::snprintf(line, sizeof line, "Resolution: %ux%u", unsigned{info.width}, unsigned{info.height});
    lines.emplace_back(line);
    lines.emplace_back(std::string("Picture Format: ") + PictureFormatText(info.pictureFormat));
    lines.emplace_back(std::string("Chroma Format: ") + ChromaFormatText(info.chromaFormat));
    lines.emplace_back(std::string("Aspect Ratio: ") + AspectRatioText(info.aspectRatio));
    return lines;
}

} // namespace quelmar
