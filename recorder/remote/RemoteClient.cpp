#include "remote/RemoteClient.h"

#include "platform/SafeFiles.h"
#include "remote/AccessToken.h"

#include <QJsonDocument>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace quelmar::remote {

namespace {

constexpr size_t kMaxNoteBytes = 256;
constexpr char kIpv4Loopback[] = "127.0.0.1";
constexpr char kIpv6Loopback[] = "::1";

std::string NoteText(const std::string &host, uint16_t port) { return host + " " + std::to_string(port) + "\n"; }

std::string NotePath(const std::string &stateFolder) { return stateFolder + "/" + kAddressFileName; }

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

// Waits until `fd` is ready for `events` or `deadline` passes; false then.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd one{fd, events, 0};
        const int ready = poll(&one, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// Whether `answer` holds its head and the Content-Length bytes of its body
// (the server may keep the connection open).
bool AnswerComplete(const std::string &answer)
{
    const size_t headEnd = answer.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return false;
    std::string head = answer.substr(0, headEnd);
    for (char &c : head)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t field = head.find("\r\ncontent-length:");
    if (field == std::string::npos)
        return false;
    const unsigned long long length = std::strtoull(head.c_str() + field + 17, nullptr, 10);
    return answer.size() - (headEnd + 4) >= length;
}

} // namespace

std::string LocalClientHost(const std::string &address)
{
    if (address == "*" || address == "0.0.0.0")
        return kIpv4Loopback;
    if (address == "::")
        return kIpv6Loopback;
    return address;
}

void WriteAddressNote(const std::string &stateFolder, const std::string &host, uint16_t port)
{
    const std::string text = NoteText(host, port);
    FileReplacer file(NotePath(stateFolder));
    file.Open();
    file.Write(text.data(), text.size());
    file.Commit();
}

void RemoveAddressNote(const std::string &stateFolder, const std::string &host, uint16_t port) noexcept
{
    try {
        const auto bytes = ReadRegularFile(NotePath(stateFolder), kMaxNoteBytes);
        if (bytes && std::string(bytes->begin(), bytes->end()) == NoteText(host, port))
            unlink(NotePath(stateFolder).c_str());
    } catch (const SafeFileError &) {
        // Not ours to remove.
    }
}

std::string RemoteReply::Error() const { return body.value("error").toString().toStdString(); }

std::optional<RemoteClient> RemoteClient::Find(const std::string &stateFolder)
{
    if (stateFolder.empty())
        return std::nullopt;
    std::optional<std::vector<uint8_t>> bytes;
    try {
        bytes = ReadRegularFile(NotePath(stateFolder), kMaxNoteBytes);
    } catch (const SafeFileError &error) {
        throw RemoteClientError(std::string("the running recorder's address cannot be read: ") + error.what());
    }
    if (!bytes)
        return std::nullopt;
    std::istringstream note(std::string(bytes->begin(), bytes->end()));
    std::string host;
    unsigned port = 0;
    if (!(note >> host >> port) || port == 0 || port > UINT16_MAX)
        throw RemoteClientError(NotePath(stateFolder) + ": holds no address (\"HOST PORT\")");
    const int fd = Connect(host, static_cast<uint16_t>(port));
    if (fd < 0)
        return std::nullopt;
    close(fd);
    std::string token;
    try {
        token = LoadOrCreateToken(stateFolder);
    } catch (const SafeFileError &error) {
        throw RemoteClientError(std::string("the running recorder's token cannot be read: ") + error.what());
    }
    return RemoteClient(host, static_cast<uint16_t>(port), token);
}

int RemoteClient::Connect(const std::string &host, uint16_t port)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        throw RemoteClientError("the running recorder's address '" + host + "' is no IP address");
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        freeaddrinfo(found);
        throw RemoteClientError(std::string("no socket: ") + std::strerror(errno));
    }
    const int started = connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    int problem = started == 0 ? 0 : errno;
    if (problem == EINPROGRESS) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientConnectTimeoutMs);
        if (!WaitFor(fd, POLLOUT, deadline)) {
            close(fd);
            throw RemoteClientError("the running recorder at " + host + ":" + std::to_string(port) +
                                    " does not accept connections");
        }
        socklen_t length = sizeof problem;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &problem, &length);
    }
    if (problem == ECONNREFUSED) {
        close(fd);
        return -1;
    }
    if (problem != 0) {
        close(fd);
        throw RemoteClientError("the running recorder at " + host + ":" + std::to_string(port) +
                                " cannot be reached: " + std::strerror(problem));
    }
    return fd;
}

RemoteReply RemoteClient::Send(const std::string &method, const std::string &path,
                               const std::optional<QJsonObject> &body) const
{
    const std::string what = "the running recorder at " + Where();
    const int fd = Connect(host_, port_);
    if (fd < 0)
        throw RemoteClientError(what + " has stopped listening");
    const Socket socket(fd);
    // Changing requests always go as JSON (the server refuses anything else).
    const bool changing = method != "GET";
    const QByteArray content = QJsonDocument(body.value_or(QJsonObject())).toJson(QJsonDocument::Compact);
    const bool ipv6 = host_.find(':') != std::string::npos;
    std::string request = method + " /api/v1/" + path + " HTTP/1.1\r\nHost: " + (ipv6 ? "[" + host_ + "]" : host_) +
                          ":" + std::to_string(port_) + "\r\nAuthorization: Bearer " + token_ +
                          "\r\nConnection: close\r\n";
    if (changing)
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(content.size()) + "\r\n";
    request += "\r\n" + (changing ? content.toStdString() : std::string());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientAnswerTimeoutMs);
    for (size_t sent = 0; sent < request.size();) {
        if (!WaitFor(fd, POLLOUT, deadline))
            throw RemoteClientError(what + " did not take the request");
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw RemoteClientError(what + ": " + std::strerror(errno));
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buffer[16384];
    for (;;) {
        if (!WaitFor(fd, POLLIN, deadline))
            throw RemoteClientError(what + " did not answer within " + std::to_string(kClientAnswerTimeoutMs / 1000) +
                                    " s");
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            throw RemoteClientError(what + ": " + std::strerror(errno));
        }
        answer.append(buffer, static_cast<size_t>(n));
        if (answer.size() > kClientMaxAnswerBytes)
            throw RemoteClientError(what + " answered with more than " + std::to_string(kClientMaxAnswerBytes >> 20) +
                                    " MiB");
        if (AnswerComplete(answer))
            break;
    }
    // "HTTP/1.1 200 OK\r\n...\r\n\r\nBODY"
    RemoteReply reply;
    const size_t headEnd = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.", 0) != 0 || headEnd == std::string::npos || answer.size() < 12)
        throw RemoteClientError(what + " gave no HTTP answer");
    reply.status = std::atoi(answer.c_str() + 9);
    const std::string text = answer.substr(headEnd + 4);
    if (!text.empty()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            throw RemoteClientError(what + " answered " + std::to_string(reply.status) + " without JSON");
        reply.body = document.object();
    }
    if (reply.status == 401)
        throw RemoteClientError(what + " refused the token of its state folder");
    return reply;
}

} // namespace quelmar::remote
