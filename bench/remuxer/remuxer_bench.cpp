// MB/s of receiver chunks turned into a program stream plus both elementary
// streams by libremuxer.so, next to `ffmpeg -i SAME.ts -c copy -f dvd` over
// the same encoded streams, measured in the same run. Compare the two
// bytes_per_second figures (chunks include the receiver's stuffing, the .ts
// its packet overhead) and x_realtime (seconds of content per second), as
// ratios; never absolute times. ffmpeg's figure includes its process start.
#include "harness.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

using namespace quelmar::remux::test;

constexpr double kSeconds = 20.0;
constexpr int64_t kBitRate = 4000000; // like the simulated receiver's channels

FeedOptions options()
{
    FeedOptions o;
    o.seconds = kSeconds;
    o.width = 720;
    o.height = 576;
    o.videoBitRate = kBitRate;
    o.audioZeroFill = false;
    o.stampsBeforeData = false;
    return o;
}

const Feed &feed()
{
    static const Feed kFeed = makeFeed(options());
    return kFeed;
}

const std::string &transportStream()
{
    static const std::string kPath = [] {
        const std::string p = std::string(QUELMAR_TEST_DIR) + "/remuxer-bench.ts";
        if (!writeTransportStream(options(), p))
            std::fprintf(stderr, "cannot write %s\n", p.c_str());
        return p;
    }();
    return kPath;
}

void remuxerChunksToAllOutputs(benchmark::State &state)
{
    const Feed &f = feed();
    size_t bytes = 0;
    for (const Chunk &c : f.chunks)
        bytes += c.data.size();
    size_t out = 0;
    for (auto _ : state) {
        RunResult r = run(f, RunOptions{});
        if (r.failedAt)
            state.SkipWithError("Write_Mpg failed");
        out = r.parts[0].mpg.size() + r.parts[0].m2v.size() + r.parts[0].audio.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["output_MB"] = static_cast<double>(out) / 1e6;
    state.counters["x_realtime"] =
        benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(remuxerChunksToAllOutputs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void ffmpegDvdCopyBaseline(benchmark::State &state)
{
    const std::string &ts = transportStream();
    struct stat st {};
    stat(ts.c_str(), &st);
    const std::string command = "ffmpeg -nostdin -v error -i '" + ts + "' -c copy -f dvd -y /dev/null";
    for (auto _ : state) {
        std::string err;
        if (runCommand(command, nullptr, &err) != 0)
            state.SkipWithError(("ffmpeg failed: " + err).c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * st.st_size);
    state.counters["x_realtime"] =
        benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(ffmpegDvdCopyBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
