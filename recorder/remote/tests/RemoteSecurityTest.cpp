// Every refusal of the remote control's security rules, through a real
// socket: the answer, and that nothing happened to the recorder.
#include "remote/tests/RemoteTestClient.h"

#include "platform/SafeFiles.h"
#include "remote/AccessToken.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quelmar::remote::testing {
namespace {

struct Refusal {
    const char *what;
    std::function<std::string(const std::string &token)> request;
    int status;
    const char *error; // part of the one-line message
};

std::string StartWith(const std::string &token, const std::string &body, const std::string &extra = "")
{
    return RawRequest("POST", "/api/v1/recording", token, body, extra);
}

class RefusalTest : public RemoteFixture, public ::testing::WithParamInterface<Refusal> {
protected:
    void SetUp() override
    {
        RemoteFixture::SetUp();
        // What the file checks meet below the recordings folder.
        std::filesystem::create_directory_symlink("/etc", recordings_ + "/etc-link");
        std::filesystem::create_directory(recordings_ + "/sub");
        mkfifo((recordings_ + "/fifo (0).mpg").c_str(), 0600);
        std::filesystem::create_symlink("/etc/passwd", recordings_ + "/passwd (0).mpg");
        std::ofstream(root_ + "/outside (0).mpg") << "secret";
    }
};

TEST_P(RefusalTest, IsRefusedWithAOneLineJsonMessageAndNothingHappens)
{
    const HttpReply reply = Send(GetParam().request(token_));
    EXPECT_EQ(reply.status, GetParam().status) << reply.body;
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body)).object();
    EXPECT_NE(body.value("error").toString().toStdString().find(GetParam().error), std::string::npos) << reply.body;
    EXPECT_EQ(reply.body.find('\n'), reply.body.size() - 1) << "one line";
    EXPECT_TRUE(backend_->recordingRequests.empty());
    EXPECT_EQ(backend_->Status().state, RecordingState::Idle);
    EXPECT_TRUE(backend_->Timers().empty());
}

const std::string kBig(70 * 1024, ' ');

INSTANTIATE_TEST_SUITE_P(
    Table, RefusalTest,
    ::testing::Values(
        Refusal{"no token", [](const std::string &) { return StartWith("", "{}"); }, 401, "a valid token is needed"},
        Refusal{"wrong token", [](const std::string &t) { return StartWith(std::string(t.size(), 'a'), "{}"); }, 401,
                "a valid token is needed"},
        Refusal{"token cut short", [](const std::string &t) { return StartWith(t.substr(0, 10), "{}"); }, 401,
                "a valid token"},
        Refusal{"basic authentication",
                [](const std::string &t) {
                    return RawRequest("POST", "/api/v1/recording", "", "{}", "Authorization: Basic " + t + "\r\n");
                },
                401, "a valid token"},
        Refusal{"wrong cookie",
                [](const std::string &) {
                    return RawRequest("POST", "/api/v1/recording", "", "{}", "Cookie: quelmar_token=abc\r\n");
                },
                401, "a valid token"},
        Refusal{"GET without token", [](const std::string &) { return RawRequest("GET", "/api/v1/status", ""); }, 401,
                "a valid token"},
        Refusal{"form post",
                [](const std::string &t) {
                    return StartWith(t, "mux=dvd", "Content-Type: application/x-www-form-urlencoded\r\n");
                },
                415, "Content-Type: application/json"},
        Refusal{"text post",
                [](const std::string &t) { return StartWith(t, "{}", "Content-Type: text/plain\r\n"); }, 415,
                "application/json"},
        Refusal{"another origin",
                [](const std::string &t) { return StartWith(t, "{}", "Origin: http://evil.example\r\n"); }, 403,
                "another origin"},
        Refusal{"another origin over TLS",
                [](const std::string &t) { return StartWith(t, "{}", "Origin: https://evil.example\r\n"); }, 403,
                "another origin"},
        Refusal{"null origin", [](const std::string &t) { return StartWith(t, "{}", "Origin: null\r\n"); }, 403,
                "another origin"},
        Refusal{"body over 64 KiB", [](const std::string &t) { return StartWith(t, "{" + kBig + "}"); }, 413,
                "larger than 64 KiB"},
        Refusal{"malformed JSON", [](const std::string &t) { return StartWith(t, "{\"mux\": "); }, 400,
                "no valid JSON"},
        Refusal{"array", [](const std::string &t) { return StartWith(t, "[1]"); }, 400, "a JSON object"},
        Refusal{"unknown field", [](const std::string &t) { return StartWith(t, R"({"muxx": "dvd"})"); }, 400,
                "unknown field \"muxx\""},
        Refusal{"wrong type", [](const std::string &t) { return StartWith(t, R"({"video": 2})"); }, 400,
                "\"video\" must be none|raw|m2v"},
        Refusal{"video delay out of range",
                [](const std::string &t) { return StartWith(t, R"({"video-delay": 2000})"); }, 400,
                "from -1000 to 1000"},
        Refusal{"split size below 5", [](const std::string &t) { return StartWith(t, R"({"split-size": 4})"); }, 400,
                "from 5"},
        Refusal{"fractional channel", [](const std::string &t) { return StartWith(t, R"({"channel": 1.5})"); }, 400,
                "channel number"},
        Refusal{"duration and stop",
                [](const std::string &t) { return StartWith(t, R"({"duration": 5, "stop": "23:00"})"); }, 400,
                "not both"},
        Refusal{"file with ..", [](const std::string &t) { return StartWith(t, R"({"file": "sub/../../x"})"); }, 400,
                "\"..\""},
        Refusal{"file outside", [](const std::string &t) { return StartWith(t, R"({"file": "/tmp/x"})"); }, 400,
                "not below the recordings folder"},
        Refusal{"file through a link",
                [](const std::string &t) { return StartWith(t, R"({"file": "etc-link/x"})"); }, 400,
                "is a link or no folder"},
        Refusal{"file is a folder", [](const std::string &t) { return StartWith(t, R"({"file": "sub"})"); }, 400,
                "a link, a folder or a device"},
        Refusal{"download through ..",
                [](const std::string &t) {
                    return RawRequest("GET", "/api/v1/recordings/..%2Foutside/..%2Foutside%20(0).mpg", t);
                },
                403, "is no file of recording"},
        Refusal{"download of a link",
                [](const std::string &t) { return RawRequest("GET", "/api/v1/recordings/passwd/passwd%20(0).mpg", t); },
                403, "is a link"},
        Refusal{"download of a FIFO",
                [](const std::string &t) { return RawRequest("GET", "/api/v1/recordings/fifo/fifo%20(0).mpg", t); },
                403, "no regular file"},
        Refusal{"download of another name",
                [](const std::string &t) { return RawRequest("GET", "/api/v1/recordings/fifo/passwd%20(0).mpg", t); },
                403, "is no file of recording"},
        Refusal{"timer through a link",
                [](const std::string &t) {
                    return RawRequest("POST", "/api/v1/timers", t,
                                      R"({"channel": 1, "start": "2030-01-01 20:00", "stop": "21:00", "file": "etc-link/x"})");
                },
                400, "is a link or no folder"},
        Refusal{"unknown method",
                [](const std::string &t) { return RawRequest("PATCH", "/api/v1/recording", t, "{}"); }, 405,
                "not allowed"},
        Refusal{"unknown path", [](const std::string &t) { return RawRequest("GET", "/api/v1/secret", t); }, 404,
                "no such resource"}),
    [](const auto &info) {
        std::string name = info.param.what;
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

using SecurityTest = RemoteFixture;

TEST_F(SecurityTest, ThePageItselfMayChangeThingsAlsoThroughATlsProxy)
{
    for (const char *origin : {"http://127.0.0.1", "https://127.0.0.1"}) {
        const HttpReply reply = Send(RawRequest("POST", "/api/v1/timer-mode", token_, R"({"on": true})",
                                                std::string("Origin: ") + origin + "\r\n"));
        EXPECT_EQ(reply.status, 200) << origin << ": " << reply.body;
    }
}

TEST_F(SecurityTest, LoginSetsAStrictHttpOnlyCookieThatAuthorises)
{
    const HttpReply wrong = Send(RawRequest("POST", "/api/v1/login", "", R"({"token": "nope"})"));
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.Header("set-cookie"), "");
    const HttpReply right = Send(
        RawRequest("POST", "/api/v1/login", "", R"({"token": ")" + token_ + "\"}", "Origin: http://127.0.0.1\r\n"));
    ASSERT_EQ(right.status, 200) << right.body;
    const std::string cookie = right.Header("set-cookie");
    EXPECT_EQ(cookie.find("quelmar_token=" + token_ + ";"), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    const HttpReply status =
        Send(RawRequest("GET", "/api/v1/status", "", "", "Cookie: other=1; quelmar_token=" + token_ + "\r\n"));
    EXPECT_EQ(status.status, 200);
    // The page itself needs no token (it asks for one).
    const HttpReply page = Send(RawRequest("GET", "/", ""));
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.Header("content-security-policy").find("default-src 'none'"), std::string::npos);
}

TEST_F(SecurityTest, SlowRequestIsAnsweredWith408AndClosed)
{
    server_->SetLimits({500, 60'000});
    const auto [status, closed] = WithEvents<std::pair<int, bool>>([this] {
        ClientSocket socket(port_);
        socket.Send("GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"); // never ends
        const HttpReply reply = socket.ReadReply();
        return std::make_pair(reply.status, socket.Closed());
    });
    EXPECT_EQ(status, 408);
    EXPECT_TRUE(closed);
}

TEST_F(SecurityTest, EndlessBodyIsCutOffWith413)
{
    const auto status = WithEvents<int>([this] {
        ClientSocket socket(port_);
        socket.Send("POST /api/v1/timers HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                    "Transfer-Encoding: chunked\r\nAuthorization: Bearer " +
                    token_ + "\r\n\r\n");
        const std::string chunk = "4000\r\n" + std::string(0x4000, ' ') + "\r\n";
        for (int i = 0; i < 64 && socket.Send(chunk); ++i) {
        }
        return socket.ReadReply().status;
    });
    EXPECT_EQ(status, 413);
    EXPECT_TRUE(backend_->Timers().empty());
}

TEST_F(SecurityTest, GarbageIsAnsweredWith400AndLeavesNoConnection)
{
    const HttpReply reply = Send("\x16\x03\x01 this is no HTTP at all\r\n\r\n");
    EXPECT_EQ(reply.status, 400) << reply.body;
    EXPECT_TRUE(PumpUntil([this] { return server_->OpenConnections() == 0; }));
    EXPECT_EQ(Get("/api/v1/status").status, 200);
}

TEST_F(SecurityTest, ConnectionsOverTheCapAreRefusedWith429)
{
    // Connected while the server accepts (the listen queue is short).
    std::vector<std::unique_ptr<ClientSocket>> open = WithEvents<std::vector<std::unique_ptr<ClientSocket>>>([this] {
        std::vector<std::unique_ptr<ClientSocket>> sockets;
        for (int i = 0; i < kMaxConnections; ++i)
            sockets.push_back(std::make_unique<ClientSocket>(port_));
        return sockets;
    });
    ASSERT_TRUE(PumpUntil([this] { return server_->OpenConnections() == kMaxConnections; }));
    const HttpReply refused = Get("/api/v1/status");
    EXPECT_EQ(refused.status, 429) << refused.body;
    open.clear();
    ASSERT_TRUE(PumpUntil([this] { return server_->OpenConnections() == 0; }));
    EXPECT_EQ(Get("/api/v1/status").status, 200);
}

TEST(AccessTokenTest, IsMadeOnceOwnerOnlyAndNeverTakenFromAnUnsafeFile)
{
    char pattern[] = "/tmp/remote-token-XXXXXX";
    const std::string folder = std::string(mkdtemp(pattern)) + "/state";
    const std::string path = folder + "/" + kTokenFileName;
    const std::string token = LoadOrCreateToken(folder);
    EXPECT_EQ(token.size(), 2 * kTokenBytes);
    EXPECT_EQ(LoadOrCreateToken(folder), token);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(LoadOrCreateToken(folder + "2"), token);

    chmod(path.c_str(), 0644);
    EXPECT_THROW(LoadOrCreateToken(folder), SafeFileError);
    std::ofstream(path) << "not a token";
    chmod(path.c_str(), 0600);
    EXPECT_THROW(LoadOrCreateToken(folder), SafeFileError);
    std::ifstream kept(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "not a token") << "never replaced";
    unlink(path.c_str());
    symlink((folder + "2/" + kTokenFileName).c_str(), path.c_str());
    EXPECT_THROW(LoadOrCreateToken(folder), SafeFileError);
    std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
}

TEST(AccessTokenTest, MatchesOnlyTheWholeToken)
{
    EXPECT_TRUE(TokenMatches("abcdef", "abcdef"));
    for (const char *given : {"", "abcde", "abcdefg", "abcdeF", "bbcdef", "abcdef\n"})
        EXPECT_FALSE(TokenMatches("abcdef", given)) << given;
}

TEST(ListenOptionTest, ReadsPortAndAddress)
{
    struct Case {
        const char *text;
        const char *address; // nullptr: refused
        int port;
    };
    for (const Case &c : {Case{"8080", "127.0.0.1", 8080}, Case{"0.0.0.0:80", "0.0.0.0", 80},
                          Case{"localhost:1", "127.0.0.1", 1}, Case{"[::1]:8080", "::1", 8080},
                          Case{"*:9000", "*", 9000}, Case{"65536", nullptr, 0}, Case{"host.example:80", nullptr, 0},
                          Case{"8080x", nullptr, 0}, Case{"[::1]8080", nullptr, 0}, Case{"", nullptr, 0}}) {
        std::string error;
        const auto options = ParseListenOption(c.text, error);
        ASSERT_EQ(options.has_value(), c.address != nullptr) << c.text;
        if (options) {
            EXPECT_EQ(options->address, c.address) << c.text;
            EXPECT_EQ(options->port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

} // namespace
} // namespace quelmar::remote::testing
