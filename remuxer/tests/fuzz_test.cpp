// Random and mutated chunks: the module must neither crash, hang nor report
// a writer failure, and what it writes must stay readable.
#include "harness.h"

#include <gtest/gtest.h>

#include <random>

using namespace quelmar::remux::test;

namespace {

constexpr int kMutatedRounds = 6;
constexpr size_t kRandomChunks = 3000;
constexpr uint32_t kSeed = 20261208;

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
