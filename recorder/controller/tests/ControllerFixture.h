// The main window driven by a view double and a manual dispatcher, with a
// scripted receiver in-process (and the stand-in multiplexer modules).
#pragma once

#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "controller/CRecorderDlg.h"
#include "controller/testing/MainViewDouble.h"
#include "controller/testing/ManualDispatcher.h"
#include "platform/testing/ManualTickSource.h"
#include "platform/testing/TestFiles.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace quelmar::testing {

inline std::string TestModule(const std::string &name) { return std::string(QUELMAR_TEST_DIR) + "/lib" + name + ".so"; }

inline DvbChannel Channel(const char *name, uint8_t tag)
{
    DvbChannel channel{};
    std::strncpy(channel.name, name, sizeof channel.name);
    channel.tag = tag;
    return channel;
}

// The receiver library as a script: what it answers and which commands it got.
struct ScriptedReceiver {
    uint32_t status = DVB_STATUS_FOUND;
    uint32_t version = 23; // 0: no version entry
    uint16_t firmware = 0x0217;
    std::vector<DvbChannel> channels{Channel("Eins", 1), Channel("Zwei", 2), Channel("Drei", 3), Channel("Vier", 4),
                                     Channel("A/B: 1", 5)};
    bool tableReadFails = false;
    DvbCurrentChannel current{1, {}, Channel("Eins", 1)};
    bool followsSetChannel = false; // a set channel becomes the current one
    int32_t speedTestMs = 0;

    std::mutex mutex; // the polling thread calls in too
    std::vector<std::string> calls;
    // Audio chunks (of zero bytes) each streaming start delivers: a recording
    // that receives nothing at all counts as failed.
    int audioChunksPerRecording = 1;
    int audioChunksLeft = 0;
    bool delivered = false; // by this streaming, which ends with the recording
    // While set, stream reads block: holds a recording in its teardown.
    bool holdReads = false;
    bool readHeld = false;
    std::condition_variable released;

    void Call(const std::string &what)
    {
        std::lock_guard lock(mutex);
        calls.push_back(what);
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
    bool Called(const std::string &what)
    {
        const auto all = Calls();
        return std::find(all.begin(), all.end(), what) != all.end();
    }
    void Release()
    {
        {
            std::lock_guard lock(mutex);
            holdReads = false;
        }
        released.notify_all();
    }
};

inline ScriptedReceiver *g_script = nullptr;

inline std::unique_ptr<ReceiverLibrary> MakeScriptedReceiver()
{
    auto rx = std::make_unique<ReceiverLibrary>(ReceiverLibrary::Unbound{});
    ScriptedReceiver &s = *g_script;
    rx->device.status = static_cast<int32_t>(s.status);
    rx->device.hostAdapter = 1;
    rx->device.targetId = 3;
    rx->device.firmwareRevision = s.firmware;
    if (s.version)
        rx->quelmarDLLVersion = [] { return g_script->version; };
    rx->dvbRescanAllSCSIBusses = [] {
        g_script->Call("rescan");
        return int32_t{1};
    };
    rx->dvbSetSCSIMode = [](const DvbDevice *, int32_t mode) {
        g_script->Call("scsi " + std::to_string(mode));
        return int32_t{1};
    };
    rx->dvbChannelCount = [](const DvbDevice *) { return static_cast<uint16_t>(g_script->channels.size()); };
    rx->dvbGetAllChannels = [](const DvbDevice *, DvbChannel *out, uint16_t n) {
        if (g_script->tableReadFails)
            return int32_t{0};
        std::copy_n(g_script->channels.begin(), std::min<size_t>(n, g_script->channels.size()), out);
        return int32_t{1};
    };
    rx->dvbGetCurrentChannel = [](const DvbDevice *) {
        std::lock_guard lock(g_script->mutex);
        return g_script->current;
    };
    rx->dvbSetChannel = [](const DvbDevice *, uint16_t n) {
        g_script->Call("channel " + std::to_string(n));
        std::lock_guard lock(g_script->mutex);
        if (g_script->followsSetChannel && n >= 1 && n <= g_script->channels.size())
            g_script->current.channel = g_script->channels[n - 1];
        return int32_t{1};
    };
    rx->dvbSendSpecialCommand = [](const DvbDevice *, const uint8_t *data, uint16_t n, uint8_t code) {
        g_script->Call("special " + std::to_string(code) + " '" +
                       std::string(reinterpret_cast<const char *>(data), data ? n : 0) + "'");
        return int32_t{1};
    };
    rx->dvbRemote = [](const DvbDevice *, int32_t on) {
        g_script->Call("remote " + std::to_string(on));
        return int32_t{1};
    };
    rx->dvbSCSISpeedTest = [](const DvbDevice *, uint32_t, int32_t) { return g_script->speedTestMs; };
    rx->dvbInitStreaming = [](const DvbDevice *, uint16_t, uint32_t, uint16_t) {
        std::lock_guard lock(g_script->mutex);
        g_script->audioChunksLeft = g_script->audioChunksPerRecording;
        return int32_t{1};
    };
    rx->dvbDeInitStreaming = [](const DvbDevice *) {
        std::lock_guard lock(g_script->mutex);
        g_script->delivered = false;
        return int32_t{1};
    };
    rx->dvbReadMultipleStreams = [](const DvbDevice *, uint8_t *buffer, uint32_t length, int32_t kind) {
        std::unique_lock lock(g_script->mutex);
        if (g_script->holdReads) {
            g_script->readHeld = true;
            g_script->released.wait(lock, [] { return !g_script->holdReads; });
        }
        if (kind != DVB_STREAM_AUDIO || g_script->audioChunksLeft == 0)
            return int32_t{0}; // nothing buffered
        --g_script->audioChunksLeft;
        g_script->delivered = true;
        std::memset(buffer, 0, length);
        return int32_t{1};
    };
    return rx;
}

// The multiplexer stand-ins by their status.
enum class Mux {
    Ready,
    TooOld,
    Incomplete,
    Missing
};

inline std::unique_ptr<RemuxerBinding> MakeRemuxer(Mux mux)
{
    switch (mux) {
    case Mux::Ready: return std::make_unique<RemuxerBinding>(TestModule("fakeremux_v125"));
    case Mux::TooOld: return std::make_unique<RemuxerBinding>(TestModule("fakeremux_v124"));
    case Mux::Incomplete: return std::make_unique<RemuxerBinding>(TestModule("fakeremux_nopadding"));
    case Mux::Missing: break;
    }
    return std::make_unique<RemuxerBinding>(RemuxerBinding::Unbound{});
}

// 2026-12-07 09:00:00 UTC, a Monday; the tests run in UTC.
inline constexpr int32_t kMonday0900 = 1796634000;

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        unsetenv("QUELMAR_OS_FAMILY");
        CTime::SetTestNow(kMonday0900);
        g_script = &script_;
        dir_ = ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        app_.m_strFile = (dir_ / "rec").string();
    }
    void TearDown() override
    {
        script_.Release();
        dlg_.reset();
        g_script = nullptr;
        CTime::SetTestNow(std::nullopt);
        std::filesystem::remove_all(dir_);
    }

    // Builds the window and runs its start-up: with the scripted receiver,
    // or with what `setup` names.
    CRecorderDlg &Start(Mux mux = Mux::Ready)
    {
        CRecorderDlg::Setup setup;
        setup.makeReceiver = MakeScriptedReceiver;
        setup.makeRemuxer = [mux] { return MakeRemuxer(mux); };
        return Start(std::move(setup));
    }
    CRecorderDlg &Start(CRecorderDlg::Setup setup)
    {
        setup.rescanHelperPath = (dir_ / "halvane").string();
        setup.timerStorePath = (dir_ / "timer.db").string();
        setup.supervisionTicks = &ticks_;
        dlg_ = std::make_unique<CRecorderDlg>(app_, view_, dispatcher_, std::move(setup));
        dlg_->OnInitDialog();
        dispatcher_.RunPending();
        return *dlg_;
    }

    // Runs queued work and supervision passes until `done` holds. The
    // recording threads run on their own; the limit only guards against a
    // hanging test.
    template <typename Pred>
    bool RunUntil(Pred done)
    {
        for (int round = 0; round < kRounds; ++round) {
            dispatcher_.RunPending();
            if (done())
                return true;
            if (ticks_.Tick() && done()) // as the clock would
                return true;
            dispatcher_.WaitForTask(std::chrono::milliseconds(kRoundMs));
        }
        return done();
    }
    // The engine's start has reached the window ("Split now!" is the last
    // control it enables) and the receiver has delivered the recording's data.
    bool Started()
    {
        return RunUntil([&] {
            std::lock_guard lock(script_.mutex);
            return dlg_->Control(ControlId::SplitNow).enabled && script_.delivered;
        });
    }
    bool TornDown()
    {
        return RunUntil([&] { return !dlg_->RecordingBusy(); });
    }

    // The log list as the view shows it, with what is queued for it.
    std::vector<std::string> Log()
    {
        dispatcher_.RunPending();
        return view_.LogTexts();
    }

    static constexpr int kRounds = 600;
    static constexpr int kRoundMs = 50;

    ScriptedReceiver script_;
    std::vector<PriorityClass> priorities_;
    CRecorderApp app_{[this](PriorityClass p) { priorities_.push_back(p); }};
    MainViewDouble view_;
    ManualDispatcher dispatcher_;
    ManualTickSource ticks_;
    std::unique_ptr<CRecorderDlg> dlg_;
    std::filesystem::path dir_;
};

} // namespace quelmar::testing
