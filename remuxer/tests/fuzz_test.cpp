// Random and mutated chunks: the module must neither crash, hang nor report
// a writer failure, and what it writes must stay readable.
#include "fuzz_target.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace quelmar::remux::test;

namespace {

constexpr int kMutatedRounds = 6;
constexpr size_t kRandomChunks = 3000;
constexpr uint32_t kSeed = 20261208;
constexpr int kCorpusMutations = 120; // mutated inputs the bounded corpus runs
constexpr size_t kSeedChunks = 80;    // chunks of a feed in one seed input (about a second)

Feed mutate(const Feed &in, std::mt19937 &rng, int round)
{
    Feed out;
    std::uniform_int_distribution<int> pct(0, 99);
    for (const Chunk &c : in.chunks) {
        Chunk m = c;
        const int roll = pct(rng);
        if (roll < 3)
            continue; // chunk lost
        if (roll < 6 && m.data.size() > 4)
            m.data.resize(std::uniform_int_distribution<size_t>(1, m.data.size() - 1)(rng)); // truncated
        if (roll >= 6 && roll < 6 + 4 * round) {                                             // bytes damaged
            const int flips = 1 + pct(rng) % 16;
            for (int f = 0; f < flips && !m.data.empty(); ++f)
                m.data[std::uniform_int_distribution<size_t>(0, m.data.size() - 1)(rng)] = static_cast<uint8_t>(rng());
        }
        if (roll >= 95)
            m.kind = static_cast<int>(rng() % 4); // wrong stream
        out.chunks.push_back(std::move(m));
        if (roll == 50)
            out.chunks.push_back(c); // repeated
    }
    return out;
}

} // namespace

TEST(RemuxerFuzz, MutatedFeedsNeverFailOrCrash)
{
    FeedOptions fo;
    fo.seconds = 2.0;
    const Feed mp2 = makeFeed(fo);
    fo.audio = AudioKind::Ac3;
    const Feed ac3 = makeFeed(fo);
    std::mt19937 rng(kSeed);
    for (int round = 0; round < kMutatedRounds; ++round) {
        SCOPED_TRACE(round);
        const Feed f = mutate(round % 2 ? ac3 : mp2, rng, round);
        RunOptions o;
        o.splitAfterChunks = {f.chunks.size() / 2};
        RunResult r = run(f, o);
        EXPECT_FALSE(r.failedAt);
        EXPECT_TRUE(r.splitCleared);
        EXPECT_LT(r.log.size(), 12u) << "errors are reported in summaries, not per chunk";
        for (const Part &p : r.parts) {
            if (p.mpg.empty())
                continue;
            FileCheck c = checkOutput(p.mpg, "mpeg");
            EXPECT_TRUE(c.opened);
        }
    }
}

TEST(RemuxerFuzz, RandomChunksNeverFailOrCrash)
{
    std::mt19937 rng(kSeed + 1);
    Feed f;
    const size_t sizes[] = {16, 8192, 32768, 0, 5, 17};
    for (size_t i = 0; i < kRandomChunks; ++i) {
        Chunk c;
        c.kind = static_cast<int>(rng() % 3);
        c.paused = rng() % 50 == 0;
        c.data.resize(sizes[rng() % 6]);
        const int style = static_cast<int>(rng() % 4);
        for (size_t k = 0; k < c.data.size(); ++k) {
            uint8_t b = static_cast<uint8_t>(rng());
            // Bias towards start codes and sync words so the parsers get deep.
            if (style == 1 && k % 64 < 3)
                b = k % 64 == 2 ? 1 : 0;
            if (style == 2 && k % 97 == 0)
                b = 0xFF;
            if (style == 3 && k % 101 == 0)
                b = 0x0B;
            if (style == 3 && k % 101 == 1)
                b = 0x77;
            c.data[k] = b;
        }
        f.chunks.push_back(std::move(c));
    }
    RunOptions o;
    o.splitAfterChunks = {kRandomChunks / 3, 2 * kRandomChunks / 3};
    RunResult r = run(f, o);
    EXPECT_FALSE(r.failedAt);
    EXPECT_TRUE(r.splitCleared);
    EXPECT_LT(r.log.size(), 40u) << "errors are reported in summaries, not per chunk";
}

namespace {

// Seed inputs for the fuzz target: the start of real feeds as scripts.
std::vector<std::vector<uint8_t>> seeds()
{
    std::vector<std::vector<uint8_t>> out;
    for (AudioKind audio : {AudioKind::Mp2, AudioKind::Ac3}) {
        FeedOptions fo;
        fo.seconds = 1.5;
        fo.audio = audio;
        fo.audioZeroFill = false;
        fo.stampsBeforeData = false;
        const Feed feed = makeFeed(fo);
        std::vector<std::pair<int, std::vector<uint8_t>>> chunks;
        for (size_t i = 0; i < feed.chunks.size() && i < kSeedChunks; ++i)
            chunks.emplace_back(feed.chunks[i].kind, feed.chunks[i].data);
        out.push_back(fuzzScript(chunks));
    }
    return out;
}

// A picture whose data ends in an extension start code right before the
// next picture start code, and the rest of a 45-byte chunk zero.
std::vector<uint8_t> extensionCodeAtThePictureEnd()
{
    std::vector<uint8_t> c = {0, 0, 1, 0x00, 0x00, 0x08, 0xFF, 0xF8, // I picture
                              0, 0, 1, 0xB5,                         // extension start code, nothing after it
                              0, 0, 1, 0x00, 0x00, 0x10, 0xFF, 0xF8, // next picture
                              0, 0, 1, 0x01, 0x11, 0x22, 0x33};      // a slice
    c.resize(45, 0);
    return c;
}

} // namespace

TEST(RemuxerFuzz, BoundedCorpusThroughTheFuzzTarget)
{
    std::vector<std::vector<uint8_t>> corpus = seeds();
    corpus.push_back(fuzzScript({{REMUX_STREAM_VIDEO, extensionCodeAtThePictureEnd()}}));
    std::mt19937 rng(kSeed + 2);
    const size_t seedCount = corpus.size();
    for (int i = 0; i < kCorpusMutations; ++i) {
        std::vector<uint8_t> m = corpus[rng() % seedCount];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits && !m.empty(); ++e) {
            const size_t at = rng() % m.size();
            switch (rng() % 4) {
            case 0: m[at] = static_cast<uint8_t>(rng()); break;              // a byte
            case 1: m[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break; // a bit
            case 2:
                m.erase(m.begin() + static_cast<ptrdiff_t>(at),
                        m.begin() + static_cast<ptrdiff_t>(std::min(m.size(), at + 1 + rng() % 64)));
                break;
            default: {
                // A piece of the input repeated elsewhere.
                const size_t from = rng() % m.size();
                const size_t n = std::min<size_t>(m.size() - from, 1 + rng() % 512);
                std::vector<uint8_t> piece(m.begin() + static_cast<ptrdiff_t>(from),
                                           m.begin() + static_cast<ptrdiff_t>(from + n));
                m.insert(m.begin() + static_cast<ptrdiff_t>(at), piece.begin(), piece.end());
            }
            }
        }
        corpus.push_back(std::move(m));
    }
    for (size_t i = 0; i < corpus.size(); ++i) {
        SCOPED_TRACE("input " + std::to_string(i));
        runFuzzInput(corpus[i].data(), corpus[i].size());
    }
}

TEST(RemuxerFuzz, PictureEndingInAnExtensionStartCodeIsReadWithinItsBytes)
{
    // Only the sanitizer builds see a read past the chunk; the unit itself
    // is damaged (the extension has no body) and left out.
    Feed f;
    f.chunks.push_back({REMUX_STREAM_VIDEO, extensionCodeAtThePictureEnd(), false});
    const RunResult r = run(f, RunOptions{});
    EXPECT_FALSE(r.failedAt);
    EXPECT_TRUE(r.parts[0].m2v.empty());
}

TEST(RemuxerFuzz, HugeVbvBufferSizeIsNoTroubleForTheMuxer)
{
    // vbv_buffer_size_extension 0xFF: 18-bit sizes from 2^17 units up
    // overflow 32 bits when counted in bits.
    FeedOptions fo;
    fo.seconds = 1.0;
    Feed feed = makeFeed(fo);
    int patched = 0;
    for (Chunk &c : feed.chunks)
        for (size_t i = 0; c.kind == REMUX_STREAM_VIDEO && i + 10 < c.data.size(); ++i)
            if (c.data[i] == 0 && c.data[i + 1] == 0 && c.data[i + 2] == 1 && c.data[i + 3] == 0xB5 &&
                (c.data[i + 4] >> 4) == 1) {
                c.data[i + 8] = 0xFF;
                ++patched;
            }
    ASSERT_GT(patched, 0);
    const RunResult r = run(feed, RunOptions{});
    EXPECT_FALSE(r.failedAt);
    EXPECT_TRUE(r.avMessages.empty()) << r.avMessages.size() << " libav messages, the first: " << r.avMessages.front();
    const FileCheck c = checkOutput(r.parts[0].mpg, "mpeg");
    EXPECT_EQ(c.warnings + c.video.decodeErrors, 0);
    EXPECT_GT(c.video.frames, 0);
}
