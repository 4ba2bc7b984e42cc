// Command blocks, directions, lengths and data of the streaming and control
// exports, byte for byte, in both command layouts.
#include "library_fixture.h"

#include <cstring>
#include <string>

namespace quelmar::scsi::test {
namespace {

constexpr uint16_t kLegacy = 0x0214;  // last revision with the mode byte in byte 1
constexpr uint16_t kCurrent = 0x0215; // first revision with it in byte 2

class CommandTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        addReceiver(0, 3);
        load();
    }

    // The only request sent since the last call.
    scripted::Request only()
    {
        auto all = layer_->requests();
        EXPECT_EQ(all.size(), 1u);
        layer_->reset();
        addReceiver(0, 3);
        return all.empty() ? scripted::Request{} : all.front();
    }

    void expectNothingSent() { EXPECT_TRUE(layer_->requests().empty()); }
};

TEST_F(CommandTest, StreamingStartStopBlocks)
{
    const DvbDevice d = device(kCurrent);
    ASSERT_EQ(lib_.dvbInitStreaming(&d, 0, 0x10000, 10), 1);
    auto r = only();
    EXPECT_EQ(cdbOf(r), (Bytes{0x3D, 0, 0, 0, 0, 0, 0, 0, 0x06, 0}));
    EXPECT_EQ(r.dataOut, (Bytes{0, 0, 0, 0, 0, 0x0A}));
    EXPECT_EQ(r.flags, 0x50);
    EXPECT_EQ(r.cdbLen, 10);

    ASSERT_EQ(lib_.dvbInitStreaming2(&d, 0x1234, 0xABCDEF01, 0x5678), 1);
    r = only();
    EXPECT_EQ(cdbOf(r), (Bytes{0x3E, 0, 0, 0, 0, 0, 0, 0, 0x06, 0}));
    EXPECT_EQ(r.dataOut, (Bytes{0x12, 0x34, 0xEF, 0x01, 0x56, 0x78}));

    ASSERT_EQ(lib_.dvbReInitStreaming(&d), 1);
    r = only();
    EXPECT_EQ(cdbOf(r), (Bytes{0x3E, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.dataOut, (Bytes{0x3E, 0, 0, 0, 0, 0}));

    ASSERT_EQ(lib_.dvbDeInitStreaming(&d), 1);
    r = only();
    EXPECT_EQ(cdbOf(r), (Bytes{0x3D, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.dataOut, (Bytes(6, 0)));
    EXPECT_EQ(r.bufLen, 6u);
}

TEST_F(CommandTest, StreamReadsPlaceTheModeByRevision)
{
    auto &answers = layer_->device(0, 3)->answers;
    for (uint8_t mode : {6, 0x17, 0x18, 0x19})
        answers[mode] = Bytes(32768, mode);
    uint8_t buffer[32768];

    const DvbDevice current = device(0x0221);
    const DvbDevice legacy = device(kLegacy);
    ASSERT_EQ(lib_.dvbReadSingleStream(&current, buffer, 100), 1);
    EXPECT_EQ(cdbOf(only()), (Bytes{0x3C, 0, 6, 0, 0, 0, 0, 0, 100, 0}));
    layer_->device(0, 3)->answers[6] = Bytes(100, 6);
    ASSERT_EQ(lib_.dvbReadSingleStream(&legacy, buffer, 100), 1);
    EXPECT_EQ(cdbOf(only()), (Bytes{0x3C, 6, 0, 0, 0, 0, 0, 0, 100, 0}));

    struct Kind {
        int32_t kind;
        uint8_t mode;
        uint32_t length;
    };
    for (const Kind k : {Kind{0, 0x17, 8192}, Kind{1, 0x18, 32768}, Kind{2, 0x19, 16}}) {
        layer_->device(0, 3)->answers[k.mode] = Bytes(k.length, k.mode);
        std::memset(buffer, 0, sizeof buffer);
        ASSERT_EQ(lib_.dvbReadMultipleStreams(&current, buffer, k.length, k.kind), 1);
        const auto r = only();
        EXPECT_EQ(cdbOf(r), (Bytes{0x3C, 0, k.mode, 0, 0, 0, 0, uint8_t(k.length >> 8), uint8_t(k.length), 0}));
        EXPECT_EQ(r.flags, 0x48);
        EXPECT_EQ(r.bufLen, k.length);
        EXPECT_EQ(buffer[0], k.mode) << "data goes straight into the caller's buffer";
        EXPECT_EQ(buffer[k.length - 1], k.mode);
    }
    for (int32_t bad : {3, -1, 25}) {
        EXPECT_EQ(lib_.dvbReadMultipleStreams(&current, buffer, 16, bad), 0);
        expectNothingSent();
    }

    // Multi-PID read is a memory read at address 0.
    ASSERT_EQ(lib_.dvbReadMultiPID(&current, buffer, 188), 1);
    EXPECT_EQ(cdbOf(only()), (Bytes{0x3C, 0, 0, 0, 0, 0, 0, 0, 188, 0}));
}

TEST_F(CommandTest, RefusedReadReturnsZero)
{
    const DvbDevice d = device(kCurrent);
    uint8_t buffer[16];
    // No answer scripted for mode 0x19: the receiver refuses.
    EXPECT_EQ(lib_.dvbReadMultipleStreams(&d, buffer, 16, 2), 0);
    // No receiver at that address at all.
    const DvbDevice absent = device(kCurrent, 0, 6);
    EXPECT_EQ(lib_.dvbReadMemory(&absent, 0, buffer, 16), 0);
}

TEST_F(CommandTest, SpecialCommandMessages)
{
    const DvbDevice current = device(kCurrent);
    const DvbDevice legacy = device(kLegacy);
    const std::string rec = " ->rec<-";
    ASSERT_EQ(lib_.dvbSendSpecialCommand(&current, reinterpret_cast<const uint8_t *>(rec.data()), 8, 1), 1);
    auto r = only();
    EXPECT_EQ(r.dataOut, (Bytes{0x01, 0x20, 0x2D, 0x3E, 0x72, 0x65, 0x63, 0x3C, 0x2D, 0x00}));
    EXPECT_EQ(cdbOf(r), (Bytes{0x3B, 0x00, 0x30, 0, 0, 0, 0, 0, 0x0A, 0}));
    EXPECT_EQ(r.flags, 0x50);

    ASSERT_EQ(lib_.dvbSendSpecialCommand(&legacy, nullptr, 0, 2), 1);
    r = only();
    EXPECT_EQ(r.dataOut, (Bytes{0x02, 0x00}));
    EXPECT_EQ(cdbOf(r), (Bytes{0x3B, 0x30, 0x00, 0, 0, 0, 0, 0, 0x02, 0}));

    // Data ending in 0: no terminator added, only the padding to even length.
    const uint8_t endsInZero[] = {0x41, 0x00};
    ASSERT_EQ(lib_.dvbSendSpecialCommand(&current, endsInZero, 2, 7), 1);
    EXPECT_EQ(only().dataOut, (Bytes{0x07, 0x41, 0x00, 0x00}));
    const uint8_t evenAlready[] = {0x41, 0x42, 0x00};
    ASSERT_EQ(lib_.dvbSendSpecialCommand(&current, evenAlready, 3, 7), 1);
    EXPECT_EQ(only().dataOut, (Bytes{0x07, 0x41, 0x42, 0x00}));

    // The length byte bounds the message: 254 bytes go, 256 do not.
    const Bytes fits(252, 0x41), tooLong(253, 0x41);
    ASSERT_EQ(lib_.dvbSendSpecialCommand(&current, fits.data(), uint16_t(fits.size()), 9), 1);
    r = only();
    EXPECT_EQ(r.dataOut.size(), 254u);
    EXPECT_EQ(r.cdb[8], 254);
    EXPECT_EQ(lib_.dvbSendSpecialCommand(&current, tooLong.data(), uint16_t(tooLong.size()), 9), 0);
    expectNothingSent();
}

TEST_F(CommandTest, RemoteAndVideoSettings)
{
    const DvbDevice d = device(kCurrent);
    ASSERT_EQ(lib_.dvbRemote(&d, 1), 1);
    EXPECT_EQ(only().dataOut, (Bytes{0x1D, 0x00}));
    ASSERT_EQ(lib_.dvbRemote(&d, 0), 1);
    EXPECT_EQ(only().dataOut, (Bytes{0x1E, 0x00}));
    EXPECT_EQ(lib_.dvbRemote(&d, 2), 0);
    EXPECT_EQ(lib_.dvbRemote(&d, -1), 0);
    expectNothingSent();

    const Bytes expected[] = {
        {0x3D, 0x00, 0x0D, 0x00}, {0x3D, 0x00, 0x10, 0x00}, {0x3D, 0x00, 0x16, 0x00}, {0x3D, 0x01, 0x06, 0x00}};
    for (uint32_t kind = 0; kind < 4; ++kind) {
        ASSERT_EQ(lib_.dvbVideoGimmick(&d, kind), 1);
        EXPECT_EQ(only().dataOut, expected[kind]);
    }
    EXPECT_EQ(lib_.dvbVideoGimmick(&d, 4), 0);
    expectNothingSent();
}

TEST_F(CommandTest, OnScreenTextBlocks)
{
    const DvbDevice d = device(kCurrent);
    ASSERT_EQ(lib_.dvbSetOSD(&d, 0, 0, 35, 40, ""), 1);
    Bytes empty = {0x1B};
    empty.insert(empty.end(), 12, 0x00);
    empty.insert(empty.end(), {0x20, 0x00, 0x00});
    auto r = only();
    EXPECT_EQ(r.dataOut, empty);
    EXPECT_EQ(r.cdb[8], 16);

    ASSERT_EQ(lib_.dvbSetOSD(&d, 0xFF0000, 0x00FF00, 35, 40, "AB"), 1);
    EXPECT_EQ(only().dataOut,
              (Bytes{0x1B, 0x00, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x23, 0x00, 0x28, 0x41, 0x42, 0x00}));

    const std::string longest(240, 'x'), tooLong(241, 'x');
    ASSERT_EQ(lib_.dvbSetOSD(&d, 1, 2, 3, 4, longest.c_str()), 1);
    EXPECT_EQ(only().dataOut.size(), 254u);
    EXPECT_EQ(lib_.dvbSetOSD(&d, 1, 2, 3, 4, tooLong.c_str()), 0);
    expectNothingSent();
}

TEST_F(CommandTest, MemoryAccessAndTwentyFourBitFields)
{
    const DvbDevice current = device(kCurrent);
    const DvbDevice legacy = device(kLegacy);
    const Bytes data = {1, 2, 3, 4, 5};
    ASSERT_EQ(lib_.dvbWriteMemory(&legacy, 0x123456, data.data(), 5), 1);
    auto r = only();
    EXPECT_EQ(cdbOf(r), (Bytes{0x3B, 0x05, 0x00, 0x12, 0x34, 0x56, 0, 0, 5, 0}));
    EXPECT_EQ(r.dataOut, data);

    // Bits above 24 of the address are dropped.
    ASSERT_EQ(lib_.dvbWriteMemory(&current, 0xAB123456, data.data(), 5), 1);
    uint8_t back[5] = {};
    ASSERT_EQ(lib_.dvbReadMemory(&current, 0xFF123456, back, 5), 1);
    EXPECT_EQ(Bytes(back, back + 5), data);
    const auto both = layer_->requests();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(cdbOf(both[0]), (Bytes{0x3B, 0x00, 0x05, 0x12, 0x34, 0x56, 0, 0, 5, 0}));
    EXPECT_EQ(cdbOf(both[1]), (Bytes{0x3C, 0x00, 0x00, 0x12, 0x34, 0x56, 0, 0, 5, 0}));
    layer_->reset();
    addReceiver(0, 3);

    // The command buffer bounds a write.
    const Bytes largest(131072, 0x5A), tooLarge(131073, 0x5A);
    ASSERT_EQ(lib_.dvbWriteMemory(&current, 0x10000, largest.data(), uint32_t(largest.size())), 1);
    r = only();
    EXPECT_EQ(r.bufLen, 131072u);
    EXPECT_EQ(r.dataOut, largest);
    EXPECT_EQ(lib_.dvbWriteMemory(&current, 0x10000, tooLarge.data(), uint32_t(tooLarge.size())), 0);
    expectNothingSent();
}

TEST_F(CommandTest, NullArgumentsFailWithoutSending)
{
    const DvbDevice d = device(kCurrent);
    uint8_t buffer[16];
    EXPECT_EQ(lib_.dvbReadMemory(nullptr, 0, buffer, 16), 0);
    EXPECT_EQ(lib_.dvbReadMemory(&d, 0, nullptr, 16), 0);
    EXPECT_EQ(lib_.dvbWriteMemory(&d, 0, nullptr, 16), 0);
    EXPECT_EQ(lib_.dvbSendSpecialCommand(&d, nullptr, 4, 1), 0);
    EXPECT_EQ(lib_.dvbGetAllChannels(&d, nullptr, 10), 0);
    EXPECT_EQ(lib_.dvbGetCurrentChannel(nullptr).answer, 0);
    expectNothingSent();
}

} // namespace

} // namespace quelmar::scsi::test
