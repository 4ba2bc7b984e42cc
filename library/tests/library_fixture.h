// library_fixture.h: loads libquelmarscsi.so as a client would, on top of
// the scripted ASPI layer, fresh for every test (the ASPI binding is made
// when the library is loaded).
#pragma once

#include "quelmarscsi_client.h"
#include "scripted_layer.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace quelmar::scsi::test {

inline const std::string kLibraryPath = QUELMAR_BIN_DIR "/libquelmarscsi.so";
inline const std::string kScriptedPath = QUELMAR_TEST_DIR "/libaspi-scripted.so";
inline const std::string kNoSendPath = QUELMAR_TEST_DIR "/libaspi-scripted-nosend.so";

using Bytes = std::vector<uint8_t>;

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        layerHandle_ = dlopen(kScriptedPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(layerHandle_, nullptr) << dlerror();
        auto get = reinterpret_cast<scripted::Layer *(*)()>(dlsym(layerHandle_, "scriptedLayer"));
        ASSERT_NE(get, nullptr);
        layer_ = get();
        layer_->reset();
        setenv("QUELMAR_ASPI_LAYER", kScriptedPath.c_str(), 1);
        unsetenv("QUELMAR_OS_FAMILY");
    }

    void TearDown() override
    {
        unload();
        if (layer_)
            layer_->reset();
        unsetenv("QUELMAR_ASPI_LAYER");
        unsetenv("QUELMAR_OS_FAMILY");
        if (layerHandle_)
            dlclose(layerHandle_);
    }

    // Loads the library now; the layer script must be in place before.
    void load()
    {
        std::string error;
        ASSERT_TRUE(lib_.load(kLibraryPath, &error)) << error;
    }

    // Unloads the library and checks that it really left the process.
    void unload()
    {
        lib_.unload();
        void *still = dlopen(kLibraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(still, nullptr) << "library stayed loaded";
        if (still)
            dlclose(still);
    }

    // A found receiver record for commands.
    static DvbDevice device(uint16_t revision, uint8_t adapter = 0, uint8_t target = 3)
    {
        DvbDevice d{};
        d.status = DVB_STATUS_FOUND;
        d.hostAdapter = adapter;
        d.targetId = target;
        d.firmwareRevision = revision;
        return d;
    }

    // Adds a current-identification receiver with the given revision text.
    scripted::Device &addReceiver(uint8_t adapter, uint8_t target, const char *revision = "2.17")
    {
        return layer_->addDevice(adapter, target, "Quelmar", "DVB-S Receiver 0", revision);
    }

    scripted::Layer *layer_ = nullptr;
    QuelmarScsiClient lib_;

private:
    void *layerHandle_ = nullptr;
};

inline Bytes cdbOf(const scripted::Request &r) { return r.cdb; }

} // namespace quelmar::scsi::test
