// The library's face to the world: its symbol table, and the ASPI binding
// made when it is loaded.
#include "library_fixture.h"

#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

namespace quelmar::scsi::test {
namespace {

std::set<std::string> definedDynamicSymbols(const std::string &path)
{
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only --format=posix '" + path + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return names;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        std::string s(line);
        names.insert(s.substr(0, s.find(' ')));
    }
    pclose(pipe);
    return names;
}

} // namespace

TEST(LibraryExports, ExactlyTheTwentyFiveExports)
{
    std::set<std::string> expected;
#define QUELMAR_NAME(name) expected.insert(#name);
    QUELMAR_SCSI_EXPORTS(QUELMAR_NAME)
#undef QUELMAR_NAME
    ASSERT_EQ(expected.size(), 25u);
    EXPECT_EQ(definedDynamicSymbols(kLibraryPath), expected);
}

class BindingTest : public LibraryTest {};

TEST_F(BindingTest, MissingLayerReportsNotLoadedAndFindsNothing)
{
    setenv("QUELMAR_ASPI_LAYER", "/nonexistent/libwnaspi32.so", 1);
    load();
    EXPECT_EQ(lib_.quelmarDLLVersion(), 23u);
    EXPECT_EQ(lib_.quelmarDLLVersion(), 23u);
    EXPECT_EQ(lib_.dvbInit(), DVB_ASPI_NOT_LOADED);
    const DvbDevice d = lib_.dvbFindFirstQuelmar();
    EXPECT_EQ(d.status, DVB_STATUS_NONE);
    EXPECT_EQ(d.targetId, 0xFF);
    EXPECT_EQ(d.hostAdapter, 0xFF);
    EXPECT_EQ(d.firmwareRevision, 0);
    const DvbDeviceList all = lib_.dvbFindAllQuelmars();
    EXPECT_EQ(all.count, 0);
    EXPECT_EQ(all.devices[0].status, DVB_STATUS_NONE);

    // A hand-made record must not reach a missing send entry.
    const DvbDevice fake = device(0x0217);
    uint8_t buffer[16];
    EXPECT_EQ(lib_.dvbReadMemory(&fake, 0, buffer, sizeof buffer), 0);
    EXPECT_EQ(lib_.dvbSCSISpeedTest(&fake, 65536, 1), 0);
    EXPECT_EQ(lib_.dvbRescanAllSCSIBusses(), 0);
    EXPECT_EQ(lib_.dvbGetCurrentChannel(&fake).answer, 0);
}

TEST_F(BindingTest, LayerWithoutSendEntryIsUnloadedAgain)
{
    setenv("QUELMAR_ASPI_LAYER", kNoSendPath.c_str(), 1);
    load();
    EXPECT_EQ(lib_.dvbInit(), DVB_ASPI_ENTRY_MISSING);
    void *layerStill = dlopen(kNoSendPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(layerStill, nullptr) << "layer without its send entry stayed loaded";
    if (layerStill)
        dlclose(layerStill);
    const DvbDevice fake = device(0x0217);
    EXPECT_EQ(lib_.dvbSetChannel(&fake, 1), 0);
    EXPECT_EQ(lib_.dvbFindFirstQuelmar().status, DVB_STATUS_NONE);
}

TEST_F(BindingTest, FailedSupportCallLeavesNoAdapters)
{
    layer_->supportInfo = (SS_ERR << 8) | 2;
    addReceiver(0, 0);
    load();
    EXPECT_EQ(lib_.dvbInit(), DVB_ASPI_SUPPORT_FAIL);
    EXPECT_EQ(lib_.dvbFindFirstQuelmar().status, DVB_STATUS_NONE);
    EXPECT_TRUE(layer_->requests().empty()) << "no adapter may be scanned";
}

TEST_F(BindingTest, WorkingLayerReportsOkAndAdapterCount)
{
    layer_->supportInfo = (SS_COMP << 8) | 3;
    load();
    EXPECT_EQ(lib_.dvbInit(), DVB_ASPI_OK);
    EXPECT_EQ(lib_.dvbFindFirstQuelmar().status, DVB_STATUS_NONE);
    // Two searches (both identifications), each over 3 adapters x 8 targets.
    const auto inquiries = layer_->requestsWithOp(0x12);
    ASSERT_EQ(inquiries.size(), 2u * 3 * 8);
    for (size_t i = 0; i < 24; ++i) {
        EXPECT_EQ(inquiries[i].haId, i / 8);
        EXPECT_EQ(inquiries[i].target, i % 8);
    }
}

TEST_F(BindingTest, DefaultLayerIsTheOneBesideTheLibrary)
{
    // A copy of the library with a layer named libwnaspi32.so beside it, in
    // a folder of its own: without QUELMAR_ASPI_LAYER that layer is bound,
    // and a plain file name is looked for in the same folder.
    char pattern[] = "/tmp/quelmar-beside-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string copiedLibrary = dir + "/libquelmarscsi.so";
    const std::string copiedLayer = dir + "/libwnaspi32.so";
    ASSERT_EQ(std::system(("cp '" + kLibraryPath + "' '" + copiedLibrary + "' && cp '" + kScriptedPath + "' '" +
                           copiedLayer + "' && cp '" + kScriptedPath + "' '" + dir + "/libother.so'")
                              .c_str()),
              0);
    for (const char *configured : {static_cast<const char *>(nullptr), "libother.so"}) {
        SCOPED_TRACE(configured ? configured : "(unset)");
        if (configured)
            setenv("QUELMAR_ASPI_LAYER", configured, 1);
        else
            unsetenv("QUELMAR_ASPI_LAYER");
        QuelmarScsiClient copy;
        std::string error;
        ASSERT_TRUE(copy.load(copiedLibrary, &error)) << error;
        EXPECT_EQ(copy.dvbInit(), DVB_ASPI_OK);
        const std::string expectedLayer = configured ? dir + "/" + configured : copiedLayer;
        void *bound = dlopen(expectedLayer.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_NE(bound, nullptr) << "the layer beside the library was not bound";
        if (bound)
            dlclose(bound);
        copy.unload();
        void *after = dlopen(expectedLayer.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(after, nullptr) << "unloading the library must release its layer";
        if (after)
            dlclose(after);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace quelmar::scsi::test
