#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace quelmar;

namespace {

std::string TestModule(const std::string &name) { return std::string(QUELMAR_TEST_DIR) + "/lib" + name + ".so"; }

int FindCalls(const ReceiverLibrary &library)
{
    auto *calls = reinterpret_cast<int (*)()>(library.module.symbol("fakeFindCalls"));
    return calls ? calls() : -1;
}

} // namespace

TEST(ReceiverLibrary, MissingModuleGivesLibraryMissing)
{
    ReceiverLibrary library(TestModule("no-such-module"));
    EXPECT_EQ(library.status(), ReceiverLibrary::kLibraryMissing);
    EXPECT_FALSE(library.module.loaded());
    EXPECT_EQ(library.version(), -1);
    EXPECT_FALSE(library.receiverPresent());
}

TEST(ReceiverLibrary, Version22StaysLoadedWithOnlyTheVersionBound)
{
    ReceiverLibrary library(TestModule("fakescsi_v22"));
    EXPECT_EQ(library.status(), ReceiverLibrary::kVersionTooOld);
    EXPECT_TRUE(library.module.loaded());
    EXPECT_EQ(library.version(), 22);
    EXPECT_EQ(library.dvbInit, nullptr);
    EXPECT_EQ(library.dvbWriteMemory, nullptr);
}

TEST(ReceiverLibrary, MissingLastExportUnloads)
{
    ReceiverLibrary library(TestModule("fakescsi_nowritememory"));
    EXPECT_EQ(library.status(), ReceiverLibrary::kEntryMissing);
    EXPECT_FALSE(library.module.loaded());
    EXPECT_EQ(library.quelmarDLLVersion, nullptr);
    EXPECT_EQ(library.version(), -1);
}

TEST(ReceiverLibrary, AspiFailureBecomesTheStatusWithoutDiscovery)
{
    ReceiverLibrary library(TestModule("fakescsi_noaspi"));
    EXPECT_EQ(library.status(), 0x40000000u);
    EXPECT_EQ(FindCalls(library), 0);
    EXPECT_EQ(library.version(), 23);
}

TEST(ReceiverLibrary, DiscoveryResultIsCopied)
{
    ReceiverLibrary none(TestModule("fakescsi_none"));
    EXPECT_EQ(none.status(), 1u);
    EXPECT_EQ(none.device.targetId, 0xFF);
    EXPECT_EQ(none.device.hostAdapter, 0xFF);
    EXPECT_FALSE(none.receiverPresent());
    EXPECT_NE(none.dvbWriteMemory, nullptr);

    ReceiverLibrary found(TestModule("fakescsi_found"));
    EXPECT_EQ(found.status(), 2u);
    EXPECT_TRUE(found.receiverPresent());
    EXPECT_EQ(found.device.firmwareRevision, 0x0217);
    found.unload();
    EXPECT_EQ(found.dvbReadMultipleStreams, nullptr);
    found.unload(); // a second unload does nothing
}

TEST(ReceiverLibrary, RealLibraryBindsWithInterfaceVersion23)
{
    const std::string path = std::string(QUELMAR_BIN_DIR) + "/libquelmarscsi.so";
    ReceiverLibrary library(path);
    if (library.status() == ReceiverLibrary::kLibraryMissing)
        GTEST_SKIP() << "library not built in this tree";
    EXPECT_EQ(library.version(), 23);
    EXPECT_NE(library.status(), ReceiverLibrary::kEntryMissing);
}

TEST(RemuxerBinding, VersionGateAcceptsFrom125)
{
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v124")).status, RemuxerBinding::RemuxerTooOld);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v099")).status, RemuxerBinding::RemuxerTooOld);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_queryfails")).status, RemuxerBinding::RemuxerTooOld);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v125")).status, RemuxerBinding::RemuxerReady);
    EXPECT_EQ(RemuxerBinding(TestModule("fakeremux_v200")).status, RemuxerBinding::RemuxerReady);
}

TEST(RemuxerBinding, TooOldStaysLoadedForTheVersionReport)
{
    RemuxerBinding old(TestModule("fakeremux_v124"));
    EXPECT_TRUE(old.module.loaded());
    EXPECT_EQ(old.versionText(), "1.24");
    EXPECT_EQ(old.InitEx, nullptr);
}

TEST(RemuxerBinding, MissingEntryOrModule)
{
    RemuxerBinding incomplete(TestModule("fakeremux_nopadding"));
    EXPECT_EQ(incomplete.status, RemuxerBinding::RemuxerIncomplete);
    EXPECT_FALSE(incomplete.module.loaded());
    EXPECT_EQ(incomplete.Write_Mpg, nullptr);

    EXPECT_EQ(RemuxerBinding(TestModule("no-such-remuxer")).status, RemuxerBinding::RemuxerMissing);
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
