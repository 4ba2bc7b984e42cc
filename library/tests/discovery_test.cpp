// Discovery by INQUIRY identification, revision digits, SCSI mode and the
// bus rescan, on both operating-system families.
#include "library_fixture.h"

#include <cstring>

namespace quelmar::scsi::test {
namespace {

const Bytes kModeBlockCurrent = {0x3B, 0x00, 0x05, 0x00, 0xFF, 0xEA, 0x00, 0x00, 0x02, 0x00};
const Bytes kModeBlockLegacy = {0x3B, 0x05, 0x00, 0x00, 0xFF, 0xEA, 0x00, 0x00, 0x02, 0x00};

class DiscoveryTest : public LibraryTest {};

TEST_F(DiscoveryTest, FindsMatchesInScanOrderAndSetsAutomaticMode)
{
    addReceiver(0, 2, "2.17");
    layer_->addDevice(0, 4, "SOMEBODY", "Disk", "1.00");
    layer_->addDevice(0, 5, "quelmar", "dvb-s receiver 0", "2.14"); // lower case still matches
    load();

    const DvbDevice first = lib_.dvbFindFirstQuelmar();
    EXPECT_EQ(first.status, DVB_STATUS_FOUND);
    EXPECT_EQ(first.hostAdapter, 0);
    EXPECT_EQ(first.targetId, 2);
    EXPECT_EQ(first.firmwareRevision, 0x0217);
    EXPECT_EQ(first.reserved, 0);

    const DvbDeviceList all = lib_.dvbFindAllQuelmars();
    ASSERT_EQ(all.count, 2);
    EXPECT_EQ(all.devices[0].targetId, 2);
    EXPECT_EQ(all.devices[1].targetId, 5);
    EXPECT_EQ(all.devices[1].firmwareRevision, 0x0214);
    EXPECT_EQ(all.devices[2].status, DVB_STATUS_NONE);
    EXPECT_EQ(all.devices[2].targetId, 0xFF);
    EXPECT_EQ(all.devices[2].hostAdapter, 0xFF);
    EXPECT_EQ(all.devices[31].status, DVB_STATUS_NONE);

    // INQUIRY: 6-byte block, 36 bytes in, event notification, sense 14.
    const auto inquiries = layer_->requestsWithOp(0x12);
    ASSERT_FALSE(inquiries.empty());
    EXPECT_EQ(cdbOf(inquiries[0]), (Bytes{0x12, 0, 0, 0, 0x24, 0}));
    EXPECT_EQ(inquiries[0].flags, 0x48);
    EXPECT_EQ(inquiries[0].bufLen, 36u);
    EXPECT_EQ(inquiries[0].senseLen, 14);
    EXPECT_EQ(inquiries[0].lun, 0);
    EXPECT_TRUE(inquiries[0].hasEvent);

    // One mode write per found receiver and call, mode byte placed by revision.
    const auto writes = layer_->requestsWithOp(0x3B);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].target, 2);
    EXPECT_EQ(cdbOf(writes[0]), kModeBlockCurrent);
    EXPECT_EQ(writes[0].dataOut, (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(writes[0].flags, 0x50);
    EXPECT_EQ(writes[2].target, 5);
    EXPECT_EQ(cdbOf(writes[2]), kModeBlockLegacy);
}

TEST_F(DiscoveryTest, OlderIdentificationOnlyByFindFirst)
{
    layer_->supportInfo = (SS_COMP << 8) | 2;
    layer_->addDevice(1, 0, "TANVERIL", " ZEPRA SCSI    0", "2.21");
    load();
    const DvbDevice d = lib_.dvbFindFirstQuelmar();
    EXPECT_EQ(d.status, DVB_STATUS_FOUND_OLD);
    EXPECT_EQ(d.hostAdapter, 1);
    EXPECT_EQ(d.targetId, 0);
    EXPECT_EQ(d.firmwareRevision, 0x0221);
    ASSERT_EQ(layer_->requestsWithOp(0x3B).size(), 1u) << "the older receiver gets its mode set too";

    const DvbDeviceList all = lib_.dvbFindAllQuelmars();
    EXPECT_EQ(all.count, 0);
    EXPECT_EQ(all.devices[0].status, DVB_STATUS_NONE);
    EXPECT_EQ(all.devices[0].targetId, 0xFF);
}

TEST_F(DiscoveryTest, IdentificationComparesOnlyThePatternLength)
{
    layer_->addDevice(0, 1, "TANVERIL", " ZEPRA SCSX", "2.17");     // differs inside the pattern
    layer_->addDevice(0, 2, "Quelma", "r", "2.17");                 // space inside the pattern
    layer_->addDevice(0, 3, "QuelmarX", "anything at all", "2.17"); // extra text is not examined
    load();
    const DvbDeviceList all = lib_.dvbFindAllQuelmars();
    ASSERT_EQ(all.count, 1);
    EXPECT_EQ(all.devices[0].targetId, 3);
}

TEST_F(DiscoveryTest, RevisionDigitsFromBytes31_32_34_35)
{
    scripted::Device &d = addReceiver(0, 0, "2.1a");
    load();
    EXPECT_EQ(lib_.dvbFindFirstQuelmar().firmwareRevision, 0x0210);
    // Byte 31, the last product byte, is the first digit.
    d.inquiry[31] = '1';
    std::memcpy(d.inquiry + 32, "3x45", 4);
    EXPECT_EQ(lib_.dvbFindFirstQuelmar().firmwareRevision, 0x1345);
}

TEST_F(DiscoveryTest, ListStopsAtThirtyTwoReceivers)
{
    layer_->supportInfo = (SS_COMP << 8) | 5;
    for (uint8_t adapter = 0; adapter < 5; ++adapter)
        for (uint8_t target = 0; target < 8; ++target)
            addReceiver(adapter, target);
    load();
    const DvbDeviceList all = lib_.dvbFindAllQuelmars();
    EXPECT_EQ(all.count, 32);
    EXPECT_EQ(all.devices[31].hostAdapter, 3);
    EXPECT_EQ(all.devices[31].targetId, 7);
    EXPECT_EQ(layer_->requestsWithOp(0x3B).size(), 32u);
}

TEST_F(DiscoveryTest, FailedModeWriteStillCountsTheReceiver)
{
    addReceiver(0, 1);
    addReceiver(0, 6);
    // The first search sends INQUIRY to targets 0 and 1; request 2 is the
    // first receiver's mode write.
    layer_->failExec = {2};
    load();
    const DvbDeviceList all = lib_.dvbFindAllQuelmars();
    EXPECT_EQ(all.count, 2);
    EXPECT_EQ(all.devices[1].targetId, 6);
}

TEST_F(DiscoveryTest, AutomaticModeFollowsTheOperatingSystemFamily)
{
    load();
    const DvbDevice d = device(0x0217);
    struct Case {
        const char *family;
        int32_t mode;
        uint8_t value;
    };
    for (const Case c : {Case{"nt", 0, 0xFF}, Case{"9x", 0, 0x00}, Case{"unknown", 0, 0x00}, Case{"9x", 1, 0xFF},
                         Case{"nt", 2, 0x00}, Case{"nt", -7, 0x00}}) {
        SCOPED_TRACE(std::string(c.family) + " mode " + std::to_string(c.mode));
        setenv("QUELMAR_OS_FAMILY", c.family, 1);
        layer_->reset();
        addReceiver(0, 3);
        EXPECT_EQ(lib_.dvbSetSCSIMode(&d, c.mode), 1);
        const auto writes = layer_->requests();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(cdbOf(writes[0]), kModeBlockCurrent);
        EXPECT_EQ(writes[0].dataOut, (Bytes{c.value, c.value}));
    }
}

TEST_F(DiscoveryTest, RescanCoversEveryAdapterOnNtOnly)
{
    layer_->supportInfo = (SS_COMP << 8) | 3;
    load();
    layer_->failRescan = {1};
    EXPECT_EQ(lib_.dvbRescanAllSCSIBusses(), 0);
    EXPECT_EQ(layer_->rescans(), (std::vector<uint8_t>{0, 1, 2})) << "a failure does not stop the loop";

    layer_->reset();
    EXPECT_EQ(lib_.dvbRescanAllSCSIBusses(), 1);
    EXPECT_EQ(layer_->rescans().size(), 3u);

    for (const char *family : {"9x", "bogus"}) {
        layer_->reset();
        setenv("QUELMAR_OS_FAMILY", family, 1);
        EXPECT_EQ(lib_.dvbRescanAllSCSIBusses(), 0);
        EXPECT_TRUE(layer_->rescans().empty());
    }
}

TEST_F(DiscoveryTest, RescanWithNoAdaptersSucceeds)
{
    layer_->supportInfo = (SS_COMP << 8) | 0;
    load();
    EXPECT_EQ(lib_.dvbRescanAllSCSIBusses(), 1);
    EXPECT_TRUE(layer_->rescans().empty());
}

} // namespace

} // namespace quelmar::scsi::test
