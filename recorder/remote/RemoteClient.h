// The command line's way to a running recorder: while its remote control
// listens, a recorder notes the address in its state folder, and a second
// run of the program (the timer options) sends its request there instead
// of changing the store behind the recorder's back. Plain blocking sockets:
// no event loop is needed. Main thread of the second program.
#pragma once

#include <QJsonObject>

#include <optional>
#include <stdexcept>
#include <string>

namespace quelmar::remote {

// The note's file name in the state folder: "HOST PORT" on one line.
inline constexpr char kAddressFileName[] = "remote.address";
inline constexpr int kClientConnectTimeoutMs = 2000; // a recorder on this machine answers at once
inline constexpr int kClientAnswerTimeoutMs = 15'000;
inline constexpr size_t kClientMaxAnswerBytes = 16u << 20; // a timer list of thousands of entries fits

// The host a client on this machine uses for a server listening on
// `address` ("*", "0.0.0.0" and "::" become the loopback address).
std::string LocalClientHost(const std::string &address);

// Writes the note "HOST PORT" to `stateFolder` (replaced whole, never
// through a link). Throws SafeFileError.
void WriteAddressNote(const std::string &stateFolder, const std::string &host, uint16_t port);
// Removes the note of `stateFolder` when it still names `host` and `port`
// (another recorder's note stays). Never throws.
void RemoveAddressNote(const std::string &stateFolder, const std::string &host, uint16_t port) noexcept;

// A request that could not be made or answered: what() says why in words
// for the user ("the running recorder at 127.0.0.1:8080 did not answer").
class RemoteClientError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RemoteReply {
    int status = 0;   // HTTP status
    QJsonObject body; // empty for an answer without JSON
    // The one-line message of an error answer ("error"), else "".
    std::string Error() const;
};

class RemoteClient {
public:
    // The recorder that listens for `stateFolder`: std::nullopt when none
    // does (no note, or nothing accepts at the noted address: a recorder
    // that ended without removing it). Throws RemoteClientError when the
    // note or the token cannot be read.
    static std::optional<RemoteClient> Find(const std::string &stateFolder);

    // Sends one request to /api/v1/`path` and returns the answer; a
    // changing one (any method but GET) carries `body` as JSON, {} when none
    // is given. A 401 answer throws. Throws RemoteClientError.
    RemoteReply Send(const std::string &method, const std::string &path,
                     const std::optional<QJsonObject> &body = std::nullopt) const;

    std::string Where() const { return host_ + ":" + std::to_string(port_); }

private:
    RemoteClient(std::string host, uint16_t port, std::string token)
        : host_(std::move(host)), port_(port), token_(std::move(token))
    {}
    // A connected socket, or -1 when the connection is refused; throws on
    // anything else.
    static int Connect(const std::string &host, uint16_t port);

    std::string host_;
    uint16_t port_ = 0;
    std::string token_;
};

} // namespace quelmar::remote
