// fake_sg.h: an SG_IO stand-in for the layer tests. It records each command,
// can hold commands until the test releases them, and answers through a
// replaceable behaviour.
#pragma once

#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

#include "sg_io.h"

namespace quelmar::sg::testing {

struct RecordedCommand {
    std::string devicePath;
    ScsiAddress address;
    std::vector<uint8_t> cdb;
    Direction direction;
    uint32_t dataLength;
    std::vector<uint8_t> dataOut; // the bytes handed over for a data-out command
    uint8_t senseCapacity;
    uint32_t timeoutMs;
    bool signalsBlocked; // SIGINT and SIGTERM blocked in the calling thread
};

class FakeSg {
public:
    using Behaviour = std::function<SgIoResult(const SgIoRequest &)>;

    // The function to put into SgLayerConfig::sgIo; this object must outlive the layer.
    SgIoFunction function()
    {
        return [this](const SgIoRequest &request) { return run(request); };
    }

    void setBehaviour(Behaviour behaviour)
    {
        std::lock_guard lock(mutex_);
        behaviour_ = std::move(behaviour);
    }
    // While held, commands wait inside the call after being recorded.
    void hold()
    {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release()
    {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    // Waits until count commands have arrived (liveness bound: 30 s).
    bool waitForCalls(size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return calls_.size() >= count; });
    }
    // Waits until count commands are inside the call at the same time.
    bool waitForInFlight(size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return inFlight_ >= count; });
    }
    std::vector<RecordedCommand> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    size_t callCount() const
    {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }

private:
    static bool signalsBlockedHere()
    {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
    }

    SgIoResult run(const SgIoRequest &request)
    {
        Behaviour behaviour;
        {
            std::unique_lock lock(mutex_);
            RecordedCommand recorded{request.devicePath,
                                     request.address,
                                     std::vector<uint8_t>(request.cdb, request.cdb + request.cdbLength),
                                     request.direction,
                                     request.dataLength,
                                     {},
                                     request.senseCapacity,
                                     request.timeoutMs,
                                     signalsBlockedHere()};
            if (request.direction == Direction::Out)
                recorded.dataOut.assign(request.data, request.data + request.dataLength);
            calls_.push_back(std::move(recorded));
            ++inFlight_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !held_; });
            --inFlight_;
            behaviour = behaviour_;
        }
        return behaviour ? behaviour(request) : SgIoResult{};
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Behaviour behaviour_;
    std::vector<RecordedCommand> calls_;
    size_t inFlight_ = 0;
    bool held_ = false;
};

} // namespace quelmar::sg::testing
