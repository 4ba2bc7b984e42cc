#include "receiver/test_card.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quelmar::receiver {
namespace {

constexpr int kGlyphRows = 7;
constexpr int kGlyphColumns = 5;
constexpr int kTextScale = 4; // each glyph pixel is 4x4 picture pixels
constexpr int kGlyphAdvance = (kGlyphColumns + 1) * kTextScale;
constexpr int kStripHeight = kGlyphRows * kTextScale + 2 * 8; // text strip with 8 px margins
constexpr int kTextMargin = 8;
constexpr int kBarCount = 8;
constexpr int kScrollPixelsPerFrame = 4;
constexpr int kBoxSize = 64;
constexpr int kBoxSpeedX = 7; // pixels per frame
constexpr int kBoxSpeedY = 5;
constexpr uint8_t kBlackY = 16, kWhiteY = 235, kNeutralChroma = 128;

// 75 % colour bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::array<std::array<uint8_t, 3>, kBarCount> kBarsYuv = {{
    {180, 128, 128},
    {162, 44, 142},
    {131, 156, 44},
    {112, 72, 58},
    {84, 184, 198},
    {65, 100, 212},
    {35, 212, 114},
    {16, 128, 128},
}};

struct Glyph {
    unsigned char code;                   // receiver character code
    std::array<uint8_t, kGlyphRows> rows; // bit 4 = leftmost column
};

constexpr Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0, 0, 0, 0, 0, 0x0C, 0x0C}},
    {'-', {0, 0, 0, 0x1F, 0, 0, 0}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'+', {0, 0x04, 0x04, 0x1F, 0x04, 0x04, 0}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}},
    {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}},
    {',', {0, 0, 0, 0, 0x0C, 0x04, 0x08}},
    {'\'', {0x0C, 0x04, 0x08, 0, 0, 0, 0}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'&', {0x0C, 0x12, 0x14, 0x08, 0x15, 0x12, 0x0D}},
    {'_', {0, 0, 0, 0, 0, 0, 0x1F}},
    {'*', {0, 0x04, 0x15, 0x0E, 0x15, 0x04, 0}},
    // The receiver's own codes for "[", "]", "Ü" and the degree sign.
    {0x86, {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E}},
    {0x87, {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E}},
    {0x9A, {0x0A, 0x00, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {0xF8, {0x0C, 0x12, 0x12, 0x0C, 0, 0, 0}},
};

const Glyph &glyphFor(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        c = static_cast<unsigned char>(c - 'a' + 'A');
    for (const auto &g : kFont)
        if (g.code == c)
            return g;
    for (const auto &g : kFont)
        if (g.code == '?')
            return g;
    return kFont[0];
}

// Position of a bouncing coordinate moving `speed` per frame within [0, range].
int bounce(int64_t frame, int speed, int range)
{
    const int64_t period = 2 * static_cast<int64_t>(range);
    const int64_t p = (frame * speed) % period;
    return static_cast<int>(p <= range ? p : period - p);
}

} // namespace

TestCard::TestCard(std::string name) : name_(std::move(name))
{
    const int barWidth = kPictureWidth / kBarCount;
    barsY_.resize(2 * kPictureWidth);
    barsU_.resize(kPictureWidth);
    barsV_.resize(kPictureWidth);
    for (int x = 0; x < 2 * kPictureWidth; ++x)
        barsY_[x] = kBarsYuv[(x % kPictureWidth) / barWidth][0];
    for (int x = 0; x < kPictureWidth; ++x) {
        barsU_[x] = kBarsYuv[((2 * x) % kPictureWidth) / barWidth][1];
        barsV_[x] = kBarsYuv[((2 * x) % kPictureWidth) / barWidth][2];
    }
}

void TestCard::drawText(const std::string &text, int x0, int y0, uint8_t *plane, int stride) const
{
    for (size_t i = 0; i < text.size(); ++i) {
        const int gx = x0 + static_cast<int>(i) * kGlyphAdvance;
        if (gx + kGlyphColumns * kTextScale > kPictureWidth)
            break;
        const Glyph &g = glyphFor(static_cast<unsigned char>(text[i]));
        for (int r = 0; r < kGlyphRows; ++r)
            for (int c = 0; c < kGlyphColumns; ++c) {
                if (!(g.rows[r] & (0x10 >> c)))
                    continue;
                for (int dy = 0; dy < kTextScale; ++dy)
                    std::memset(plane + (y0 + r * kTextScale + dy) * stride + gx + c * kTextScale, kWhiteY, kTextScale);
            }
    }
}

void TestCard::draw(int64_t frame, const std::string &clock, uint8_t *y, int yStride, uint8_t *u, int uStride,
                    uint8_t *v, int vStride) const
{
    const int shift = static_cast<int>((frame * kScrollPixelsPerFrame) % kPictureWidth);
    for (int row = 0; row < kPictureHeight; ++row) {
        uint8_t *line = y + row * yStride;
        if (row < kStripHeight || row >= kPictureHeight - kStripHeight)
            std::memset(line, kBlackY, kPictureWidth);
        else
            std::memcpy(line, barsY_.data() + shift, kPictureWidth);
    }
    const int chromaShift = shift / 2;
    for (int row = 0; row < kPictureHeight / 2; ++row) {
        uint8_t *lu = u + row * uStride;
        uint8_t *lv = v + row * vStride;
        const bool strip = row < kStripHeight / 2 || row >= (kPictureHeight - kStripHeight) / 2;
        if (strip) {
            std::memset(lu, kNeutralChroma, kPictureWidth / 2);
            std::memset(lv, kNeutralChroma, kPictureWidth / 2);
        } else {
            // Chroma rows are half as wide (the tables hold two of them):
            // scroll them by half the luma shift.
            std::memcpy(lu, barsU_.data() + chromaShift, kPictureWidth / 2);
            std::memcpy(lv, barsV_.data() + chromaShift, kPictureWidth / 2);
        }
    }
    // Bouncing white box between the two text strips.
    const int bx = bounce(frame, kBoxSpeedX, kPictureWidth - kBoxSize);
    const int by = kStripHeight + bounce(frame, kBoxSpeedY, kPictureHeight - 2 * kStripHeight - kBoxSize);
    for (int row = by; row < by + kBoxSize; ++row)
        std::memset(y + row * yStride + bx, kWhiteY, kBoxSize);
    for (int row = by / 2; row < (by + kBoxSize) / 2; ++row) {
        std::memset(u + row * uStride + bx / 2, kNeutralChroma, kBoxSize / 2);
        std::memset(v + row * vStride + bx / 2, kNeutralChroma, kBoxSize / 2);
    }
    drawText(name_, kTextMargin, kTextMargin, y, yStride);
    drawText(clock, kTextMargin, kPictureHeight - kStripHeight + kTextMargin, y, yStride);
}

} // namespace quelmar::receiver
