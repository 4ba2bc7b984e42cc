// The built module as a client loads it: exports, environment overrides and
// the real SG_IO path (against device nodes that are plain files, which the
// driver call refuses).
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <set>
#include <string>

#include "aspi.h"
#include "aspi_sg.h"
#include "fake_tree.h"

namespace quelmar::sg {
namespace {

using testing::drainEvent;
using testing::FakeTree;
using testing::makeEventFd;
using testing::waitEvent;

const std::string kModulePath = std::string(QUELMAR_BIN_DIR) + "/libwnaspi32.so";

class SgModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tree = new FakeTree;
        tree->addSg("sg0", "4:0:2:0");
        tree->addSg("sg1", "4:0:6:0");
        tree->addHost(4, "fakehba");
        // Read when the layer is first called, which is after this.
        setenv("QUELMAR_SG_SYSFS_ROOT", tree->sys().c_str(), 1);
        setenv("QUELMAR_SG_DEV_ROOT", tree->dev().c_str(), 1);
        module = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        supportInfo = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(module, "GetASPI32SupportInfo"));
        send = reinterpret_cast<SendASPI32CommandFn>(dlsym(module, "SendASPI32Command"));
    }
    static void TearDownTestSuite()
    {
        if (module)
            dlclose(module); // joins the layer's workers
        delete tree;
    }
    void SetUp() override
    {
        ASSERT_NE(supportInfo, nullptr);
        ASSERT_NE(send, nullptr);
    }

    static inline FakeTree *tree = nullptr;
    static inline void *module = nullptr;
    static inline GetASPI32SupportInfoFn supportInfo = nullptr;
    static inline SendASPI32CommandFn send = nullptr;
};

TEST_F(SgModuleTest, ExportsTheTwoEntryPointsAndNothingElse)
{
    const std::string command = "nm -D --defined-only '" + kModulePath + "'";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        char address[64], type[8], name[400];
        if (sscanf(line, "%63s %7s %399s", address, type, name) == 3)
            symbols.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, (std::set<std::string>{"GetASPI32SupportInfo", "SendASPI32Command"}));
}

TEST_F(SgModuleTest, FindsTheAdaptersUnderTheConfiguredRoots)
{
    EXPECT_EQ(supportInfo(), (uint32_t{SS_COMP} << 8) | 1);
    SRB_HAInquiry inquiry{};
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(send(&inquiry), SS_COMP);
    EXPECT_STREQ(reinterpret_cast<char *>(inquiry.HA_Identifier), "fakehba");
}

TEST_F(SgModuleTest, DriverRefusalsAndVanishedNodesCompleteThroughTheEvent)
{
    const int event = makeEventFd();
    std::array<uint8_t, 36> buffer{};
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_Target = 2;
    srb.SRB_BufLen = buffer.size();
    srb.SRB_BufPointer = buffer.data();
    srb.SRB_SenseLen = 14;
    srb.SRB_CDBLen = 6;
    srb.SRB_PostProc = reinterpret_cast<void *>(static_cast<intptr_t>(event));
    const uint8_t inquiryCdb[6] = {0x12, 0, 0, 0, 36, 0};
    std::memcpy(srb.CDBByte, inquiryCdb, sizeof inquiryCdb);

    // A plain file is no SCSI generic device: the driver calls fail, the request ends in error.
    const uint32_t atReturn = send(&srb);
    EXPECT_TRUE(atReturn == SS_PENDING || atReturn == SS_ERR) << atReturn;
    EXPECT_EQ(waitEvent(event), 1u);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_ERR);

    // The node is gone since enumeration: the device has been detached.
    std::filesystem::remove(tree->dev() / "sg1");
    srb.SRB_Target = 6;
    send(&srb);
    EXPECT_EQ(waitEvent(event), 1u);
    EXPECT_EQ(aspi::loadStatus(srb.SRB_Status), SS_NO_DEVICE);

    srb.SRB_Target = 3;
    EXPECT_EQ(send(&srb), SS_NO_DEVICE);
    EXPECT_EQ(drainEvent(event), 1u);
    close(event);
}

TEST_F(SgModuleTest, RescanAsksTheKernelAndForgetsVanishedDevices)
{
    SRB_Header rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    EXPECT_EQ(send(&rescan), SS_COMP);
    EXPECT_EQ(tree->scanWritten(4), "- - -");
    std::filesystem::remove(tree->dev() / "sg0");
    std::filesystem::remove(tree->dev() / "sg1");
    EXPECT_EQ(send(&rescan), SS_COMP);
    EXPECT_EQ(supportInfo(), (uint32_t{SS_COMP} << 8) | 1) << "the host stays an adapter without devices";

    // A host that is gone altogether: its scan fails and it is forgotten.
    std::filesystem::remove_all(tree->hostDir(4));
    EXPECT_EQ(send(&rescan), SS_ERR);
    EXPECT_EQ(supportInfo(), uint32_t{SS_COMP} << 8);
}

} // namespace
} // namespace quelmar::sg
