// Starting the remote control: --listen [ADDR:]PORT read into options, the
// token loaded (or made), the server listening and the start logged.
#pragma once

#include "remote/RemoteBackend.h"
#include "remote/RemoteServer.h"

#include <memory>
#include <optional>
#include <string>

namespace quelmar::remote {

inline constexpr char kLoopbackAddress[] = "127.0.0.1";

struct RemoteOptions {
    std::string address = kLoopbackAddress; // IPv4 or IPv6 address; "*" for every address
    uint16_t port = 0;                      // 0: a free port (tests)
    std::string stateFolder;                // where the token lives; "": StateFolder()
};

// Reads the value of --listen: "PORT", "ADDR:PORT" or "[IPV6]:PORT", with
// "localhost" for 127.0.0.1 and "*" for every address. std::nullopt with
// `error` for anything else. Any thread.
std::optional<RemoteOptions> ParseListenOption(const std::string &text, std::string &error);

// Starts the remote control for `backend` (which must outlive it): loads
// or makes the token, listens, and logs where ("remote control listening
// on http://127.0.0.1:8080/"; beyond the loopback interface with a warning
// that other machines reach it). Returns the server, or nullptr with
// `error` set (no token, address in use, ...). User-interface thread; the
// server handles its requests there.
std::unique_ptr<RemoteServer> StartRemote(const RemoteOptions &options, RemoteBackend &backend, std::string &error);

} // namespace quelmar::remote
