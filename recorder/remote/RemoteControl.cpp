#include "remote/RemoteControl.h"

#include "platform/SafeFiles.h"
#include "remote/AccessToken.h"
#include "remote/RemoteClient.h"
#include "timers/TimerStore.h"

#include <charconv>

namespace quelmar::remote {

namespace {

constexpr char kEveryAddress[] = "*";
constexpr uint32_t kMaxPort = 65535;

std::optional<uint16_t> Port(const std::string &text)
{
    uint32_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || port > kMaxPort)
        return std::nullopt;
    return static_cast<uint16_t>(port);
}

QHostAddress HostAddress(const std::string &address)
{
    if (address == kEveryAddress)
        return QHostAddress::Any;
    return QHostAddress(QString::fromStdString(address));
}

// http://ADDR:PORT/ as a browser takes it.
std::string Url(const QHostAddress &address, quint16 port)
{
    std::string host = address == QHostAddress::Any ? "0.0.0.0" : address.toString().toStdString();
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(port) + "/";
}

} // namespace

std::optional<RemoteOptions> ParseListenOption(const std::string &text, std::string &error)
{
    RemoteOptions options;
    std::string address = kLoopbackAddress;
    std::string port = text;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "must be [ADDR:]PORT (an IPv6 address in brackets: [::1]:8080)";
            return std::nullopt;
        }
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (address == "localhost")
        address = kLoopbackAddress;
    const auto number = Port(port);
    if (!number) {
        error = "must be [ADDR:]PORT with a port from 0 to 65535";
        return std::nullopt;
    }
    if (address != kEveryAddress && HostAddress(address).isNull()) {
        error = "'" + address + "' is no IP address (use 127.0.0.1, 0.0.0.0, ::1, * or the machine's address)";
        return std::nullopt;
    }
    options.address = address;
    options.port = *number;
    return options;
}

std::unique_ptr<RemoteServer> StartRemote(const RemoteOptions &options, RemoteBackend &backend, std::string &error)
{
    const std::string stateFolder = options.stateFolder.empty() ? StateFolder() : options.stateFolder;
    std::string token;
    try {
        token = LoadOrCreateToken(stateFolder);
    } catch (const SafeFileError &problem) {
        error = std::string("remote control not started: ") + problem.what();
        return nullptr;
    }
    auto server = std::make_unique<RemoteServer>(backend, std::move(token));
    const QHostAddress address = HostAddress(options.address);
    const quint16 port = server->Listen(address, options.port, error);
    if (port == 0) {
        error = "remote control not started: " + error;
        return nullptr;
    }
    std::string line = "remote control listening on " + Url(address, port);
    if (!address.isLoopback())
        line += ", reachable from other machines as --listen asks: whoever has the token controls the recorder "
                "(HTTP without TLS; use a reverse proxy for TLS)";
    backend.Log(line);
    try {
        server->NoteAddress(stateFolder, LocalClientHost(options.address), port);
    } catch (const SafeFileError &problem) {
        // The command line then edits the timer store itself, under its lock.
        backend.Log(std::string("the remote control's address is not noted for the command line: ") + problem.what());
    }
    return server;
}

} // namespace quelmar::remote
