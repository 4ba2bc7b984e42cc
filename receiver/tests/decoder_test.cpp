// The command decoder: exactly the command blocks the receiver access library
// sends, each in the layout of the receiver's firmware.
#include "test_cdb.h"

#include "receiver/channel_record.h"
#include "receiver/receiver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quelmar::receiver {
namespace {

using test::Cdb;
using test::cdb10;

ReceiverConfig withRevision(const std::string &digits, Identification id = Identification::Current)
{
    ReceiverConfig r = defaultConfig().receivers.at(0);
    r.revision = digits;
    r.identification = id;
    r.vendor = defaultVendor(id);
    r.product = defaultProduct(id);
    return r;
}

struct Rig {
    explicit Rig(ReceiverConfig cfg) : rx(std::move(cfg)) {}
    CommandResult in(const Cdb &c, std::vector<uint8_t> *out, uint32_t len)
    {
        out->assign(len, 0xEE);
        return rx.execute(c.data(), c.size(), Direction::In, out->data(), len);
    }
    CommandResult out(const Cdb &c, std::vector<uint8_t> data)
    {
        return rx.execute(c.data(), c.size(), Direction::Out, data.data(), static_cast<uint32_t>(data.size()));
    }
    bool legacy() const { return rx.legacyLayout(); }
    Receiver rx;
};

void expectIllegal(const CommandResult &r)
{
    EXPECT_EQ(r.status, TargetStatus::CheckCondition);
    EXPECT_EQ(r.sense[0], 0x70);
    EXPECT_EQ(r.sense[2], kSenseIllegalRequest);
}

TEST(ReceiverDecoder, InquiryCarriesIdentificationAndRevisionDigits)
{
    Rig cur(withRevision("0217"));
    std::vector<uint8_t> d;
    const uint8_t inq[6] = {0x12, 0, 0, 0, 36, 0};
    d.assign(36, 0);
    ASSERT_EQ(cur.rx.execute(inq, 6, Direction::In, d.data(), 36).status, TargetStatus::Good);
    EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 15), "Quelmar");
    EXPECT_EQ(d[31], '0');
    EXPECT_EQ(std::string(d.begin() + 32, d.begin() + 36), "2.17");

    Rig old(withRevision("1234", Identification::Older));
    ASSERT_EQ(old.rx.execute(inq, 6, Direction::In, d.data(), 36).status, TargetStatus::Good);
    EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 27), "TANVERIL ZEPRA SCSI");
    EXPECT_EQ(d[31], '1');
    EXPECT_EQ(std::string(d.begin() + 32, d.begin() + 36), "2.34");

    // A request without a buffer gets nothing, and nothing is copied.
    const CommandResult none = cur.rx.execute(inq, 6, Direction::None, nullptr, 0);
    EXPECT_EQ(none.status, TargetStatus::Good);
    EXPECT_EQ(none.bytesTransferred, 0u);
}

TEST(ReceiverDecoder, ModeByteIsReadFromByteOneUpTo214AndFromByteTwoAfter)
{
    for (const char *rev : {"0214", "0215", "0217"}) {
        Rig rig(withRevision(rev));
        const bool legacy = rig.legacy();
        EXPECT_EQ(legacy, std::string(rev) == "0214");
        const uint8_t countMode = legacy ? kModeChannelCountLegacy : kModeChannelCount;
        std::vector<uint8_t> d;
        ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, countMode, legacy, 0, 4), &d, 4).status, TargetStatus::Good) << rev;
        EXPECT_EQ(d, (std::vector<uint8_t>{0, 0, 0, 4}));
        // The same command in the other layout is refused.
        expectIllegal(rig.in(cdb10(kOpReadBuffer, countMode, !legacy, 0, 4), &d, 4));
        // And the other firmware generation's count mode too.
        expectIllegal(
            rig.in(cdb10(kOpReadBuffer, legacy ? kModeChannelCount : kModeChannelCountLegacy, legacy, 0, 4), &d, 4));
        // Special commands and memory writes follow the same rule.
        expectIllegal(rig.out(cdb10(kOpWriteBuffer, kModeSpecial, !legacy, 0, 2), {30, 0}));
        EXPECT_EQ(rig.out(cdb10(kOpWriteBuffer, kModeSpecial, legacy, 0, 2), {29, 0}).status, TargetStatus::Good);
        EXPECT_TRUE(rig.rx.state().remoteLocked);
    }
}

TEST(ReceiverDecoder, ChannelSelectionKeepsModeOneInByteOneOnEveryFirmware)
{
    for (const char *rev : {"0214", "0217"}) {
        Rig rig(withRevision(rev));
        Cdb sel{kOpStreamA, 1, 0, 0, 0, 0, 0, 0, 2, 0};
        ASSERT_EQ(rig.out(sel, {0, 2}).status, TargetStatus::Good) << rev;
        EXPECT_EQ(rig.rx.state().tunedChannel, 3u);
        std::vector<uint8_t> d;
        ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, kModeCurrentChannel, rig.legacy(), 0, 68), &d, 68).status,
                  TargetStatus::Good);
        EXPECT_NE(readBe16(d.data()), 0);
        EXPECT_EQ(readBe16(&d[4 + kRecordVideoPidOffset]), kNoVideoPid); // channel 3 is the radio channel
        EXPECT_EQ(std::string(reinterpret_cast<char *>(&d[4 + kRecordNameOffset])), "Radio Quelmar");
        // Mode 1 moved to byte 2 is not a channel selection; past the table's end
        // is refused.
        Cdb moved{kOpStreamA, 0, 1, 0, 0, 0, 0, 0, 2, 0};
        expectIllegal(rig.out(moved, {0, 1}));
        expectIllegal(rig.out(sel, {0, 4}));
        EXPECT_EQ(rig.rx.state().tunedChannel, 3u);
    }
}

TEST(ReceiverDecoder, ChannelTableInReceiverFormRoundTripsThroughMemory)
{
    Rig rig(withRevision("0217"));
    std::vector<uint8_t> table;
    ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, 0, false, kChannelTableAddress, 4 * 64), &table, 4 * 64).status,
              TargetStatus::Good);
    // Record 4 is "[Ü] Wetter 21°" in the receiver's codes, PIDs big-endian.
    const uint8_t *r4 = &table[3 * 64];
    EXPECT_EQ(std::memcmp(r4 + kRecordNameOffset, "\x86\x9A\x87 Wetter 21\xF8", 14), 0);
    EXPECT_EQ(r4[kRecordVideoPidOffset], 401 >> 8);
    EXPECT_EQ(r4[kRecordVideoPidOffset + 1], 401 & 0xFF);
    EXPECT_EQ(r4[kRecordTagOffset], 4);

    // Writing two records with mode 4 makes a two-channel table.
    std::vector<uint8_t> two(table.begin() + 64, table.begin() + 192);
    two[kRecordNameOffset] = 'X';
    ASSERT_EQ(rig.out(cdb10(kOpWriteBuffer, kModeWriteTable, false, kChannelTableAddress, 128), two).status,
              TargetStatus::Good);
    std::vector<uint8_t> d;
    ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, kModeChannelCount, false, 0, 4), &d, 4).status, TargetStatus::Good);
    EXPECT_EQ(readBe16(&d[2]), 2);
    ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, 0, false, kChannelTableAddress, 64), &d, 64).status, TargetStatus::Good);
    EXPECT_EQ(d[kRecordNameOffset], 'X');
    // Table writes are whole records from the table on.
    expectIllegal(
        rig.out(cdb10(kOpWriteBuffer, kModeWriteTable, false, kChannelTableAddress + 1, 64), std::vector<uint8_t>(64)));
    expectIllegal(
        rig.out(cdb10(kOpWriteBuffer, kModeWriteTable, false, kChannelTableAddress, 60), std::vector<uint8_t>(60)));
    expectIllegal(rig.out(cdb10(kOpWriteBuffer, kModeWriteTable, false, 0x1000, 64), std::vector<uint8_t>(64)));
}

TEST(ReceiverDecoder, MemoryIsSixteenMebibytesWithTheScsiModeWord)
{
    Rig rig(withRevision("0214"));
    ASSERT_EQ(rig.out(cdb10(kOpWriteBuffer, kModeWriteMemory, true, 0xFFEA, 2), {0xFF, 0xFF}).status,
              TargetStatus::Good);
    EXPECT_EQ(rig.rx.state().scsiModeWord, 0xFFFF);
    ASSERT_EQ(rig.out(cdb10(kOpWriteBuffer, kModeWriteMemory, true, 0xFFFFFE, 2), {1, 2}).status, TargetStatus::Good);
    std::vector<uint8_t> d;
    ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, 0, true, 0xFFFFFE, 2), &d, 2).status, TargetStatus::Good);
    EXPECT_EQ(d, (std::vector<uint8_t>{1, 2}));
    expectIllegal(rig.in(cdb10(kOpReadBuffer, 0, true, 0xFFFFFF, 2), &d, 2));
    expectIllegal(rig.out(cdb10(kOpWriteBuffer, kModeWriteMemory, true, 0xFFFFFF, 2), {1, 2}));
    // A buffer smaller than the transfer is an overrun, not a memory smash.
    std::vector<uint8_t> small(4);
    const Cdb big = cdb10(kOpReadBuffer, 0, true, 0, 64);
    EXPECT_TRUE(rig.rx.execute(big.data(), big.size(), Direction::In, small.data(), 4).dataOverrun);
}

TEST(ReceiverDecoder, SpeedTestWritesAreAcceptedAndDiscarded)
{
    Rig rig(withRevision("0217"));
    std::vector<uint8_t> chunk(65536, 0x5A);
    EXPECT_EQ(rig.out(cdb10(kOpWriteBuffer, 0, false, 0, 65536), chunk).status, TargetStatus::Good);
    std::vector<uint8_t> d;
    ASSERT_EQ(rig.in(cdb10(kOpReadBuffer, 0, false, 0, 16), &d, 16).status, TargetStatus::Good);
    EXPECT_EQ(d, std::vector<uint8_t>(16, 0));
    expectIllegal(rig.out(cdb10(kOpWriteBuffer, 0, false, 0x100, 16), std::vector<uint8_t>(16)));
}

TEST(ReceiverDecoder, SpecialCommandsChangeTheReceiversState)
{
    Rig rig(withRevision("0217"));
    auto special = [&](std::vector<uint8_t> msg) {
        return rig.out(cdb10(kOpWriteBuffer, kModeSpecial, false, 0, static_cast<uint32_t>(msg.size())), msg);
    };
    // " ->rec<-" as the library pads it: code, 8 bytes, 0.
    EXPECT_EQ(special({1, ' ', '-', '>', 'r', 'e', 'c', '<', '-', 0}).status, TargetStatus::Good);
    EXPECT_EQ(rig.rx.state().frontPanel, " ->rec<-");
    // On-screen text: four values, the text and its NUL, padded to even.
    std::vector<uint8_t> osd = {27, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 35, 0, 40, 'A', 'B', 0};
    EXPECT_EQ(special(osd).status, TargetStatus::Good);
    EXPECT_EQ(rig.rx.state().osd, "AB");
    EXPECT_EQ(special({61, 1, 6, 0}).status, TargetStatus::Good);
    EXPECT_EQ(rig.rx.state().videoSetting, (std::array<uint8_t, 2>{1, 6}));
    EXPECT_EQ(special({29, 0}).status, TargetStatus::Good);
    EXPECT_TRUE(rig.rx.state().remoteLocked);
    EXPECT_EQ(special({30, 0}).status, TargetStatus::Good);
    EXPECT_FALSE(rig.rx.state().remoteLocked);
    EXPECT_EQ(special({2, 0}).status, TargetStatus::Good);
    EXPECT_FALSE(rig.rx.state().powered);
    expectIllegal(special({99, 0}));       // unknown code
    expectIllegal(special({1, 'a', 'b'})); // odd length
    // The block's length byte must match the message.
    expectIllegal(rig.out(cdb10(kOpWriteBuffer, kModeSpecial, false, 0, 4), {29, 0}));
    // Tuning switches it on again.
    Cdb sel{kOpStreamA, 1, 0, 0, 0, 0, 0, 0, 2, 0};
    EXPECT_EQ(rig.out(sel, {0, 0}).status, TargetStatus::Good);
    EXPECT_TRUE(rig.rx.state().powered);
}

TEST(ReceiverDecoder, NothingToDeliverIsBusyOrNotReadyByTheScsiModeWord)
{
    Rig rig(withRevision("0217"));
    std::vector<uint8_t> d;
    const Cdb video = cdb10(kOpReadBuffer, kModeReadVideo, false, 0, 32768);
    const Cdb ts = cdb10(kOpReadBuffer, kModeReadTimestamps, false, 0, 16);
    CommandResult r = rig.in(video, &d, 32768);
    EXPECT_EQ(r.status, TargetStatus::Busy);
    ASSERT_EQ(rig.out(cdb10(kOpWriteBuffer, kModeWriteMemory, false, 0xFFEA, 2), {0xFF, 0xFF}).status,
              TargetStatus::Good);
    r = rig.in(ts, &d, 16);
    EXPECT_EQ(r.status, TargetStatus::CheckCondition);
    EXPECT_EQ(r.sense[2], kSenseNotReady);
    expectIllegal(rig.in(cdb10(kOpReadBuffer, kModeReadTimestamps, false, 0, 32), &d, 32));
    expectIllegal(rig.in(cdb10(kOpReadBuffer, 6, false, 0, 512), &d, 512)); // single-stream mode unsupported
}

TEST(ReceiverDecoder, StreamingStartStopAndUnknownBlocks)
{
    Rig rig(withRevision("0217"));
    EXPECT_EQ(rig.out(cdb10(kOpStreamA, 0, false, 0, 6), {0, 0, 0, 0, 0, 10}).status, TargetStatus::Good);
    EXPECT_TRUE(rig.rx.state().streaming);
    expectIllegal(rig.out(cdb10(kOpStreamA, 0, false, 0, 0), {0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(rig.out(cdb10(kOpStreamB, 0, false, 0, 0), {0x3E, 0, 0, 0, 0, 0}).status, TargetStatus::Good);
    EXPECT_TRUE(rig.rx.state().streaming);
    EXPECT_EQ(rig.out(cdb10(kOpStreamA, 0, false, 0, 0), {0, 0, 0, 0, 0, 0}).status, TargetStatus::Good);
    EXPECT_FALSE(rig.rx.state().streaming);
    std::vector<uint8_t> d;
    expectIllegal(rig.in(cdb10(0x28, 0, false, 0, 16), &d, 16)); // not a receiver command
    Cdb ctrl = cdb10(kOpReadBuffer, 0, false, 0, 16);
    ctrl[9] = 1;
    expectIllegal(rig.in(ctrl, &d, 16));
    // Wrong direction.
    const Cdb rd = cdb10(kOpReadBuffer, 0, false, 0, 16);
    d.assign(16, 0);
    expectIllegal(rig.rx.execute(rd.data(), rd.size(), Direction::Out, d.data(), 16));
}

} // namespace
} // namespace quelmar::receiver
