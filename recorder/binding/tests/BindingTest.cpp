#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "platform/testing/ResidentModule.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace quelmar;

namespace {

std::string TestModule(const std::string &name) { return std::string(QUELMAR_TEST_DIR) + "/lib" + name + ".so"; }

// True while the module is loaded in the process.
bool IsMapped(const std::string &path)
{
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

int FindCalls(const ReceiverLibrary &library)
{
    auto *calls = reinterpret_cast<int (*)()>(library.module.Symbol("fakeFindCalls"));
    return calls ? calls() : -1;
}

} // namespace

TEST(ReceiverLibrary, MissingModuleGivesLibraryMissing)
{
    ReceiverLibrary library(TestModule("no-such-module"));
    EXPECT_EQ(library.Status(), ReceiverLibrary::kLibraryMissing);
    EXPECT_FALSE(library.module.Loaded());
    EXPECT_EQ(library.Version(), -1);
    EXPECT_FALSE(library.ReceiverPresent());
}

TEST(ReceiverLibrary, Version22StaysLoadedWithOnlyTheVersionBound)
{
    ReceiverLibrary library(TestModule("fakescsi_v22"));
    EXPECT_EQ(library.Status(), ReceiverLibrary::kVersionTooOld);
    EXPECT_TRUE(library.module.Loaded());
    EXPECT_EQ(library.Version(), 22);
    EXPECT_EQ(library.dvbInit, nullptr);
    EXPECT_EQ(library.dvbWriteMemory, nullptr);
}

TEST(ReceiverLibrary, MissingLastExportUnloads)
{
    ReceiverLibrary library(TestModule("fakescsi_nowritememory"));
    EXPECT_EQ(library.Status(), ReceiverLibrary::kEntryMissing);
    EXPECT_FALSE(library.module.Loaded());
    EXPECT_EQ(library.quelmarDLLVersion, nullptr);
    EXPECT_EQ(library.Version(), -1);
}

TEST(ReceiverLibrary, AspiFailureBecomesTheStatusWithoutDiscovery)
{
    ReceiverLibrary library(TestModule("fakescsi_noaspi"));
    EXPECT_EQ(library.Status(), 0x40000000u);
    EXPECT_EQ(FindCalls(library), 0);
    EXPECT_EQ(library.Version(), 23);
}

TEST(ReceiverLibrary, DiscoveryResultIsCopied)
{
    ReceiverLibrary none(TestModule("fakescsi_none"));
    EXPECT_EQ(none.Status(), 1u);
    EXPECT_EQ(none.device.targetId, 0xFF);
    EXPECT_EQ(none.device.hostAdapter, 0xFF);
    EXPECT_FALSE(none.ReceiverPresent());
    EXPECT_NE(none.dvbWriteMemory, nullptr);

    ReceiverLibrary found(TestModule("fakescsi_found"));
    EXPECT_EQ(found.Status(), 2u);
    EXPECT_TRUE(found.ReceiverPresent());
    EXPECT_EQ(found.device.firmwareRevision, 0x0217);
    found.Unload();
    EXPECT_EQ(found.dvbReadMultipleStreams, nullptr);
    found.Unload(); // a second unload does nothing
}

TEST(ReceiverLibrary, UnloadThenLoadGivesAFreshModule)
{
    // After a bus rescan bring-up unloads the library and binds it anew; the
    // new binding must be a new instance (its own ASPI layer, its own state).
    auto first = std::make_unique<ReceiverLibrary>(TestModule("fakescsi_found"));
    ASSERT_GE(FindCalls(*first), 1);
    first.reset();
    ReceiverLibrary second(TestModule("fakescsi_found"));
    EXPECT_EQ(FindCalls(second), 1);
}

TEST(ReceiverLibrary, SnapshotKeepsTheLibraryMappedUntilItsLastCopyIsGone)
{
    const std::string path = TestModule("fakescsi_found");
    auto binding = std::make_unique<ReceiverLibrary>(path);
    ReceiverSnapshot snapshot = binding->Snapshot();
    ReceiverSnapshot copy = snapshot;
    binding.reset(); // bring-up deletes the binding while a thread still runs
    ASSERT_TRUE(copy.ReceiverPresent());
    EXPECT_EQ(copy.dvbChannelCount(&copy.device), 0); // its code is still there
    snapshot = {};
    EXPECT_TRUE(IsMapped(path));
    copy = {};
    EXPECT_FALSE(IsMapped(path));
}

TEST(ReceiverLibrary, RealLibraryBindsWithInterfaceVersion23)
{
    const std::string path = std::string(QUELMAR_BIN_DIR) + "/libquelmarscsi.so";
    ReceiverLibrary library(path);
    if (library.Status() == ReceiverLibrary::kLibraryMissing)
        GTEST_SKIP() << "library not built in this tree";
    EXPECT_EQ(library.Version(), 23);
    EXPECT_NE(library.Status(), ReceiverLibrary::kEntryMissing);
}

TEST(ReceiverLibrary, RealLibraryBoundAgainFindsTheLayerThatWasMissingAtFirst)
{
    // A bus rescan's bring-up must recover from an ASPI layer that failed:
    // the library binds its layer when it is loaded, so it must really load
    // again.
    const std::string bin = QUELMAR_BIN_DIR;
    if (!std::filesystem::exists(bin + "/libquelmarscsi.so") || !std::filesystem::exists(bin + "/libaspi-virtual.so"))
        GTEST_SKIP() << "library or simulated receiver not built in this tree";
    ASSERT_TRUE(quelmar::testing::KeepResident(bin + "/libaspi-virtual.so"));
    setenv("QUELMAR_ASPI_LAYER", (bin + "/libno-such-layer.so").c_str(), 1);
    auto first = std::make_unique<ReceiverLibrary>(bin + "/libquelmarscsi.so");
    EXPECT_EQ(first->Status(), uint32_t{DVB_ASPI_NOT_LOADED});
    first.reset();
    setenv("QUELMAR_ASPI_LAYER", (bin + "/libaspi-virtual.so").c_str(), 1);
    ReceiverLibrary second(bin + "/libquelmarscsi.so");
    unsetenv("QUELMAR_ASPI_LAYER");
    EXPECT_TRUE(second.ReceiverPresent()) << std::hex << second.Status();
}

TEST(RemuxerBinding, VersionGateAcceptsFrom125)
{
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v124")).status, RemuxerStatus::RemuxerTooOld);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v099")).status, RemuxerStatus::RemuxerTooOld);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_queryfails")).status, RemuxerStatus::RemuxerTooOld);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v125")).status, RemuxerStatus::RemuxerReady);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v200")).status, RemuxerStatus::RemuxerReady);
}

TEST(RemuxerBinding, TooOldStaysLoadedForTheVersionReport)
{
    RemuxerBinding old(TestModule("fakeremux_v124"));
    EXPECT_TRUE(old.module.Loaded());
    EXPECT_EQ(old.InitEx, nullptr);
}

TEST(RemuxerBinding, VersionForTheReportHasTwoDigitMinorAndTheBuild)
{
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v124")).VersionText(), "1.24, Build #1");
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v200")).VersionText(), "2.00, Build #4711");
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_queryfails")).VersionText(), "");
    EXPECT_EQ(RemuxerBinding(TestModule("no-such-remuxer")).VersionText(), "");
}

TEST(RemuxerBinding, MissingEntryOrModule)
{
    RemuxerBinding incomplete(TestModule("fakeremux_nopadding"));
    EXPECT_EQ(incomplete.status, RemuxerStatus::RemuxerIncomplete);
    EXPECT_FALSE(incomplete.module.Loaded());
    EXPECT_EQ(incomplete.Write_Mpg, nullptr);

    EXPECT_EQ(RemuxerBinding(TestModule("no-such-remuxer")).status, RemuxerStatus::RemuxerMissing);
}

TEST(RemuxerBinding, EnvironmentChoosesTheModule)
{
    setenv(RemuxerBinding::kModuleVariable, "/some/where/libother.so", 1);
    EXPECT_EQ(RemuxerBinding::DefaultModule(), "/some/where/libother.so");
    setenv(RemuxerBinding::kModuleVariable, "", 1);
    EXPECT_EQ(RemuxerBinding::DefaultModule(), "libremuxer.so");
    unsetenv(RemuxerBinding::kModuleVariable);
    EXPECT_EQ(RemuxerBinding::DefaultModule(), "libremuxer.so");
}

// --receiver: the receiver at the address, of either identification, or
// none; and a claimed receiver is refused to a second binding by name.
TEST(ReceiverLibrary, ChoiceByAddressFindsTheReceiverThereAndTheLockRefusesASecondBinding)
{
    const std::string bin = QUELMAR_BIN_DIR;
    if (!std::filesystem::exists(bin + "/libquelmarscsi.so") || !std::filesystem::exists(bin + "/libaspi-virtual.so"))
        GTEST_SKIP() << "library or simulated receiver not built in this tree";
    const std::filesystem::path dir = quelmar::testing::ScratchDir("binding-choice");
    const std::filesystem::path config = dir / "two.conf";
    std::ofstream(config) << "receiver adapter=0 target=3 revision=2.17\nchannel name=\"Eins\" tag=1 video-pid=101\n"
                             "receiver adapter=1 target=0 identification=older revision=2.14\n"
                             "channel name=\"Alt\" tag=1 video-pid=100\n";
    const std::string layer = bin + "/libaspi-virtual.so";
    ASSERT_TRUE(quelmar::testing::KeepResident(layer));
    // The bus is made once per process: this test's configuration replaces it.
    void *module = dlopen(layer.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto *reload = reinterpret_cast<int32_t (*)(const char *)>(dlsym(module, "aspiVirtualReload"));
    ASSERT_NE(reload, nullptr);
    ASSERT_EQ(reload(config.c_str()), 1);
    setenv("QUELMAR_ASPI_LAYER", layer.c_str(), 1);

    const struct {
        ReceiverAddress address;
        int32_t status;
        uint16_t revision;
    } cases[] = {
        {{1, 0}, DVB_STATUS_FOUND_OLD, 0x0214}, {{0, 3}, DVB_STATUS_FOUND, 0x0217}, {{0, 4}, DVB_STATUS_NONE, 0}};
    for (const auto &c : cases) {
        ReceiverChoice choice;
        choice.address = c.address;
        choice.layer = layer;
        ReceiverLibrary library(bin + "/libquelmarscsi.so", choice);
        EXPECT_EQ(library.device.status, c.status) << AddressText(c.address);
        if (library.ReceiverPresent()) {
            EXPECT_EQ(library.device.hostAdapter, c.address.hostAdapter);
            EXPECT_EQ(library.device.targetId, c.address.targetId);
            EXPECT_EQ(library.device.firmwareRevision, c.revision);
        }
    }

    ReceiverChoice locked;
    locked.address = ReceiverAddress{1, 0};
    locked.layer = layer;
    locked.lock = true;
    locked.lockFolder = (dir / "locks").string();
    locked.instance = "first";
    {
        ReceiverLibrary first(bin + "/libquelmarscsi.so", locked);
        ASSERT_TRUE(first.ReceiverPresent()) << first.refusal;
        ReceiverLibrary second(bin + "/libquelmarscsi.so", locked);
        EXPECT_EQ(second.device.status, DVB_STATUS_NONE);
        EXPECT_NE(second.refusal.find("the receiver at host adapter 1, id 0 is in use by another recorder (process "),
                  std::string::npos)
            << second.refusal;
    }
    // Without an address: the first receiver of the current identification,
    // as the library's search would take it, claimed.
    ReceiverChoice first = locked;
    first.address.reset();
    {
        ReceiverLibrary library(bin + "/libquelmarscsi.so", first);
        EXPECT_EQ(library.device.status, DVB_STATUS_FOUND) << library.refusal;
        EXPECT_EQ(library.device.hostAdapter, 0);
        EXPECT_EQ(library.device.targetId, 3);
        EXPECT_FALSE(ReceiverLock::Take({0, 3}, "", locked.lockFolder, library.refusal));
    }
    // Released with the binding that held it.
    ReceiverLibrary again(bin + "/libquelmarscsi.so", locked);
    EXPECT_TRUE(again.ReceiverPresent()) << again.refusal;
    unsetenv("QUELMAR_ASPI_LAYER");
    reload(nullptr);
    dlclose(module);
    std::filesystem::remove_all(dir);
}
