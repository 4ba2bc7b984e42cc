// The JSON API through a real socket against the server on the fake
// backend: what each request does to the recorder and what it answers.
#include "remote/tests/RemoteTestClient.h"

#include "platform/CTime.h"
#include "remote/RemoteJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>
#include <thread>

namespace quelmar::remote::testing {
namespace {

// const: indexing gives values, not references.
const QJsonObject Json(const HttpReply &reply)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(reply.body)).object();
}

std::string Error(const HttpReply &reply) { return Json(reply).value("error").toString().toStdString(); }

// A start far ahead, so that a one-off timer never lies in the past.
std::string Tomorrow(const char *time)
{
    const std::string date = CTime(static_cast<int32_t>(CTime::GetCurrentTime().GetTime() + 86400)).Format("%Y-%m-%d");
    return date + " " + time;
}

using ApiTest = RemoteFixture;

TEST_F(ApiTest, StatusNamesReceiverChannelStateAndTimerMode)
{
    const QJsonObject status = Json(Get("/api/v1/status"));
    EXPECT_EQ(status["receiver"]["found"].toBool(), true);
    EXPECT_EQ(status["receiver"]["id"].toInt(), 3);
    EXPECT_EQ(status["receiver"]["firmware"].toString(), "2.17");
    EXPECT_EQ(status["channel"]["name"].toString(), "Testbild Eins");
    EXPECT_EQ(status["recording"]["state"].toString(), "idle");
    EXPECT_EQ(status["timerMode"].toBool(), false);
    // The start of the server is in the log.
    const QJsonArray lines = Json(Get("/api/v1/log"))["lines"].toArray();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_NE(lines[0]["text"].toString().indexOf("remote control listening on http://127.0.0.1:"), -1);
}

TEST_F(ApiTest, RecordingRequestReachesTheBackendAsTheCommandLineNamesIt)
{
    const HttpReply reply = Post("/api/v1/recording", R"({"channel": "Radio Quelmar", "duration": "0:01:30",
        "file": "news", "video": "m2v", "audio": "es", "mux": "dvd", "split-size": 700, "split-time": "00:30:00",
        "video-delay": -200, "overwrite": true})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(Json(reply)["recording"]["state"].toString(), "starting");
    ASSERT_EQ(backend_->recordingRequests.size(), 1u);
    const RecordingRequest &r = backend_->recordingRequests[0];
    EXPECT_EQ(r.channel, 3);
    EXPECT_EQ(r.durationSeconds, 90u);
    EXPECT_EQ(r.fileBase, recordings_ + "/news");
    EXPECT_EQ(r.video, 2);
    EXPECT_EQ(r.audio, 2);
    EXPECT_EQ(r.mux, 1);
    EXPECT_EQ(r.splitOnSize, true);
    EXPECT_EQ(r.splitSizeMb, 700u);
    EXPECT_EQ(r.splitTimeSeconds, 1800u);
    EXPECT_EQ(r.videoDelayMs, -200);
    EXPECT_TRUE(r.overwrite);
}

TEST_F(ApiTest, CommandsFollowTheRecordingAndRefuseWhatTheWindowRefuses)
{
    EXPECT_EQ(Post("/api/v1/recording/pause").status, 409);
    ASSERT_EQ(Post("/api/v1/recording", R"({"mux": "dvd"})").status, 200);
    EXPECT_EQ(Post("/api/v1/recording", R"({})").status, 409);
    const HttpReply channel = Post("/api/v1/channel", R"({"channel": 2})");
    EXPECT_EQ(channel.status, 409);
    EXPECT_EQ(Error(channel), "a recording runs: the channel cannot be changed now");
    EXPECT_EQ(Post("/api/v1/timer-mode", R"({"on": true})").status, 409);
    backend_->Tick(1000);
    EXPECT_EQ(Json(Post("/api/v1/recording/pause"))["recording"]["state"].toString(), "paused");
    EXPECT_EQ(Json(Post("/api/v1/recording/split"))["recording"]["part"].toInt(), 1);
    const QJsonObject stopping = Json(Send(RawRequest("DELETE", "/api/v1/recording", token_)));
    EXPECT_EQ(stopping["recording"]["state"].toString(), "stopping");
    EXPECT_EQ(backend_->pauses, 1);
    EXPECT_EQ(backend_->splits, 1);
    EXPECT_EQ(backend_->stops, 1);
    backend_->Tick(1000);
    // The page keeps the newer of an answer and an event by this stamp.
    const QJsonObject idle = Json(Get("/api/v1/status"));
    EXPECT_EQ(idle["recording"]["state"].toString(), "idle");
    EXPECT_GT(idle["revision"].toDouble(), stopping["revision"].toDouble());
    EXPECT_EQ(Json(Post("/api/v1/channel", R"({"channel": 2})"))["channel"]["number"].toInt(), 2);
    EXPECT_EQ(Json(Post("/api/v1/timer-mode", R"({"on": true})"))["timerMode"].toBool(), true);
    EXPECT_EQ(Post("/api/v1/recording", "{}").status, 409);
}

TEST_F(ApiTest, TimersAreAddedChangedSwitchedAndDeletedByTheDialogsRules)
{
    const HttpReply added = Post("/api/v1/timers", R"({"channel": 2, "start": ")" + Tomorrow("23:30") +
                                                       R"(", "stop": "00:30", "file": "late", "days": "once"})");
    ASSERT_EQ(added.status, 201) << added.body;
    const QJsonObject timer = Json(added);
    const int id = timer["id"].toInt();
    EXPECT_EQ(timer["channelName"].toString(), "Testbild Zwei AC3");
    EXPECT_EQ(timer["start"].toString().toStdString(), Tomorrow("23:30:00"));
    EXPECT_EQ(timer["file"].toString().toStdString(), recordings_ + "/late");
    EXPECT_TRUE(timer["active"].toBool());
    // The stop earlier in the day lies on the next day.
    EXPECT_EQ(timer["stop"].toString().right(8), "00:30:00");
    EXPECT_EQ(Json(Get("/api/v1/status"))["nextTimer"]["id"].toInt(), id);

    const std::string path = "/api/v1/timers/" + std::to_string(id);
    const HttpReply updated = Send(RawRequest("PUT", path, token_,
                                              R"({"channel": 1, "start": ")" + Tomorrow("20:15") +
                                                  R"(", "stop": "22:00", "file": "film", "days": "mo,fr",
                                                  "shutdown": true})"));
    ASSERT_EQ(updated.status, 200) << updated.body;
    EXPECT_EQ(Json(updated)["days"].toString(), "mo,fr");
    EXPECT_EQ(Json(updated)["shutdown"].toBool(), true);
    EXPECT_EQ(Json(Post(path + "/disable"))["active"].toBool(), false);
    EXPECT_EQ(Json(Get(path))["active"].toBool(), false);
    EXPECT_EQ(Json(Post(path + "/enable"))["active"].toBool(), true);
    EXPECT_EQ(Send(RawRequest("DELETE", path, token_)).status, 204);
    EXPECT_EQ(Get(path).status, 404);
    EXPECT_TRUE(Json(Get("/api/v1/timers"))["timers"].toArray().isEmpty());
}

struct TimerRefusal {
    const char *body; // "%s" stands for tomorrow's date
    const char *error;
};

class TimerRefusalTest : public RemoteFixture, public ::testing::WithParamInterface<TimerRefusal> {};

TEST_P(TimerRefusalTest, IsA400WithTheMessageAndChangesNothing)
{
    std::string body = GetParam().body;
    const std::string tomorrow = Tomorrow("").substr(0, 10);
    if (const size_t at = body.find("%s"); at != std::string::npos)
        body.replace(at, 2, tomorrow);
    const HttpReply reply = Post("/api/v1/timers", body);
    EXPECT_EQ(reply.status, 400) << reply.body;
    EXPECT_NE(Error(reply).find(GetParam().error), std::string::npos) << Error(reply);
    EXPECT_TRUE(backend_->Timers().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimerRefusalTest,
    ::testing::Values(
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "20:00", "file": "x"})",
                     "The stop time equals the start time: the recording would be empty."},
        TimerRefusal{R"({"channel": 1, "start": "2001-01-01 20:00", "stop": "21:00", "file": "x"})",
                     "The recording would be over already"},
        TimerRefusal{R"({"channel": 1, "start": "2040-01-01 20:00", "stop": "21:00", "file": "x"})",
                     "cannot be stored in the timer list"},
        TimerRefusal{R"({"channel": 9, "start": "%s 20:00", "stop": "21:00", "file": "x"})",
                     "the receiver has 4 channels"},
        TimerRefusal{R"({"channel": "Nope", "start": "%s 20:00", "stop": "21:00", "file": "x"})",
                     "no channel named \"Nope\""},
        TimerRefusal{R"({"channel": 1, "start": "%s 25:00", "stop": "21:00", "file": "x"})",
                     "\"start\" must be YYYY-MM-DD HH:MM[:SS]"},
        TimerRefusal{R"({"channel": 1, "start": "2026-02-30 20:00", "stop": "21:00", "file": "x"})",
                     "\"start\" must be YYYY-MM-DD HH:MM[:SS]"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "2001-01-01 21:00", "file": "x"})",
                     "\"stop\" must lie on the start's day"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00", "file": "x", "days": "mo,xx"})",
                     "\"days\" must be"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00", "file": "x\u20ac\u0100"})",
                     "Windows-1252"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00", "file": "../x"})", "\"..\""},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00", "file": "/etc/x"})",
                     "not below the recordings folder"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00"})", "\"file\" is missing"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00", "file": "x", "id": 4})",
                     "\"id\" is given by the recorder"},
        TimerRefusal{R"({"channel": 1, "start": "%s 20:00", "stop": "21:00", "file": "x", "shutdown": "yes"})",
                     "\"shutdown\" must be true or false"}));

struct RangeCase {
    const char *range; // "" none
    int status;
    size_t first;
    size_t length;
};

class DownloadTest : public RemoteFixture, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(DownloadTest, ServesTheRangeAskedFor)
{
    std::string content;
    for (int i = 0; i < 300'000; ++i)
        content += static_cast<char>('a' + i % 26);
    std::ofstream(recordings_ + "/film (0).mpg", std::ios::binary) << content;
    const std::string extra = *GetParam().range ? std::string("Range: ") + GetParam().range + "\r\n" : "";
    const HttpReply reply = Send(RawRequest("GET", "/api/v1/recordings/film/film%20(0).mpg", token_, "", extra));
    ASSERT_EQ(reply.status, GetParam().status);
    if (reply.status == 416) {
        EXPECT_EQ(reply.Header("content-range"), "bytes */300000");
        return;
    }
    EXPECT_EQ(reply.body, content.substr(GetParam().first, GetParam().length));
    if (reply.status == 206) {
        EXPECT_EQ(reply.Header("content-range"), "bytes " + std::to_string(GetParam().first) + "-" +
                                                     std::to_string(GetParam().first + GetParam().length - 1) +
                                                     "/300000");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DownloadTest,
                         ::testing::Values(RangeCase{"", 200, 0, 300'000}, RangeCase{"bytes=0-9", 206, 0, 10},
                                           RangeCase{"bytes=299990-", 206, 299'990, 10},
                                           RangeCase{"bytes=-5", 206, 299'995, 5},
                                           RangeCase{"bytes=100-999999", 206, 100, 299'900},
                                           RangeCase{"bytes=0-1,5-6", 200, 0, 300'000},
                                           RangeCase{"bytes=300000-", 416, 0, 0}));

TEST_F(ApiTest, RecordingsAreListedWithTheirParts)
{
    for (const char *file : {"news (0).mpg", "news (1).mpg", "news.log", "notes.txt"})
        std::ofstream(recordings_ + "/" + file) << "12345";
    const QJsonArray list = Json(Get("/api/v1/recordings"))["recordings"].toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0]["name"].toString(), "news");
    EXPECT_EQ(list[0]["parts"].toInt(), 2);
    EXPECT_EQ(list[0]["bytes"].toInt(), 15);
    EXPECT_EQ(list[0]["files"].toArray().size(), 3);
}

TEST_F(ApiTest, EventsDeliverStateLogAndProgress)
{
    auto client = std::async(std::launch::async, [this] {
        ClientSocket socket(port_);
        socket.Send(RawRequest("GET", "/api/v1/events", token_));
        // The head and the state at once; then what the test makes happen.
        bool ok = socket.ReadUntil("event: state\ndata: {") && socket.ReadUntil("\"text\":\"") &&
                  socket.ReadUntil("hello from the test") && socket.ReadUntil("event: progress");
        return std::make_pair(ok, socket.Received());
    });
    ASSERT_TRUE(PumpUntil([this] { return server_->EventClients() == 1; }));
    backend_->Log("hello from the test");
    ASSERT_EQ(Post("/api/v1/recording", "{}").status, 200);
    ASSERT_TRUE(PumpUntil([&] {
        backend_->Tick(10);
        return client.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    const auto [ok, received] = client.get();
    EXPECT_TRUE(ok) << received;
    EXPECT_NE(received.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(received.find("\"state\":\"starting\""), std::string::npos) << received;
    EXPECT_TRUE(PumpUntil([this] { return server_->EventClients() == 0 && server_->OpenConnections() == 0; }));
}

TEST_F(ApiTest, FiftyClientsPollingStatusWhileRecordingLoseNothing)
{
    constexpr int kClients = 50;
    constexpr int kPolls = 20;
    ASSERT_EQ(Post("/api/v1/recording", "{}").status, 200);
    std::atomic<int> finished{0};
    std::vector<std::future<int>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [this, &finished] {
            // One kept-alive connection each; byte counts never go back.
            ClientSocket socket(port_);
            int good = 0;
            double lastBytes = -1;
            for (int i = 0; i < kPolls; ++i) {
                if (!socket.Send(RawRequest("GET", "/api/v1/status", token_)))
                    break;
                const HttpReply reply = socket.ReadReply();
                const double bytes = Json(reply)["recording"]["bytes"]["video"].toDouble(-1);
                if (reply.status == 200 && bytes >= lastBytes)
                    ++good;
                lastBytes = bytes;
            }
            ++finished;
            return good;
        }));
    }
    ASSERT_TRUE(PumpUntil([&] {
        backend_->Tick(100);
        return finished == kClients;
    }));
    for (auto &client : clients)
        EXPECT_EQ(client.get(), kPolls);
}

} // namespace
} // namespace quelmar::remote::testing
