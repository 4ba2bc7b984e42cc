// The remote control of the running program as a client on the network
// uses it: QuelmarRecorder --headless --listen on the simulated receiver,
// requests through a real socket with the token --show-token prints. A
// timer added over the API records into files that decode; the refusals
// change nothing; 50 clients polling the status during a recording all get
// their answers; the command line's timer options go through the program.
#include "program_run.h"
#include "remote/tests/RemoteTestClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <ctime>
#include <thread>

using namespace quelmar::testing;
using quelmar::remote::testing::ClientSocket;
using quelmar::remote::testing::HttpReply;
using quelmar::remote::testing::RawRequest;

namespace {

// Far enough ahead for the program to arm the timer ten seconds before.
constexpr time_t kLeadSeconds = 15;
constexpr time_t kRecordSeconds = 4;
constexpr int kPollingClients = 50;
constexpr uint32_t kPolledRecordingSeconds = 5;
constexpr char kListening[] = "remote control listening on http://127.0.0.1:";

std::string localTime(time_t when, const char *format)
{
    std::tm fields{};
    localtime_r(&when, &fields);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &fields));
}

QJsonObject json(const HttpReply &reply)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(reply.body)).object();
}

class RemoteEndToEnd : public ProgramEndToEnd {
protected:
    void SetUp() override
    {
        ProgramEndToEnd::SetUp();
        storeSettings("Priority=32\nSave%20Audio=2\nSave%20Video=2\nSave%20Mux=1\n");
    }

    // The program serving on a free port; port_ and token_ set.
    std::unique_ptr<Program> serve(std::vector<std::string> extra = {})
    {
        std::vector<std::string> arguments = {"--headless",  "--virtual-receiver", "--listen",
                                              "127.0.0.1:0", "--recordings-dir",   (dir_ / "out").string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto program = std::make_unique<Program>(arguments, dir_);
        EXPECT_TRUE(program->waitForLine(kListening)) << program->out() << program->err();
        const size_t at = program->out().find(kListening);
        if (at != std::string::npos)
            port_ = static_cast<uint16_t>(std::stoi(program->out().substr(at + sizeof kListening - 1)));
        Program show({"--show-token"}, dir_);
        EXPECT_EQ(show.finish(), 0) << show.err();
        token_ = show.out().substr(0, show.out().find('\n'));
        return program;
    }

    HttpReply send(const std::string &raw) const
    {
        ClientSocket socket(port_);
        if (!socket.Connected() || !socket.Send(raw))
            return {};
        return socket.ReadReply();
    }
    HttpReply get(const std::string &path) const { return send(RawRequest("GET", path, token_)); }
    HttpReply call(const std::string &method, const std::string &path, const std::string &body = "{}") const
    {
        return send(RawRequest(method, path, token_, body));
    }
    // Polls the status until `done` holds of it (or the run limit passed).
    bool statusUntil(const std::function<bool(const QJsonObject &)> &done) const
    {
        const auto deadline = steady_clock::now() + kRunLimit;
        while (steady_clock::now() < deadline) {
            if (done(json(get("/api/v1/status"))))
                return true;
            poll(nullptr, 0, kPollStepMs);
        }
        return false;
    }
    static std::string stateOf(const QJsonObject &status)
    {
        return status["recording"].toObject()["state"].toString().toStdString();
    }

    uint16_t port_ = 0;
    std::string token_;
};

TEST_F(RemoteEndToEnd, TimerAddedOverTheApiRecordsAndTheFilesDecodeAndDownload)
{
    const auto recorder = serve();
    const time_t start = std::time(nullptr) + kLeadSeconds;
    const std::string body = R"({"channel": 2, "start": ")" + localTime(start, "%Y-%m-%d %H:%M:%S") +
                             R"(", "stop": ")" + localTime(start + kRecordSeconds, "%H:%M:%S") +
                             R"(", "file": "news"})";
    const HttpReply added = call("POST", "/api/v1/timers", body);
    ASSERT_EQ(added.status, 201) << added.body;
    EXPECT_EQ(json(added)["file"].toString().toStdString(), (dir_ / "out" / "news").string());
    ASSERT_EQ(call("POST", "/api/v1/timer-mode", R"({"on": true})").status, 200);
    // Saved to the store the way the Timer dialog saves it: no reload.
    EXPECT_EQ(recorder->out().find("timer settings reloaded"), std::string::npos);

    ASSERT_TRUE(recorder->waitForLine("recording started")) << recorder->out() << recorder->err();
    const size_t started = recorder->out().find("recording started");
    ASSERT_TRUE(recorder->waitForLine(": recording stopped\n", started)) << recorder->out();
    ASSERT_TRUE(statusUntil([](const QJsonObject &s) { return stateOf(s) == "idle"; }));

    const struct {
        const char *file, *format, *codecs;
    } outputs[] = {{"news (0).mpg", "", "mpeg2video,ac3"},
                   {"news (0).m2v", "mpegvideo", "mpeg2video"},
                   {"news (0).ac3", "ac3", "ac3"}};
    for (const auto &output : outputs) {
        EXPECT_EQ(codecsOf(dir_ / "out" / output.file, output.format), output.codecs) << output.file;
        EXPECT_EQ(decodeErrors(dir_ / "out" / output.file, output.format), "") << output.file;
    }
    // Listed, and downloaded in two ranges that make the whole file.
    const QJsonArray recordings = json(get("/api/v1/recordings"))["recordings"].toArray();
    ASSERT_EQ(recordings.size(), 1) << get("/api/v1/recordings").body;
    EXPECT_EQ(recordings[0].toObject()["name"].toString(), "news");
    const std::string whole = ReadText(dir_ / "out" / "news (0).mpg");
    const std::string half = std::to_string(whole.size() / 2);
    const HttpReply first = send(RawRequest("GET", "/api/v1/recordings/news/news%20(0).mpg", token_, "",
                                            "Range: bytes=0-" + std::to_string(whole.size() / 2 - 1) + "\r\n"));
    const HttpReply rest =
        send(RawRequest("GET", "/api/v1/recordings/news/news%20(0).mpg", token_, "", "Range: bytes=" + half + "-\r\n"));
    EXPECT_EQ(first.status, 206);
    EXPECT_EQ(rest.status, 206);
    EXPECT_TRUE(first.body + rest.body == whole);

    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->finish(), 0) << recorder->out() << recorder->err();
}

TEST_F(RemoteEndToEnd, RefusalsChangeNothingAndTheLogIsWhole)
{
    const auto recorder = serve();
    // The log from the program's first line on.
    const QJsonArray lines = json(get("/api/v1/log"))["lines"].toArray();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_NE(lines[0].toObject()["text"].toString().indexOf("ASPI-layer detected"), -1) << get("/api/v1/log").body;

    const std::string recording = R"({"file": "take", "duration": 60})";
    const struct {
        const char *what;
        std::string raw;
        int status;
    } refusals[] = {
        {"no token", RawRequest("POST", "/api/v1/recording", "", recording), 401},
        {"wrong token", RawRequest("POST", "/api/v1/recording", std::string(token_.size(), 'a'), recording), 401},
        {"other origin", RawRequest("POST", "/api/v1/recording", token_, recording, "Origin: http://elsewhere\r\n"),
         403},
        {"form post",
         RawRequest("POST", "/api/v1/recording", token_, "file=take",
                    "Content-Type: application/x-www-form-urlencoded\r\n"),
         415},
        {"outside the folder", RawRequest("POST", "/api/v1/recording", token_, R"({"file": "../take"})"), 400},
        {"absolute elsewhere", RawRequest("POST", "/api/v1/recording", token_, R"({"file": "/tmp/take"})"), 400},
    };
    for (const auto &refusal : refusals) {
        const HttpReply reply = send(refusal.raw);
        EXPECT_EQ(reply.status, refusal.status) << refusal.what << ": " << reply.body;
        EXPECT_FALSE(json(reply)["error"].toString().isEmpty()) << refusal.what << ": " << reply.body;
    }
    EXPECT_EQ(stateOf(json(get("/api/v1/status"))), "idle");
    EXPECT_TRUE(SortedNames(dir_ / "out").empty());

    // While recording: the channel stays, the recording goes on.
    ASSERT_EQ(call("POST", "/api/v1/recording", recording).status, 200);
    ASSERT_TRUE(statusUntil([](const QJsonObject &s) { return stateOf(s) == "recording"; }));
    const HttpReply switched = call("POST", "/api/v1/channel", R"({"channel": 2})");
    EXPECT_EQ(switched.status, 409) << switched.body;
    EXPECT_EQ(json(get("/api/v1/status"))["channel"].toObject()["number"].toInt(), 1);
    ASSERT_EQ(call("DELETE", "/api/v1/recording").status, 200);
    ASSERT_TRUE(statusUntil([](const QJsonObject &s) { return stateOf(s) == "idle"; }));
    EXPECT_EQ(decodeErrors(dir_ / "out" / "take (0).mpg"), "");
    // Its files exist now: the same request is refused with the question
    // nobody answered Yes to, and the files stay as they are.
    const auto size = fs::file_size(dir_ / "out" / "take (0).mpg");
    const HttpReply again = call("POST", "/api/v1/recording", recording);
    EXPECT_EQ(again.status, 400) << again.body;
    EXPECT_NE(again.body.find("overwrite"), std::string::npos) << again.body;
    EXPECT_EQ(stateOf(json(get("/api/v1/status"))), "idle");
    EXPECT_EQ(fs::file_size(dir_ / "out" / "take (0).mpg"), size);

    // A timer the store cannot take (its lock cannot be made) is not reported as saved.
    fs::create_directories(dir_ / "data" / "QuelmarRecorder" / "timer.db.lock");
    const time_t start = std::time(nullptr) + 3600;
    const HttpReply unsaved = call("POST", "/api/v1/timers",
                                   R"({"channel": 1, "start": ")" + localTime(start, "%Y-%m-%d %H:%M:%S") +
                                       R"(", "stop": ")" + localTime(start + 60, "%H:%M:%S") + R"(", "file": "x"})");
    EXPECT_EQ(unsaved.status, 409) << unsaved.body;
    EXPECT_NE(unsaved.body.find("timer.db could not be written"), std::string::npos) << unsaved.body;
    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->finish(), 0) << recorder->out() << recorder->err();
}

TEST_F(RemoteEndToEnd, FiftyClientsPollingTheStatusDuringARecordingLoseNothing)
{
    const auto recorder = serve();
    const HttpReply started = call("POST", "/api/v1/recording",
                                   R"({"file": "busy", "duration": )" + std::to_string(kPolledRecordingSeconds) + "}");
    ASSERT_EQ(started.status, 200) << started.body;
    std::atomic<int> failures{0}, answers{0}, shrinking{0}, longestElapsed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kPollingClients; ++i)
        clients.emplace_back([&] {
            double lastMux = 0;
            for (std::string state = "starting"; state != "idle";) {
                const HttpReply reply = get("/api/v1/status");
                if (reply.status != 200) {
                    ++failures;
                    return;
                }
                ++answers;
                const QJsonObject status = json(reply);
                state = stateOf(status);
                const double mux = status["recording"].toObject()["bytes"].toObject()["mux"].toDouble();
                if (state == "recording" && mux < lastMux)
                    ++shrinking;
                lastMux = state == "recording" ? mux : lastMux;
                const int elapsed = status["recording"].toObject()["elapsedSeconds"].toInt();
                for (int longest = longestElapsed; elapsed > longest;)
                    longestElapsed.compare_exchange_weak(longest, elapsed);
            }
        });
    for (std::thread &client : clients)
        client.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GE(answers, kPollingClients);
    EXPECT_EQ(shrinking, 0);
    // The elapsed time counts from the start (whole seconds, a pass late at most).
    EXPECT_GE(longestElapsed, int(kPolledRecordingSeconds) - 2);
    EXPECT_LE(longestElapsed, int(kPolledRecordingSeconds) + 1);
    // The recording went on undisturbed to its stop time.
    EXPECT_TRUE(recorder->waitForLine(": recording stopped\n")) << recorder->out();
    EXPECT_EQ(codecsOf(dir_ / "out" / "busy (0).mpg"), "mpeg2video,mp2");
    EXPECT_EQ(decodeErrors(dir_ / "out" / "busy (0).mpg"), "");
    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->finish(), 0) << recorder->out() << recorder->err();
}

TEST_F(RemoteEndToEnd, CommandLineTimerEditsGoThroughTheRunningProgram)
{
    const auto recorder = serve();
    const time_t start = std::time(nullptr) + 3600;
    Program add({"--add-timer", "--channel", "2", "--start", localTime(start, "%Y-%m-%d %H:%M:%S"), "--stop",
                 localTime(start + 60, "%H:%M:%S"), "--file", (dir_ / "out" / "late").string()},
                dir_);
    ASSERT_EQ(add.finish(), 0) << add.out() << add.err();
    Program list({"--list-timers"}, dir_);
    ASSERT_EQ(list.finish(), 0) << list.err();
    EXPECT_NE(list.out().find("Testbild Zwei AC3"), std::string::npos) << list.out();
    // The running program made the edit itself: it never had to read the store again.
    const QJsonArray timers = json(get("/api/v1/timers"))["timers"].toArray();
    ASSERT_EQ(timers.size(), 1) << get("/api/v1/timers").body;
    EXPECT_EQ(timers[0].toObject()["channel"].toInt(), 2);
    EXPECT_EQ(recorder->out().find("timer settings reloaded"), std::string::npos) << recorder->out();
    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->finish(), 0) << recorder->out() << recorder->err();
}

TEST_F(RemoteEndToEnd, TheWindowServesTooWhenAsked)
{
#ifndef QUELMAR_WITH_WINDOW
    GTEST_SKIP() << "the program is built without its window";
#endif
    // The window's log is its list: the port comes from the address note.
    // The window's own leaks are checked in the window tests' process; here
    // the leak checker would only see what the platform plugin, unloaded at
    // the end, left behind, and cannot name it.
    Program window({"--virtual-receiver", "--listen", "127.0.0.1:0"}, dir_,
                   {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0"});
    const fs::path note = dir_ / "data" / "QuelmarRecorder" / "remote.address";
    const auto deadline = steady_clock::now() + kRunLimit;
    std::string host;
    while (!(std::ifstream(note) >> host >> port_) && steady_clock::now() < deadline)
        poll(nullptr, 0, kPollStepMs);
    ASSERT_NE(port_, 0) << window.err();
    Program show({"--show-token"}, dir_);
    ASSERT_EQ(show.finish(), 0) << show.err();
    token_ = show.out().substr(0, show.out().find('\n'));
    const QJsonObject status = json(get("/api/v1/status"));
    EXPECT_TRUE(status["receiver"].toObject()["found"].toBool()) << get("/api/v1/status").body;
    EXPECT_EQ(stateOf(status), "idle");
    window.signal(SIGTERM);
    EXPECT_EQ(window.finish(), 0) << window.err();
}

TEST_F(RemoteEndToEnd, ListeningBeyondTheLoopbackIsLoggedAsTheUsersChoice)
{
    const struct {
        const char *listen;
        bool warned;
    } cases[] = {{"127.0.0.1:0", false}, {"0.0.0.0:0", true}, {"*:0", true}};
    for (const auto &c : cases) {
        Program recorder({"--headless", "--virtual-receiver", "--listen", c.listen}, dir_);
        ASSERT_TRUE(recorder.waitForLine("remote control listening on http://")) << recorder.out() << recorder.err();
        recorder.signal(SIGTERM);
        EXPECT_EQ(recorder.finish(), 0) << recorder.err();
        EXPECT_EQ(recorder.out().find("reachable from other machines as --listen asks") != std::string::npos, c.warned)
            << c.listen << "\n"
            << recorder.out();
    }
}

} // namespace
