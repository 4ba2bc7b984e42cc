#include "fuzz_target.h"

#include "harness.h"

#include <algorithm>

namespace quelmar::remux::test {
namespace {

// Script operations, one byte each.
enum class Op : uint8_t {
    Supply = 0, // then kind (1 byte), length (2 bytes, big-endian), the bytes
    Pause = 1,
    Resume = 2,
    Write = 3,
    Split = 4, // Flush_Mpg, then Write_Mpg with a split pending
    Flush = 5,
    Resync = 6,
    FailWriters = 7, // writers return false from now on
    Count = 8
};
constexpr size_t kOpHeaderBytes = 4;

bool writersWork = true;
int32_t sink(const uint8_t *, uint32_t) { return writersWork ? 1 : 0; }

} // namespace

void runFuzzInput(const uint8_t *data, size_t size)
{
    Module &m = Module::get();
    writersWork = true;
    const bool audioOnly = size > 0 && (data[0] & 1) != 0;
    m.InitEx(nullptr, 0, static_cast<int16_t>(size > 1 ? (data[1] - 128) * 8 : 0), audioOnly ? 1 : 0);
    m.Perform_Resync();
    size_t at = std::min<size_t>(size, 2);
    uint8_t split = 0;
    while (at < size) {
        const auto op = static_cast<Op>(data[at] % static_cast<uint8_t>(Op::Count));
        switch (op) {
        case Op::Supply: {
            if (at + kOpHeaderBytes > size)
                return;
            const int kind = data[at + 1] % 4; // one kind the module ignores
            const size_t length = std::min<size_t>((data[at + 2] << 8) | data[at + 3], size - at - kOpHeaderBytes);
            // A chunk of exactly its length, so that reading past it is seen.
            const std::vector<uint8_t> chunk(data + at + kOpHeaderBytes, data + at + kOpHeaderBytes + length);
            m.Supply_Data(chunk.data(), static_cast<uint32_t>(chunk.size()), kind);
            (void)m.GetVideoInfo();
            (void)m.GetLastAudioPES();
            at += kOpHeaderBytes + length;
            continue;
        }
        case Op::Pause: m.SetPaused(1); break;
        case Op::Resume: m.SetPaused(0); break;
        case Op::Split:
            m.Flush_Mpg(&sink);
            split = 1;
            [[fallthrough]];
        case Op::Write:
            while (m.Write_Mpg(&sink, &sink, &sink, &split) == REMUX_WRITE_PENDING) {
            }
            (void)m.GetRecordingTime();
            (void)m.GetVideoPaddingCount();
            break;
        case Op::Flush: m.Flush_Mpg(&sink); break;
        case Op::Resync: m.Perform_Resync(); break;
        case Op::FailWriters: writersWork = false; break;
        case Op::Count: break;
        }
        ++at;
    }
    m.Flush_Mpg(&sink);
}

std::vector<uint8_t> fuzzScript(const std::vector<std::pair<int, std::vector<uint8_t>>> &chunks)
{
    std::vector<uint8_t> s = {0, 128};
    for (const auto &[kind, bytes] : chunks) {
        const size_t n = std::min<size_t>(bytes.size(), 0xFFFF);
        s.push_back(static_cast<uint8_t>(Op::Supply));
        s.push_back(static_cast<uint8_t>(kind));
        s.push_back(static_cast<uint8_t>(n >> 8));
        s.push_back(static_cast<uint8_t>(n));
        s.insert(s.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        s.push_back(static_cast<uint8_t>(Op::Write));
    }
    s.push_back(static_cast<uint8_t>(Op::Flush));
    return s;
}

} // namespace quelmar::remux::test
