#include "sg_sysfs.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "fake_tree.h"

namespace quelmar::sg {
namespace {

using testing::FakeTree;

TEST(ScsiAddress, ParsesTheKernelsFourNumbers)
{
    const auto address = parseScsiAddress("12:1:15:0");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->host, 12u);
    EXPECT_EQ(address->channel, 1u);
    EXPECT_EQ(address->target, 15u);
    EXPECT_EQ(address->lun, 0u);
}

TEST(ScsiAddress, RefusesAnythingElse)
{
    for (const char *text :
         {"", "0:0:0", "0:0:0:0:0", "0:0::0", "a:0:0:0", "0:0:0:0 ", "-1:0:0:0", "target0:0:0", "0:0:0:99999999999"})
        EXPECT_FALSE(parseScsiAddress(text)) << '"' << text << '"';
}

TEST(Enumeration, NumbersAdaptersByAscendingHostAndKeepsOnlyLunZero)
{
    FakeTree tree;
    // sg numbering deliberately out of host order.
    tree.addSg("sg0", "7:0:3:0");
    tree.addSg("sg1", "2:0:5:0");
    tree.addSg("sg2", "2:0:1:0");
    tree.addSg("sg3", "2:0:1:1"); // LUN 1: not an ASPI target
    tree.addSg("sg4", "4:0:0:2"); // a host with only LUN 1+ devices is no adapter
    tree.addSg("sg10", "11:0:6:0");
    tree.addHost(2, "sym53c8xx");
    tree.addHost(3, "ahc"); // a host without sg devices is an adapter with no target
    tree.addHost(7, "");

    const SgEnumeration result = enumerateSgDevices(tree.sys(), tree.dev());
    ASSERT_TRUE(result.driverPresent);
    ASSERT_EQ(result.adapters.size(), 4u);
    EXPECT_EQ(result.adapters[0].host, 2u);
    EXPECT_EQ(result.adapters[1].host, 3u);
    EXPECT_TRUE(result.adapters[1].targets.empty());
    EXPECT_EQ(result.adapters[1].identifier, "ahc");
    EXPECT_EQ(result.adapters[2].host, 7u);
    EXPECT_EQ(result.adapters[3].host, 11u); // numeric, not text, order

    const auto &first = result.adapters[0];
    EXPECT_EQ(first.identifier, "sym53c8xx");
    ASSERT_EQ(first.targets.size(), 2u);
    EXPECT_EQ(first.targets.at(1).devicePath, (tree.dev() / "sg2").string());
    EXPECT_EQ(first.targets.at(5).devicePath, (tree.dev() / "sg1").string());

    EXPECT_EQ(result.adapters[2].identifier, "host7");  // empty proc_name
    EXPECT_EQ(result.adapters[3].identifier, "host11"); // no proc_name file
    EXPECT_EQ(result.adapters[3].targets.at(6).devicePath, (tree.dev() / "sg10").string());
}

TEST(Enumeration, SkipsDevicesWithoutNodeOrReadableAddress)
{
    FakeTree tree;
    tree.addSg("sg0", "0:0:2:0", /*node=*/false); // no /dev/sg0
    tree.addSg("sg1", "1:0:2:0");
    tree.addSg("sg2", "not-an-address");
    tree.addSg("sgx", "3:0:0:0");                                                       // not an sgN name
    std::filesystem::create_directories(tree.sys() / "class" / "scsi_generic" / "sg5"); // no link

    const SgEnumeration result = enumerateSgDevices(tree.sys(), tree.dev());
    ASSERT_EQ(result.adapters.size(), 1u);
    EXPECT_EQ(result.adapters[0].host, 1u);
}

TEST(Enumeration, LowestChannelKeepsATargetIdAndDanglingLinksStillCount)
{
    FakeTree tree;
    tree.addSg("sg0", "0:1:4:0");
    tree.addSg("sg1", "0:0:4:0");
    tree.addSg("sg2", "0:2:4:0");
    // A link whose target is gone still names its address.
    const auto entry = tree.sys() / "class" / "scsi_generic" / "sg3";
    std::filesystem::create_directories(entry);
    std::filesystem::create_directory_symlink(tree.sys() / "gone" / "0:0:9:0", entry / "device");
    std::ofstream(tree.dev() / "sg3");

    const SgEnumeration result = enumerateSgDevices(tree.sys(), tree.dev());
    ASSERT_EQ(result.adapters.size(), 1u);
    const auto &targets = result.adapters[0].targets;
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets.at(4).address, (ScsiAddress{0, 0, 4, 0}));
    EXPECT_EQ(targets.at(4).devicePath, (tree.dev() / "sg1").string());
    EXPECT_EQ(targets.at(9).devicePath, (tree.dev() / "sg3").string());
}

TEST(Enumeration, WithoutTheGenericDriverThereIsNothing)
{
    FakeTree tree;
    std::filesystem::remove_all(tree.sys() / "class" / "scsi_generic");
    const SgEnumeration result = enumerateSgDevices(tree.sys(), tree.dev());
    EXPECT_FALSE(result.driverPresent);
    EXPECT_TRUE(result.adapters.empty());

    FakeTree empty;
    const SgEnumeration none = enumerateSgDevices(empty.sys(), empty.dev());
    EXPECT_TRUE(none.driverPresent);
    EXPECT_TRUE(none.adapters.empty());
}

TEST(Enumeration, StopsAtTheAdapterCountTheSupportWordCanCarry)
{
    FakeTree tree;
    for (unsigned host = 0; host < kMaxAdapters + 3; ++host)
        tree.addSg("sg" + std::to_string(host), std::to_string(host) + ":0:0:0");
    const SgEnumeration result = enumerateSgDevices(tree.sys(), tree.dev());
    ASSERT_EQ(result.adapters.size(), kMaxAdapters);
    EXPECT_EQ(result.adapters.back().host, kMaxAdapters - 1);
}

// With openat2, and the way taken where the kernel lacks it.
class HostScan : public ::testing::TestWithParam<bool> {};

TEST_P(HostScan, WritesTheWildcardRequestToTheHostsScanFile)
{
    FakeTree tree;
    tree.addHost(3, "ahc");
    tree.addLinkedHost(5); // a link into the devices tree, as the kernel has it
    EXPECT_EQ(requestHostScan(tree.sys(), 3, GetParam()), 0);
    EXPECT_EQ(tree.scanWritten(3), "- - -");
    EXPECT_EQ(requestHostScan(tree.sys(), 3, GetParam()), 0); // again: replaces, does not append
    EXPECT_EQ(tree.scanWritten(3), "- - -");
    EXPECT_EQ(requestHostScan(tree.sys(), 5, GetParam()), 0);
    EXPECT_EQ(tree.scanWritten(5), "- - -");
    EXPECT_EQ(requestHostScan(tree.sys(), 4, GetParam()), ENOENT); // the file is never created
    EXPECT_FALSE(std::filesystem::exists(tree.hostDir(4)));
    EXPECT_EQ(listScsiHosts(tree.sys()), (std::vector<unsigned>{3, 5}));
}

TEST_P(HostScan, NothingPlantedInTheTreeIsFollowed)
{
    FakeTree tree;
    const auto outside = tree.root() / "outside";
    std::filesystem::create_directories(outside);
    std::ofstream(outside / "scan") << "precious";
    const auto hosts = tree.sys() / "class" / "scsi_host";
    std::filesystem::create_directories(hosts / "host4");
    std::filesystem::create_directory_symlink(outside, hosts / "host1");
    std::filesystem::create_directory_symlink("../../../outside", hosts / "host2");
    std::filesystem::create_symlink(outside / "scan", hosts / "host4" / "scan");
    EXPECT_EQ(requestHostScan(tree.sys(), 1, GetParam()), EXDEV);
    EXPECT_EQ(requestHostScan(tree.sys(), 2, GetParam()), EXDEV);
    EXPECT_EQ(requestHostScan(tree.sys(), 4, GetParam()), ELOOP);
    std::ifstream in(outside / "scan");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
}

INSTANTIATE_TEST_SUITE_P(Sysfs, HostScan, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Openat2" : "CheckedPath"; });

} // namespace
} // namespace quelmar::sg
