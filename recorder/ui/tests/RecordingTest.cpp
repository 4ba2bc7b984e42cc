// Recordings made with the mouse: the files decode, the window's log list
// holds the lines of the log file, and the overwrite question is answered
// through the message box hook.
#include "ui/tests/WindowFixture.h"

#include "engine/EventLog.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

// Stream choices: video "as m2v", audio "as mp2/ac3", multiplex "as ~DVD".
constexpr int kVideoAsM2v = 2;
constexpr int kAudioAsMp2Ac3 = 2;
constexpr int kMuxAsDvd = 1;
// Multiplexed bytes to wait for: about two seconds of the test channel.
constexpr uint64_t kMuxBytesWanted = 1000000;

// Whether ffmpeg decodes the whole file without an error.
bool Decodes(const std::filesystem::path &file)
{
    return std::system(("ffmpeg -nostdin -v quiet -xerror -i '" + file.string() + "' -f null - 2>/dev/null").c_str()) ==
           0;
}

class RecordingTest : public WindowFixture {
protected:
    void Click(ControlId id) { QTest::mouseClick(Widget<QPushButton>(id), Qt::LeftButton); }
    bool Recording() const { return Widget(ControlId::Stop)->isEnabled(); }
    bool Idle() const { return Widget(ControlId::PowerOff)->isEnabled(); }
    uint64_t Counter(ControlId id) const { return Widget<QLabel>(id)->text().toULongLong(); }

    // Answers every message box with `answer` and keeps what they said.
    void AnswerMessageBoxes(QMessageBox::StandardButton answer)
    {
        SetMessageBoxHook([this, answer](QMessageBox &box) {
            boxes_.push_back(
                {box.windowTitle().toStdString(), box.text().toStdString(), box.icon(), box.standardButtons()});
            return answer;
        });
    }

    struct Box {
        std::string caption;
        std::string text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };
    std::vector<Box> boxes_;
};

} // namespace

TEST_F(RecordingTest, RecordButtonMakesFilesThatDecode)
{
    app_.m_nSaveVideo = kVideoAsM2v;
    app_.m_nSaveAudio = kAudioAsMp2Ac3;
    app_.m_nSaveMux = kMuxAsDvd;
    OpenWindow();
    LogEvent("line before the recording");
    Click(ControlId::Record);
    ASSERT_TRUE(WaitFor([this] { return Recording(); }));
    ASSERT_TRUE(WaitFor([this] { return Counter(ControlId::MuxBytes) >= kMuxBytesWanted; }));
    EXPECT_GT(Counter(ControlId::VideoBytes), 0u);
    EXPECT_GT(Counter(ControlId::AudioBytes), 0u);
    EXPECT_GT(Widget<QListWidget>(ControlId::VideoInfo)->count(), 0);
    Click(ControlId::Stop);
    ASSERT_TRUE(WaitFor([this] { return Idle(); }));

    for (const char *name : {"rec (0).mpg", "rec (0).m2v", "rec (0).mp2"}) {
        const auto file = dir_ / name;
        ASSERT_TRUE(std::filesystem::exists(file)) << name;
        EXPECT_GT(std::filesystem::file_size(file), 0u) << name;
        EXPECT_TRUE(Decodes(file)) << name;
    }
    // The list was emptied at the start; from then on it holds the lines of
    // the log file, in the same order.
    const QStringList fileLines = QString::fromStdString(ReadText(dir_ / "rec.log")).split(QStringLiteral("\r\n"));
    auto *list = Widget<QListWidget>(ControlId::EventLog);
    ASSERT_GT(fileLines.size(), 1);
    ASSERT_GE(list->count(), fileLines.size() - 1);
    for (int i = 0; i + 1 < fileLines.size(); ++i)
        EXPECT_EQ(list->item(i)->text(), fileLines[i]) << i;
    EXPECT_TRUE(list->findItems(QStringLiteral("line before the recording"), Qt::MatchContains).isEmpty());
}

class OverwriteQuestion : public RecordingTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OverwriteQuestion, AnswerDecidesWhetherTheRecordingStarts)
{
    const bool yes = GetParam();
    OpenWindow();
    std::FILE *existing = std::fopen((dir_ / "rec (0).mpg").c_str(), "w");
    ASSERT_NE(existing, nullptr);
    std::fclose(existing);
    AnswerMessageBoxes(yes ? QMessageBox::Yes : QMessageBox::No);

    Click(ControlId::Record);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].caption, "File save as");
    EXPECT_EQ(boxes_[0].text,
              "\"" + (dir_ / "rec (0).mpg").string() + "\" already exists! \nDo you want to overwrite it?");
    EXPECT_EQ(boxes_[0].icon, QMessageBox::Question);
    EXPECT_EQ(boxes_[0].buttons, QMessageBox::Yes | QMessageBox::No);
    if (yes) {
        EXPECT_TRUE(WaitFor([this] { return Recording(); }));
    } else {
        EXPECT_FALSE(dlg_->RecordingBusy());
        EXPECT_TRUE(Idle());
        EXPECT_TRUE(Widget(ControlId::Record)->isEnabled());
    }
}

INSTANTIATE_TEST_SUITE_P(YesAndNo, OverwriteQuestion, ::testing::Bool());
