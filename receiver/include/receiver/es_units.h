// es_units.h: what the simulated receiver checks in the access units it
// replays from a media file. A capture ends in the middle of a unit (the
// last picture, the last audio frame) and a real receiver delivers only what
// it received whole, so every unit is checked by its own syntax: a file's
// last video packet carries no length, and its audio packets are split by a
// parser that passes on a cut-off frame.
#pragma once

#include "receiver/config.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::receiver {

constexpr uint8_t kPictureStartCode = 0x00;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionStartCode = 0xB5;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kGopHeaderCode = 0xB8;
constexpr size_t kNoStartCode = std::string::npos;

// Offset of the first start code 00 00 01 xx at or after `from` whose code
// byte lies inside the data, or kNoStartCode.
size_t nextStartCode(const uint8_t *data, size_t size, size_t from = 0);
// Offset of the first start code 00 00 01 `code` at or after `from`, or
// kNoStartCode.
size_t findStartCode(const uint8_t *data, size_t size, uint8_t code, size_t from = 0);
// True when the unit begins with a sequence header.
bool startsWithSequenceHeader(const std::vector<uint8_t> &unit);

// What the completeness check needs from the sequence header and its
// extension; carried from unit to unit, since only a GOP's first unit has
// them.
struct SequenceShape {
    unsigned verticalSize = 0; // lines; 0 until a sequence header was seen
    bool progressive = false;  // progressive_sequence of the sequence extension
};

// True when every picture of the MPEG-2 video unit has slices down to its
// last macroblock row: a picture cut off by the end of a capture lacks its
// lower rows. Updates *shape from sequence headers in the unit. Passes
// unchecked what cannot be checked: a unit before any sequence header, a
// picture over 2800 lines (its rows need the slice extension). A cut inside
// the last row of slices is not seen.
bool picturesComplete(const uint8_t *data, size_t size, SequenceShape *shape);

// The link flags of the unit's first GOP header.
struct GopLink {
    bool present = false;
    bool closed = false;     // closed_gop: the leading B pictures need no earlier picture
    bool brokenLink = false; // broken_link: they cannot be decoded
};
GopLink gopLink(const uint8_t *data, size_t size);
// Sets broken_link in the unit's first GOP header, as a splicer does where
// the picture before an open GOP is not the one it was coded against.
// Returns false (unit unchanged) when the unit has no whole GOP header.
bool markBrokenLink(std::vector<uint8_t> *unit);

// The whole frames at the start of an MP2 or AC-3 unit.
struct AudioFrames {
    size_t bytes = 0; // bytes of the leading whole frames; 0 when the unit does not begin with a valid header
    int frames = 0;
    int samples = 0; // per channel, in all of these frames
    int sampleRate = 0;
};
AudioFrames wholeAudioFrames(AudioCodec codec, const uint8_t *data, size_t size);

} // namespace quelmar::receiver
