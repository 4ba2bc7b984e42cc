// Whole recordings through the main window: the real receiver access
// library on the simulated receiver, the engine and the real multiplexer.
// The files are checked with ffprobe and ffmpeg.
#include "controller/tests/ControllerFixture.h"

#include "aspi_virtual.h"
#include "platform/DynamicLibrary.h"

#include <cstdio>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

const std::string kBin = QUELMAR_BIN_DIR;

// What a shell command printed (both channels); empty on success for ffmpeg.
std::string Output(const std::string &command)
{
    std::string out;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return "cannot run " + command;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    if (pclose(pipe) != 0 && out.empty())
        out = command + " failed";
    return out;
}

std::string Quoted(const std::string &path) { return "'" + path + "'"; }

// The codec names of a file's audio and video streams, one per line.
std::string Codecs(const std::string &file)
{
    return Output(
        "ffprobe -v error -select_streams V -show_entries stream=codec_name -of default=nw=1:nk=1 " + Quoted(file) +
        "; ffprobe -v error -select_streams a -show_entries stream=codec_name -of default=nw=1:nk=1 " + Quoted(file));
}

enum class End {
    Stop,
    StopTime,
    Close
};

class RecordingEndToEnd : public ControllerTest, public ::testing::WithParamInterface<End> {
protected:
    void SetUp() override
    {
        ControllerTest::SetUp();
        setenv("QUELMAR_ASPI_LAYER", "libaspi-virtual.so", 1);
        unsetenv("QUELMAR_VIRTUAL_RECEIVER");
        ASSERT_TRUE(Layer().Loaded());
        reinterpret_cast<AspiVirtualReloadFn>(Layer().Symbol("aspiVirtualReload"))(nullptr); // switched on again
    }
    // The simulated receiver's module, held for the whole test process: the
    // window unloads the library (and with it the layer) at its end, and the
    // codec libraries' one-time tables would otherwise count as leaked.
    static DynamicLibrary &Layer()
    {
        static DynamicLibrary *layer = [] {
            auto *module = new DynamicLibrary;
            module->Load(kBin + "/libaspi-virtual.so");
            return module;
        }();
        return *layer;
    }
    AspiVirtualState ReceiverState()
    {
        AspiVirtualState state{};
        reinterpret_cast<AspiVirtualGetStateFn>(Layer().Symbol("aspiVirtualGetState"))(0, 3, &state);
        return state;
    }
};

TEST_P(RecordingEndToEnd, WritesFilesThatDecode)
{
    CRecorderDlg::Setup setup;
    setup.makeReceiver = [] { return std::make_unique<ReceiverLibrary>(kBin + "/libquelmarscsi.so"); };
    setup.makeRemuxer = [] { return std::make_unique<RemuxerBinding>(kBin + "/libremuxer.so"); };
    Start(std::move(setup));
    const auto log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[2], "Quelmar found on host adapter 0, id 3, firmware revision 2.17");
    EXPECT_EQ(log[3].rfind("libremuxer.so found: Version 2.00, Build #", 0), 0u);
    ASSERT_TRUE(dlg_->ReceiverReady());

    dlg_->OnChannelSelected(1); // the AC-3 channel
    EXPECT_EQ(ReceiverState().tunedChannel, 2u);
    dlg_->OnStreamChoiceChanged(ControlId::VideoChoice, 2);
    dlg_->OnStreamChoiceChanged(ControlId::AudioChoice, 2);
    dlg_->OnStreamChoiceChanged(ControlId::MuxChoice, 1);
    dlg_->OnRecord();
    constexpr uint64_t kEnoughBytes = 600000;
    ASSERT_TRUE(RunUntil([&] { return std::stoull(dlg_->Control(ControlId::MuxBytes).text) > kEnoughBytes; }));
    EXPECT_TRUE(ReceiverState().remoteLocked);

    switch (GetParam()) {
    case End::Stop: dlg_->OnStop(); break;
    case End::StopTime:
        ASSERT_TRUE(dlg_->SetStopAfter(60));
        CTime::SetTestNow(kMonday0900 + 60);
        dlg_->OnTimer(kTimerSupervision);
        EXPECT_FALSE(dlg_->RecordingActive());
        break;
    case End::Close: dlg_->OnClose(); break;
    }
    ASSERT_TRUE(TornDown());
    EXPECT_EQ(dlg_->LastOutcome(), RecordingOutcome::Normal);
    EXPECT_FALSE(ReceiverState().remoteLocked);
    EXPECT_EQ(view_.endDialogs, GetParam() == End::Close ? 1 : 0);
    EXPECT_EQ(ReceiverState().powered, GetParam() == End::Close ? 0 : 1);

    const std::string part = app_.m_strFile + " (0)";
    EXPECT_EQ(Codecs(part + ".m2v"), "mpeg2video\n");
    EXPECT_EQ(Codecs(part + ".ac3"), "ac3\n");
    EXPECT_EQ(Codecs(part + ".mpg"), "mpeg2video\nac3\n");
    for (const char *ext : {".m2v", ".ac3", ".mpg"})
        EXPECT_EQ(Output("ffmpeg -nostdin -v error -i " + Quoted(part + ext) + " -f null -"), "") << ext;
    const std::string logFile = ReadText(app_.m_strFile + ".log");
    EXPECT_NE(logFile.find("recording stopped\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(EveryEnd, RecordingEndToEnd, ::testing::Values(End::Stop, End::StopTime, End::Close));

} // namespace
