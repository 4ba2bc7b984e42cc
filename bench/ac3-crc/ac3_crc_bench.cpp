// ac3_crc_bench: how fast raw audio chunks are recognised as AC-3, next to
// libavutil's av_crc (AV_CRC_16_ANSI: the AC-3 generator 0x8005, most
// significant bit first) over the same bytes in the same run.
//
// Usage: ac3_crc_bench [rounds]   (default 30; the best round counts)
// Exit status 0 when every case reaches at least half of av_crc's speed,
// 1 when one does not, 2 when the data or a result is wrong.
#include "EncodedAudio.h"
#include "analysis/Ac3HeaderReader.h"

extern "C" {
#include <libavutil/crc.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kSampleRateHz = 48000;
constexpr int kBitRate = 384000; // bit/s: 1536-byte frames
constexpr int kChannels = 2;
constexpr int kFrames = 400;              // 12.8 s of audio, about 600 KB
constexpr std::size_t kChunkBytes = 8192; // one audio read of the receiver
constexpr std::size_t kFirstCrcByte = 2;  // the sync word is not covered
constexpr int kDefaultRounds = 30;
constexpr int kPassesPerRound = 20; // passes over the whole data per timed round
constexpr double kBytesPerMB = 1e6;
constexpr double kGoalRatio = 0.5; // of av_crc's speed

volatile unsigned gSink; // keeps results alive

// Chunks as the receiver delivers them: whole frames, then zero stuffing.
std::vector<Bytes> toReceiverChunks(const std::vector<EncodedFrame> &frames)
{
    std::vector<Bytes> chunks;
    Bytes chunk;
    for (const EncodedFrame &f : frames) {
        if (chunk.size() + f.size() > kChunkBytes) {
            chunk.resize(kChunkBytes, 0);
            chunks.push_back(std::move(chunk));
            chunk.clear();
        }
        chunk.insert(chunk.end(), f.begin(), f.end());
    }
    return chunks;
}

// Chunks cut from the continuous stream at any byte.
std::vector<Bytes> toStreamChunks(const Bytes &stream)
{
    std::vector<Bytes> chunks;
    for (std::size_t at = 0; at + kChunkBytes <= stream.size(); at += kChunkBytes)
        chunks.emplace_back(stream.begin() + at, stream.begin() + at + kChunkBytes);
    return chunks;
}

// Best time of `rounds` rounds, each running `work` kPassesPerRound times.
double bestSeconds(int rounds, const std::function<unsigned()> &work)
{
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        unsigned acc = 0;
        for (int p = 0; p < kPassesPerRound; ++p)
            acc += work();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        gSink = acc;
        if (seconds < best)
            best = seconds;
    }
    return best / kPassesPerRound;
}

struct Case {
    std::string name;
    std::size_t bytes; // bytes both sides cover per pass
    std::function<unsigned()> ours;
    std::function<unsigned()> baseline;
};

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : kDefaultRounds;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: %s [rounds]\n", argv[0]);
        return 2;
    }

    AudioEncoding enc;
    enc.sampleRate = kSampleRateHz;
    enc.bitRate = kBitRate;
    enc.channels = kChannels;
    enc.frames = kFrames;
    std::vector<EncodedFrame> frames;
    try {
        frames = EncodeAudio(enc);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "cannot make AC-3: %s\n", e.what());
        return 2;
    }
    const AVCRC *table = av_crc_get_table(AV_CRC_16_ANSI);

    // The same frames, each with its last byte damaged: no chunk holds an
    // intact frame, so every whole frame in it is checked to the end.
    std::vector<EncodedFrame> damagedFrames = frames;
    for (EncodedFrame &f : damagedFrames)
        f.back() ^= 1;

    const std::vector<Bytes> receiverChunks = toReceiverChunks(frames);
    const std::vector<Bytes> streamChunks = toStreamChunks(Concatenate(frames));
    const std::vector<Bytes> damagedChunks = toReceiverChunks(damagedFrames);

    // Both CRC implementations agree on every frame, and recognition gives
    // the expected answers, before anything is timed.
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const EncodedFrame &f = frames[i];
        const bool avIntact = av_crc(table, 0, f.data() + kFirstCrcByte, f.size() - kFirstCrcByte) == 0;
        const bool avDamaged = av_crc(table, 0, damagedFrames[i].data() + kFirstCrcByte, f.size() - kFirstCrcByte) == 0;
        if (!avIntact || avDamaged || Ac3HeaderReader(f.data(), f.size()).CrcCheck() != kAc3CrcOk ||
            Ac3HeaderReader(damagedFrames[i].data(), f.size()).CrcCheck() != kAc3Crc2Failed) {
            std::fprintf(stderr, "frame %zu: the CRC implementations disagree\n", i);
            return 2;
        }
    }
    for (const auto &[chunks, expected] :
         {std::pair{&receiverChunks, true}, std::pair{&streamChunks, true}, std::pair{&damagedChunks, false}})
        for (const Bytes &c : *chunks)
            if (ContainsAc3Frame(c.data(), c.size()) != expected) {
                std::fprintf(stderr, "ContainsAc3Frame gives a wrong answer\n");
                return 2;
            }

    auto containsAll = [](const std::vector<Bytes> &chunks) {
        return [&chunks] {
            unsigned n = 0;
            for (const Bytes &c : chunks)
                n += ContainsAc3Frame(c.data(), c.size());
            return n;
        };
    };
    auto avCrcAll = [table](const std::vector<Bytes> &chunks) {
        return [&chunks, table] {
            unsigned acc = 0;
            for (const Bytes &c : chunks)
                acc += av_crc(table, 0, c.data(), c.size());
            return acc;
        };
    };
    std::size_t frameBytes = 0;
    for (const EncodedFrame &f : frames)
        frameBytes += f.size() - kFirstCrcByte;

    const std::vector<Case> cases{
        {"ContainsAc3Frame, receiver chunks", receiverChunks.size() * kChunkBytes, containsAll(receiverChunks),
         avCrcAll(receiverChunks)},
        {"ContainsAc3Frame, stream cut anywhere", streamChunks.size() * kChunkBytes, containsAll(streamChunks),
         avCrcAll(streamChunks)},
        {"ContainsAc3Frame, no intact frame", damagedChunks.size() * kChunkBytes, containsAll(damagedChunks),
         avCrcAll(damagedChunks)},
        {"CrcCheck per frame", frameBytes,
         [&frames] {
             unsigned acc = 0;
             for (const EncodedFrame &f : frames)
                 acc += Ac3HeaderReader(f.data(), f.size()).CrcCheck();
             return acc;
         },
         [&frames, table] {
             unsigned acc = 0;
             for (const EncodedFrame &f : frames)
                 acc += av_crc(table, 0, f.data() + kFirstCrcByte, f.size() - kFirstCrcByte);
             return acc;
         }},
    };

    std::printf("AC-3 %d kbit/s, %d Hz, %d channels, %d frames; %zu-byte chunks; best of %d rounds\n", kBitRate / 1000,
                kSampleRateHz, kChannels, kFrames, kChunkBytes, rounds);
    std::printf("baseline: av_crc with AV_CRC_16_ANSI over the same bytes\n\n");
    std::printf("%-40s %12s %12s %8s\n", "case", "ours MB/s", "av_crc MB/s", "ratio");
    bool goalMet = true;
    for (const Case &c : cases) {
        // Alternate the two sides so that both see the same machine state.
        double ours = 1e30, base = 1e30;
        for (int r = 0; r < rounds; ++r) {
            ours = std::min(ours, bestSeconds(1, c.ours));
            base = std::min(base, bestSeconds(1, c.baseline));
        }
        const double oursMBs = c.bytes / ours / kBytesPerMB;
        const double baseMBs = c.bytes / base / kBytesPerMB;
        const double ratio = oursMBs / baseMBs;
        goalMet = goalMet && ratio >= kGoalRatio;
        std::printf("%-40s %12.0f %12.0f %8.2f\n", c.name.c_str(), oursMBs, baseMBs, ratio);
    }
    std::printf("\ngoal: ratio >= %.1f in every case: %s\n", kGoalRatio, goalMet ? "met" : "NOT met");
    return goalMet ? 0 : 1;
}
