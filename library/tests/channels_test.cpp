// Channel table transfers: count, piecewise reads and writes, byte order,
// name translation and trimming, tuned channel, channel selection.
#include "library_fixture.h"

#include <cstring>

namespace quelmar::scsi::test {
namespace {

constexpr uint32_t kTable = 0x0D0000;

// A record in the receiver's form with recognisable fields.
Bytes receiverRecord(uint16_t index, const Bytes &name)
{
    Bytes r(64, 0);
    r[0] = 0xA0;
    r[1] = 0xA1;
    r[2] = 0xA2;
    r[3] = 0xA3; // head, passed through
    r[4] = 0x12;
    r[5] = 0x34; // word4, big-endian
    r[12] = 0xC0;
    r[15] = 0xC3; // bytes12
    r[16] = uint8_t(index >> 8);
    r[17] = uint8_t(index); // word16
    r[26] = 0xD6;
    r[27] = 0xD7; // bytes26
    r[30] = 0xBE;
    r[31] = 0xEF; // word30
    std::memcpy(&r[32], name.data(), std::min<size_t>(name.size(), 24));
    r[56] = uint8_t(index * 3); // tag
    r[57] = 0xE7;
    r[61] = 0xEB; // bytes57
    r[62] = 0x0F;
    r[63] = 0x0E; // word62
    return r;
}

class ChannelTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        receiver_ = &addReceiver(0, 3);
        load();
    }

    void setCount(uint16_t count, uint8_t high0 = 0, uint8_t high1 = 0)
    {
        const Bytes answer = {high0, high1, uint8_t(count >> 8), uint8_t(count)};
        receiver_->answers[0x11] = answer;
        receiver_->answers[0x01] = answer;
    }

    void putRecords(uint16_t count)
    {
        for (uint16_t i = 0; i < count; ++i) {
            const Bytes r = receiverRecord(i, {'C', 'h', uint8_t('0' + i % 10)});
            std::memcpy(&receiver_->memory[kTable + 64u * i], r.data(), 64);
        }
    }

    std::string name(const DvbChannel &c) { return std::string(c.name, strnlen(c.name, 24)); }

    scripted::Device *receiver_ = nullptr;
    const DvbDevice current_ = device(0x0217);
    const DvbDevice legacy_ = device(0x0214);
};

TEST_F(ChannelTest, CountUsesBytesTwoAndThreeAndModeByRevision)
{
    setCount(300);
    EXPECT_EQ(lib_.dvbChannelCount(&current_), 300);
    setCount(5, 0x12, 0x34);
    EXPECT_EQ(lib_.dvbChannelCount(&legacy_), 5);
    const auto reads = layer_->requests();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(cdbOf(reads[0]), (Bytes{0x3C, 0x00, 0x11, 0, 0, 0, 0, 0, 4, 0}));
    EXPECT_EQ(cdbOf(reads[1]), (Bytes{0x3C, 0x01, 0x00, 0, 0, 0, 0, 0, 4, 0}));
    receiver_->answers.clear();
    EXPECT_EQ(lib_.dvbChannelCount(&current_), 0) << "a refused count reads as 0";
}

TEST_F(ChannelTest, ReadIsBoundedByCapacityAndSplitIntoPieces)
{
    setCount(300);
    putRecords(300);
    std::vector<DvbChannel> table(300);
    ASSERT_EQ(lib_.dvbGetAllChannels(&current_, table.data(), 10), 1);
    auto reads = layer_->requestsWithOp(0x3C);
    ASSERT_EQ(reads.size(), 2u); // the count, then one table piece
    EXPECT_EQ(cdbOf(reads[1]), (Bytes{0x3C, 0, 0, 0x0D, 0x00, 0x00, 0x00, 0x02, 0x80, 0}));
    EXPECT_EQ(reads[1].bufLen, 640u);

    layer_->reset();
    receiver_ = &addReceiver(0, 3);
    setCount(1500);
    putRecords(1500);
    table.resize(1500);
    ASSERT_EQ(lib_.dvbGetAllChannels(&legacy_, table.data(), 2000), 1);
    reads = layer_->requestsWithOp(0x3C);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(cdbOf(reads[1]), (Bytes{0x3C, 0, 0, 0x0D, 0x00, 0x00, 0x01, 0x00, 0x00, 0}))
        << "no mode byte in either layout";
    EXPECT_EQ(cdbOf(reads[2]), (Bytes{0x3C, 0, 0, 0x0E, 0x00, 0x00, 0x00, 0x77, 0x00, 0}));
    EXPECT_EQ(reads[2].bufLen, 30464u);
    EXPECT_EQ(table[1499].word16, 1499);
    EXPECT_EQ(name(table[1499]), "Ch9");

    setCount(0);
    EXPECT_EQ(lib_.dvbGetAllChannels(&current_, table.data(), 10), 0);
}

TEST_F(ChannelTest, RecordsArriveInHostForm)
{
    setCount(1);
    putRecords(1);
    DvbChannel c{};
    ASSERT_EQ(lib_.dvbGetAllChannels(&current_, &c, 1), 1);
    EXPECT_EQ(c.head[0], 0xA0);
    EXPECT_EQ(c.head[3], 0xA3);
    EXPECT_EQ(c.word4, 0x1234);
    EXPECT_EQ(c.bytes12[0], 0xC0);
    EXPECT_EQ(c.bytes26[0], 0xD6);
    EXPECT_EQ(c.bytes26[1], 0xD7);
    EXPECT_EQ(c.word30, 0xBEEF);
    EXPECT_EQ(c.bytes57[0], 0xE7);
    EXPECT_EQ(c.bytes57[4], 0xEB);
    EXPECT_EQ(c.word62, 0x0F0E);
}

TEST_F(ChannelTest, NamesAreTranslatedAndTrimmed)
{
    struct Case {
        Bytes stored;
        Bytes expected; // the whole 24-byte field after reading
    };
    auto field = [](Bytes b) {
        b.resize(24, 0);
        return b;
    };
    const Case cases[] = {
        {{0x86, 0x41, 0x42, 0x43, 0x87}, field({0x5B, 0x41, 0x42, 0x43, 0x5D})},
        {{0x05, 0x05, 0x5A, 0x44, 0x46, 0x20, 0x20, 0x20}, field({0x5A, 0x44, 0x46})},
        {{0x4D, 0x9A, 0x4E}, field({0x4D, 0xDC, 0x4E})},
        {{0x31, 0x30, 0xF8, 0x20, 0x45}, field({0x31, 0x30, 0xB0, 0x20, 0x45})},
        // A control byte ends the name; what follows it is cleared up to 22.
        {{0x41, 0x42, 0x0A, 0x43, 0x44}, field({0x41, 0x42})},
        // A NUL in front: the name moves forward.
        {{0x00, 0x41, 0x42}, field({0x41, 0x42})},
        // 24 characters: no terminator, nothing cut.
        {Bytes(24, 0x41), Bytes(24, 0x41)},
        // Position 23 survives the terminator step when it is above 0x20.
        {[] {
             Bytes b(24, 0x41);
             b[2] = 0;
             b[23] = 0x5A;
             return b;
         }(),
         [] {
             Bytes b(24, 0);
             b[0] = b[1] = 0x41;
             b[23] = 0x5A;
             return b;
         }()},
        // Only blanks and controls: everything goes but position 0's blank.
        {Bytes(24, 0x20), field({0x20})},
        {Bytes(24, 0x01), Bytes(24, 0x00)},
    };
    setCount(1);
    for (const Case &c : cases) {
        const Bytes r = receiverRecord(0, c.stored);
        std::memcpy(&receiver_->memory[kTable], r.data(), 64);
        DvbChannel out{};
        ASSERT_EQ(lib_.dvbGetAllChannels(&current_, &out, 1), 1);
        EXPECT_EQ(Bytes(out.name, out.name + 24), c.expected);
    }
}

TEST_F(ChannelTest, WriteConvertsBackAndLeavesTheCallersRecordsAlone)
{
    std::vector<DvbChannel> table(1500);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i].word4 = 0x1234;
        table[i].word16 = uint16_t(i);
        table[i].tag = uint8_t(i);
        std::memcpy(table[i].name,
                    "\x5B"
                    "ABC\x5D \xDC\xB0",
                    8);
    }
    const std::vector<DvbChannel> before = table;
    ASSERT_EQ(lib_.dvbPutAllChannels(&current_, table.data(), uint16_t(table.size())), 1);
    EXPECT_EQ(std::memcmp(before.data(), table.data(), table.size() * 64), 0);

    const auto writes = layer_->requests();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(cdbOf(writes[0]), (Bytes{0x3B, 0x00, 0x04, 0x0D, 0x00, 0x00, 0x01, 0x00, 0x00, 0}));
    EXPECT_EQ(cdbOf(writes[1]), (Bytes{0x3B, 0x00, 0x04, 0x0E, 0x00, 0x00, 0x00, 0x77, 0x00, 0}));
    const uint8_t *stored = &receiver_->memory[kTable + 64 * 1499];
    EXPECT_EQ(stored[4], 0x12);
    EXPECT_EQ(stored[5], 0x34);
    EXPECT_EQ(stored[16], 1499 >> 8);
    EXPECT_EQ(stored[17], 1499 & 0xFF);
    EXPECT_EQ(Bytes(stored + 32, stored + 40), (Bytes{0x86, 'A', 'B', 'C', 0x87, ' ', 0x9A, 0xF8}));

    // And back again: the same records.
    setCount(1500);
    std::vector<DvbChannel> read(1500);
    ASSERT_EQ(lib_.dvbGetAllChannels(&current_, read.data(), 1500), 1);
    EXPECT_EQ(std::memcmp(before.data(), read.data(), read.size() * 64), 0);

    // The legacy layout puts the mode byte first.
    layer_->reset();
    receiver_ = &addReceiver(0, 3);
    ASSERT_EQ(lib_.dvbPutAllChannels(&legacy_, table.data(), 1), 1);
    EXPECT_EQ(cdbOf(layer_->requests().at(0)), (Bytes{0x3B, 0x04, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x40, 0}));
}

TEST_F(ChannelTest, AFailedPieceFailsTheTransferButAllPiecesGo)
{
    setCount(1500);
    putRecords(1500);
    std::vector<DvbChannel> table(1500);
    layer_->failExec = {1}; // the first table piece (request 0 is the count)
    EXPECT_EQ(lib_.dvbGetAllChannels(&current_, table.data(), 1500), 0);
    EXPECT_EQ(layer_->requests().size(), 3u);

    layer_->reset();
    receiver_ = &addReceiver(0, 3);
    layer_->failExec = {0};
    EXPECT_EQ(lib_.dvbPutAllChannels(&current_, table.data(), 1500), 0);
    EXPECT_EQ(layer_->requests().size(), 2u);
}

TEST_F(ChannelTest, CurrentChannelAndSelection)
{
    Bytes answer = {0x00, 0x01, 0x55, 0x66};
    const Bytes record = receiverRecord(0x2A, {0x86, 'T', 'V', 0x87});
    answer.insert(answer.end(), record.begin(), record.end());
    receiver_->answers[0x50] = answer;
    const DvbCurrentChannel cur = lib_.dvbGetCurrentChannel(&current_);
    EXPECT_EQ(cur.answer, 1);
    EXPECT_EQ(cur.spare[0], 0x55);
    EXPECT_EQ(cur.spare[1], 0x66);
    EXPECT_EQ(cur.channel.word16, 0x2A);
    EXPECT_EQ(cur.channel.tag, uint8_t(0x2A * 3));
    EXPECT_EQ(name(cur.channel), "[TV]");
    EXPECT_EQ(cdbOf(layer_->requests().at(0)), (Bytes{0x3C, 0, 0x50, 0, 0, 0, 0, 0, 0x44, 0}));
    EXPECT_EQ(layer_->requests().at(0).bufLen, 68u);

    receiver_->answers.erase(0x50);
    const DvbCurrentChannel none = lib_.dvbGetCurrentChannel(&current_);
    const Bytes zero(sizeof none, 0);
    EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t *>(&none), reinterpret_cast<const uint8_t *>(&none) + sizeof none),
              zero);

    layer_->reset();
    receiver_ = &addReceiver(0, 3);
    ASSERT_EQ(lib_.dvbSetChannel(&current_, 1), 1);
    ASSERT_EQ(lib_.dvbSetChannel(&legacy_, 300), 1);
    const auto sets = layer_->requests();
    ASSERT_EQ(sets.size(), 2u);
    for (const auto &s : sets) {
        EXPECT_EQ(cdbOf(s), (Bytes{0x3D, 0x01, 0x00, 0, 0, 0, 0, 0, 0x02, 0})) << "byte 1 for every revision";
        EXPECT_EQ(s.flags, 0x50);
    }
    EXPECT_EQ(sets[0].dataOut, (Bytes{0x00, 0x00}));
    EXPECT_EQ(sets[1].dataOut, (Bytes{0x01, 0x2B}));
}

} // namespace

} // namespace quelmar::scsi::test
