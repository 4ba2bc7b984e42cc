// The tap between the window model and the front end's view: while a
// remote command runs, nobody at the machine is asked; otherwise everything
// reaches the front end, which is then modal.
#include "app/RemoteViewTap.h"
#include "controller/testing/MainViewDouble.h"
#include "timers/TimerDialogModel.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quelmar {
namespace {

// One way the model asks the user: made on `tap`, the answer as text.
struct Ask {
    const char *name;
    std::string (*ask)(RemoteViewTap &tap);
    // How many times the front end was asked, in `inner`.
    size_t (*asked)(const MainViewDouble &inner);
};

const Ask kAsks[] = {
    {"question", [](RemoteViewTap &tap) { return std::string(tap.AskYesNo("Replace?", "Save As") ? "yes" : "no"); },
     [](const MainViewDouble &inner) { return inner.questions.size(); }},
    {"message",
     [](RemoteViewTap &tap) {
         tap.ShowMessage("Refused.", "Timer", MessageIcon::Warning);
         return std::string();
     },
     [](const MainViewDouble &inner) { return inner.messages.size(); }},
    {"save dialog",
     [](RemoteViewTap &tap) {
         return tap.RunSaveDialog("old", [](const std::string &path) { return path != "refused"; }).value_or("none");
     },
     [](const MainViewDouble &inner) { return size_t(inner.saveDialogInitial.empty() ? 0 : 1); }},
    {"timer dialog",
     [](RemoteViewTap &tap) {
         CTimerList list;
         TimerDialogModel model(list, {}, -1);
         return std::string(tap.RunTimerDialog(model, {}) ? "ok" : "cancel");
     },
     [](const MainViewDouble &inner) { return size_t(inner.timerDialogs); }},
};

class RemoteViewTapTest : public ::testing::TestWithParam<Ask> {};

TEST_P(RemoteViewTapTest, ACommandAnswersItselfAndTheFrontEndIsModalOtherwise)
{
    MainViewDouble inner;
    RemoteViewTap tap(inner);
    bool modalSeen = false;
    inner.answers = {true};
    inner.savePaths = {"chosen"};
    inner.timerDialog = [&](TimerDialogModel &, const std::function<bool(const std::string &)> &) {
        modalSeen = tap.ModalOpen();
        return true;
    };

    RemoteViewTap::Answers answers;
    answers.yes = false;
    answers.savePath = "remote";
    answers.timerDialog = [](TimerDialogModel &) { return true; };
    tap.Answer(&answers);
    const std::string answered = GetParam().ask(tap);
    tap.Answer(nullptr);
    EXPECT_EQ(GetParam().asked(inner), 0u);
    EXPECT_EQ(answers.questions.size() + answers.messages.size() + (answered == "remote") + answers.timerDialogRan, 1u)
        << answered;

    const std::string local = GetParam().ask(tap);
    EXPECT_EQ(GetParam().asked(inner), 1u);
    EXPECT_NE(local, "remote");
    EXPECT_FALSE(tap.ModalOpen());
    // The front end's Timer dialog ran with the model marked busy.
    EXPECT_EQ(modalSeen, std::string(GetParam().name) == "timer dialog");
}

INSTANTIATE_TEST_SUITE_P(Asks, RemoteViewTapTest, ::testing::ValuesIn(kAsks), [](const auto &info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
});

TEST(RemoteViewTap, TellsOfChangesAndLogLinesAfterTheFrontEnd)
{
    MainViewDouble inner;
    RemoteViewTap tap(inner);
    int changes = 0;
    std::vector<std::string> lines;
    tap.onChange = [&] {
        EXPECT_TRUE(inner.controls.count(ControlId::Record));
        ++changes;
    };
    tap.onLogLines = [&](const std::vector<std::string> &appended) { lines = appended; };
    tap.ControlChanged(ControlId::Record, ControlState{});
    tap.RecordingFinished(RecordingOutcome::Normal);
    tap.LogLinesAppended({"12:00:00: one"});
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(lines, std::vector<std::string>{"12:00:00: one"});
    EXPECT_EQ(inner.log, std::vector<std::string>{"12:00:00: one"});
}

} // namespace
} // namespace quelmar
