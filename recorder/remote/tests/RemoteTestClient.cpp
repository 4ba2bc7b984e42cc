#include "remote/tests/RemoteTestClient.h"

#include "remote/AccessToken.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace quelmar::remote::testing {

namespace {

constexpr int kSocketTimeoutS = 20;

QCoreApplication &Application()
{
    static int argc = 1;
    static char name[] = "recorder_remote_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

std::string HttpReply::Header(const std::string &name) const
{
    const auto it = headers.find(Lower(name));
    return it == headers.end() ? std::string() : it->second;
}

std::string RawRequest(const std::string &method, const std::string &path, const std::string &token,
                       const std::string &body, const std::string &extraHeaders)
{
    std::string raw = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.empty())
        raw += "Authorization: Bearer " + token + "\r\n";
    if (method != "GET" && Lower(extraHeaders).find("content-type:") == std::string::npos)
        raw += "Content-Type: application/json\r\n";
    raw += extraHeaders;
    if (method != "GET")
        raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return raw + "\r\n" + body;
}

ClientSocket::ClientSocket(uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{kSocketTimeoutS, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

ClientSocket::~ClientSocket()
{
    if (fd_ >= 0)
        close(fd_);
}

bool ClientSocket::Send(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ClientSocket::Fill()
{
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
}

bool ClientSocket::ReadUntil(const std::string &text)
{
    while (buffer_.find(text) == std::string::npos)
        if (!Fill())
            return false;
    return true;
}

bool ClientSocket::Closed()
{
    char byte;
    for (;;) {
        const ssize_t n = recv(fd_, &byte, 1, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false; // timed out: still open
        buffer_ += byte;
    }
}

HttpReply ClientSocket::ReadReply()
{
    HttpReply reply;
    if (!ReadUntil("\r\n\r\n"))
        return reply;
    const size_t end = buffer_.find("\r\n\r\n");
    const std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    reply.status = std::atoi(head.substr(9, 3).c_str());
    while (lineEnd != std::string::npos) {
        const size_t next = head.find("\r\n", lineEnd + 2);
        const std::string line =
            head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos)
            reply.headers[Lower(line.substr(0, colon))] = line.substr(line.find_first_not_of(' ', colon + 1));
        lineEnd = next;
    }
    const std::string length = reply.Header("content-length");
    if (length.empty()) {
        while (Fill()) {
        }
        reply.body = std::move(buffer_);
        buffer_.clear();
        return reply;
    }
    const size_t size = std::stoull(length);
    while (buffer_.size() < size)
        if (!Fill())
            break;
    reply.body = buffer_.substr(0, size);
    buffer_.erase(0, std::min(size, buffer_.size()));
    return reply;
}

bool PumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    Application();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RemoteFixture::SetUp()
{
    Application();
    char pattern[] = "/tmp/remote-test-XXXXXX";
    root_ = mkdtemp(pattern);
    recordings_ = root_ + "/recordings";
    std::filesystem::create_directory(recordings_);
    backend_ = std::make_unique<FakeRemoteBackend>(recordings_);
    RemoteOptions options;
    options.stateFolder = root_ + "/state";
    std::string error;
    server_ = StartRemote(options, *backend_, error);
    ASSERT_TRUE(server_) << error;
    port_ = server_->serverPorts().value(0);
    token_ = LoadOrCreateToken(options.stateFolder);
}

void RemoteFixture::TearDown()
{
    server_.reset();
    backend_.reset();
    std::filesystem::remove_all(root_);
}

HttpReply RemoteFixture::Send(const std::string &raw)
{
    const uint16_t target = port_;
    return WithEvents<HttpReply>([target, raw] {
        ClientSocket client(target);
        if (!client.Connected() || !client.Send(raw))
            return HttpReply{};
        return client.ReadReply();
    });
}

} // namespace quelmar::remote::testing
