// test_card.h: draws the generated channels' picture: scrolling colour bars,
// a bouncing box, the channel name and a running clock, into a YUV 4:2:0
// frame. Drawing costs a few row copies per line, so it is cheap enough to do
// for every picture at 25 frames/s.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::receiver {

constexpr int kPictureWidth = 720;
constexpr int kPictureHeight = 576;

class TestCard {
public:
    // `name` in the receiver's character codes.
    explicit TestCard(std::string name);

    // Draws picture number `frame` with the clock text `clock` into the three
    // planes (luma kPictureWidth x kPictureHeight, chroma half size each way).
    void draw(int64_t frame, const std::string &clock, uint8_t *y, int yStride, uint8_t *u, int uStride, uint8_t *v,
              int vStride) const;

private:
    void drawText(const std::string &text, int x, int y, uint8_t *plane, int stride) const;

    std::string name_;
    std::vector<uint8_t> barsY_, barsU_, barsV_; // two periods, so any shift is one copy
};

} // namespace quelmar::receiver
