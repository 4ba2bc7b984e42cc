// The web page on the fake backend: a recorder whose recordings move by
// themselves (five ticks a second), for the browser tests and for looking
// at the page. Prints "port N" on standard output once it listens.
//
//   remote_demo_server --state-dir DIR [--recordings-dir DIR] [--listen [ADDR:]PORT]
#include "remote/RemoteControl.h"
#include "remote/testing/FakeRemoteBackend.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kTickMs = 200;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::string stateFolder;
    std::string recordingsFolder;
    std::string listen = "0";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--state-dir") == 0)
            stateFolder = argv[i + 1];
        else if (std::strcmp(argv[i], "--recordings-dir") == 0)
            recordingsFolder = argv[i + 1];
        else if (std::strcmp(argv[i], "--listen") == 0)
            listen = argv[i + 1];
    }
    if (stateFolder.empty()) {
        std::fprintf(stderr, "usage: remote_demo_server --state-dir DIR [--recordings-dir DIR] [--listen PORT]\n");
        return 2;
    }
    std::string error;
    auto options = quelmar::remote::ParseListenOption(listen, error);
    if (!options) {
        std::fprintf(stderr, "--listen: %s\n", error.c_str());
        return 2;
    }
    options->stateFolder = stateFolder;
    quelmar::remote::FakeRemoteBackend backend(recordingsFolder);
    auto server = quelmar::remote::StartRemote(*options, backend, error);
    if (!server) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("port %u\n", server->serverPorts().value(0));
    std::fflush(stdout);
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&backend] { backend.Tick(kTickMs); });
    ticks.start(kTickMs);
    return app.exec();
}
