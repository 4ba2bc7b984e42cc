// Test support: the remote control on the fake backend, listening on a free
// loopback port, and HTTP clients on real sockets. The clients run on
// threads of their own while the test's thread runs the Qt event loop
// (the server's thread), so a test waits for answers by pumping events.
#pragma once

#include "remote/RemoteControl.h"
#include "remote/testing/FakeRemoteBackend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>

namespace quelmar::remote::testing {

// Generous bound for anything a test waits for.
inline constexpr int kWaitMs = 20'000;

struct HttpReply {
    int status = 0;                             // 0: no answer (closed, timed out)
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string Header(const std::string &name) const;
};

// A raw request: the method, path, token ("" none), body and extra header
// lines ("Name: value\r\n" each); a body goes with Content-Type JSON unless
// the extra lines name one.
std::string RawRequest(const std::string &method, const std::string &path, const std::string &token,
                       const std::string &body = "", const std::string &extraHeaders = "");

// A blocking client socket on 127.0.0.1:`port` with receive and send
// time-outs; used from client threads.
class ClientSocket {
public:
    explicit ClientSocket(uint16_t port);
    ~ClientSocket();
    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string &bytes);
    // Reads one HTTP answer (by Content-Length, else to the end).
    HttpReply ReadReply();
    // Reads until `text` has arrived (true) or the socket ends or times out.
    bool ReadUntil(const std::string &text);
    // Whether the server closed (or reset) the connection.
    bool Closed();
    const std::string &Received() const { return buffer_; }

private:
    bool Fill();
    int fd_ = -1;
    std::string buffer_;
};

// Runs Qt events on this thread until `done` or `timeoutMs` has passed;
// returns `done()`.
bool PumpUntil(const std::function<bool()> &done, int timeoutMs = kWaitMs);

// Runs `client` on its own thread while this thread pumps Qt events; its
// result.
template <typename T>
T WithEvents(std::function<T()> client)
{
    auto future = std::async(std::launch::async, std::move(client));
    PumpUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return future.get();
}

// The server on a fake backend with a recordings folder and a state folder
// of its own.
class RemoteFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // One request on a fresh connection.
    HttpReply Send(const std::string &raw);
    HttpReply Get(const std::string &path) { return Send(RawRequest("GET", path, token_)); }
    HttpReply Post(const std::string &path, const std::string &body = "{}")
    {
        return Send(RawRequest("POST", path, token_, body));
    }

    std::string root_; // temporary folder: state/ and recordings/ below it
    std::string recordings_;
    std::string token_;
    uint16_t port_ = 0;
    std::unique_ptr<FakeRemoteBackend> backend_;
    std::unique_ptr<RemoteServer> server_;
};

} // namespace quelmar::remote::testing
