// Randomly damaged timer stores through the loader: never a crash or a
// read past the end, never a damaged store taken as whole, and a whole
// store saved back byte for byte. Deterministic: a fixed seed.
#include "timers/TimerStore.h"

#include "platform/testing/TestFiles.h"
#include "timers/Windows1252.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace quelmar {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSeed = 20261207;
constexpr int kRounds = 6000;
constexpr int kThroughTheFileEvery = 10; // rounds; the others decode the bytes only
constexpr uint32_t kSchemaWithDays = 0x80000113;
constexpr uint32_t kSchemaFlag = 0x80000000;

void PutU32(Bytes &out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t U32At(const Bytes &bytes, size_t at)
{
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

void PutText(Bytes &out, const std::string &utf8)
{
    const std::string text = *Utf8ToWindows1252(utf8);
    const auto length = static_cast<uint32_t>(text.size());
    if (length < 0xFF) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length < 0xFFFE) {
        out.insert(out.end(), {0xFF, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
    } else {
        out.insert(out.end(), {0xFF, 0xFF, 0xFF});
        PutU32(out, length);
    }
    out.insert(out.end(), text.begin(), text.end());
}

// What a writer of the layout `bytes` declare makes of `list`: the layout
// without schema word, or the schema word's, with the days byte from
// 0x80000113 on. Written independently of the program's encoder.
Bytes WrittenInTheLayoutOf(const Bytes &bytes, const CTimerList &list)
{
    Bytes out;
    const bool schemaWord = U32At(bytes, 4) & kSchemaFlag;
    const uint32_t schema = schemaWord ? U32At(bytes, 4) : kSchemaFlag;
    if (schemaWord) {
        PutU32(out, 0);
        PutU32(out, schema);
    }
    PutU32(out, static_cast<uint32_t>(list.GetCount()));
    for (int i = 0; i < list.GetCount(); ++i) {
        const CTimerEntry &e = *list.GetAt(i);
        out.insert(out.end(), {static_cast<uint8_t>(e.m_nChannel), static_cast<uint8_t>(e.m_nChannel >> 8)});
        PutText(out, e.m_strReserved1);
        PutText(out, e.m_strReserved2);
        PutU32(out, static_cast<uint32_t>(e.m_timeStart.GetTime()));
        PutU32(out, static_cast<uint32_t>(e.m_timeStop.GetTime()));
        PutText(out, e.m_strFileName);
        out.insert(out.end(), {e.m_bShutdown, e.m_bActive});
        if (schema >= kSchemaWithDays)
            out.push_back(e.m_nDays);
    }
    return out;
}

// Whether the loader rules read `bytes` as a sound store: 4 to 7 bytes, or
// exactly what a writer of their layout (no newer than this program's)
// makes of the entries read.
bool Sound(const Bytes &bytes, bool loaded, const CTimerList &list)
{
    if (!loaded)
        return false;
    if (bytes.size() < 8)
        return true;
    if ((U32At(bytes, 4) & kSchemaFlag) && U32At(bytes, 4) > kTimerStoreSchema)
        return false;
    return WrittenInTheLayoutOf(bytes, list) == bytes;
}

Bytes Seed(int which)
{
    CTimerList list;
    const char *names[] = {"", "/srv/rec/news", "Caf\xC3\xA9 \xE2\x82\xAC \xC2\x81"};
    for (int i = 0; i < which % 4 + 1; ++i) {
        CTimerEntry entry;
        entry.m_nChannel = static_cast<uint16_t>(i + 1);
        entry.m_timeStart = CTime(1796634000 + i * 86400);
        entry.m_timeStop = CTime(1796637600 + i * 86400);
        entry.m_strFileName = i == 3 ? std::string(300, 'n') : names[i % 3];
        entry.m_bShutdown = static_cast<uint8_t>(i & 1);
        entry.m_nDays = static_cast<uint8_t>(i * 0x21);
        list.AddCopy(entry);
    }
    Bytes bytes;
    std::string problem;
    EncodeTimerStore(list, bytes, problem);
    if (which % 3 == 1) { // the layout without schema word: no days bytes, no header words
        CTimerList again;
        DecodeTimerStore(bytes, again, problem);
        Bytes header(bytes.begin(), bytes.begin() + 8);
        header[4] = 0;
        header[7] = 0;
        return WrittenInTheLayoutOf(header, again);
    }
    return bytes;
}

// One to four kinds of damage.
Bytes Damage(Bytes bytes, std::mt19937 &rng)
{
    const auto pick = [&](size_t below) {
        return below == 0 ? 0 : std::uniform_int_distribution<size_t>(0, below - 1)(rng);
    };
    const int steps = 1 + static_cast<int>(rng() % 4);
    for (int step = 0; step < steps; ++step) {
        switch (rng() % 7) {
        case 0: // a byte changed
            if (!bytes.empty())
                bytes[pick(bytes.size())] = static_cast<uint8_t>(rng());
            break;
        case 1: // cut off
            bytes.resize(pick(bytes.size() + 1));
            break;
        case 2: // bytes inserted
            bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(pick(bytes.size() + 1)), 1 + rng() % 8,
                         static_cast<uint8_t>(rng()));
            break;
        case 3: { // a range lost
            const size_t from = pick(bytes.size() + 1);
            bytes.erase(bytes.begin() + static_cast<ptrdiff_t>(from),
                        bytes.begin() + static_cast<ptrdiff_t>(std::min(bytes.size(), from + 1 + rng() % 16)));
            break;
        }
        case 4: // a header word replaced: the count, the schema, the first word
            if (bytes.size() >= 12) {
                const size_t at = 4 * pick(3);
                const uint32_t word = U32At(bytes, at);
                const uint32_t values[] = {word + 1, word - 1, word | kSchemaFlag, word ^ (1u << (rng() % 32)),
                                           static_cast<uint32_t>(rng())};
                const uint32_t value = values[pick(std::size(values))];
                for (size_t i = 0; i < 4; ++i)
                    bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
            }
            break;
        case 5: // bytes after the end
            bytes.insert(bytes.end(), 1 + rng() % 40, static_cast<uint8_t>(rng()));
            break;
        default: // a copy of a stretch appended (a record counted once, present twice)
            if (bytes.size() > 12) {
                const size_t from = 12 + pick(bytes.size() - 12);
                const Bytes stretch(bytes.begin() + static_cast<ptrdiff_t>(from), bytes.end());
                bytes.insert(bytes.end(), stretch.begin(), stretch.end());
            }
            break;
        }
    }
    return bytes;
}

TEST(TimerStoreFuzz, DamagedStoresAreNeverTakenAsWhole)
{
    const fs::path dir = testing::ScratchDir("timer-store-fuzz");
    const std::string path = (dir / "timer.db").string();
    std::mt19937 rng(kSeed);
    int whole = 0;
    int damaged = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Bytes bytes = Damage(Seed(round), rng);
        CTimerList list;
        bool loadedWhole = false;
        bool loaded;
        if (round % kThroughTheFileEvery == 0) {
            list.m_strPath = path;
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            TimerStoreError error;
            loaded = list.Load(error);
            loadedWhole = list.LoadedWhole();
            EXPECT_EQ(error.damaged, !loadedWhole) << round;
        } else {
            std::string problem;
            loaded = DecodeTimerStore(bytes, list, problem, &loadedWhole);
        }
        ASSERT_EQ(loadedWhole, Sound(bytes, loaded, list)) << "round " << round << ", " << bytes.size() << " bytes";
        (loadedWhole ? whole : damaged) += 1;
        if (loadedWhole && bytes.size() >= 8 && U32At(bytes, 4) == kTimerStoreSchema) {
            Bytes again;
            std::string problem;
            ASSERT_TRUE(EncodeTimerStore(list, again, problem)) << problem;
            EXPECT_EQ(again, bytes) << round;
            if (!list.m_strPath.empty()) {
                TimerStoreError error;
                ASSERT_TRUE(list.Save(error)) << error.text;
                EXPECT_EQ(testing::ReadBytes(path), bytes) << round;
            }
        }
    }
    // Both kinds came up often enough to mean something.
    EXPECT_GT(whole, kRounds / 20);
    EXPECT_GT(damaged, kRounds / 2);
    fs::remove_all(dir);
}

} // namespace
} // namespace quelmar
