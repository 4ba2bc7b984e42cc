// virtual_bus.h: the simulated SCSI buses behind libaspi-virtual.so. Holds
// the configured receivers, turns ASPI requests into receiver commands and
// completes them from its own thread after the time their data takes at the
// receiver's transfer rate; a second thread feeds the receivers' streams in
// real time.
#pragma once

#include "aspi.h"
#include "aspi_virtual.h"
#include "receiver/config.h"
#include "receiver/receiver.h"
#include "state_store.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quelmar::aspi_virtual {

class VirtualBus {
public:
    using Clock = std::chrono::steady_clock;

    // Builds the receivers of `config`, brings them to the state `store`
    // keeps (none: they start from the configuration every time) and starts
    // both threads.
    explicit VirtualBus(const receiver::Config &config, std::unique_ptr<StateStore> store = nullptr);
    // A bus without receivers whose support call reports failure (a
    // configuration that could not be read).
    VirtualBus();
    // Completes every pending request with SS_ERR, then stops the threads.
    ~VirtualBus();
    VirtualBus(const VirtualBus &) = delete;
    VirtualBus &operator=(const VirtualBus &) = delete;

    // GetASPI32SupportInfo(): status in bits 8..15, adapter count in 0..7.
    uint32_t supportInfo() const;
    // SendASPI32Command(): any thread; returns the status at return time.
    uint32_t send(void *srb);

    bool setPlugged(unsigned adapter, unsigned target, bool plugged);
    void hang(std::chrono::milliseconds duration);
    void refuseCommand(uint32_t n);
    bool stall(unsigned adapter, unsigned target, int kind, bool stalled);
    bool state(unsigned adapter, unsigned target, AspiVirtualState *out) const;
    // What every receiver dropped since the bus was made, one line each in
    // address order: "receiver 0:3 dropped 0 video bytes, 0 audio bytes,
    // 0 timestamp records\n". Any thread.
    std::string dropReport() const;

private:
    struct Slot {
        std::unique_ptr<receiver::Receiver> receiver;
        std::atomic<bool> plugged{true};
    };
    struct Pending {
        SRB_ExecSCSICmd *srb;
        uint8_t status;
    };

    uint32_t execute(SRB_ExecSCSICmd *srb);
    uint32_t abort(SRB_Abort *srb);
    Slot *slot(unsigned adapter, unsigned target) const;
    static void finish(SRB_ExecSCSICmd *srb, uint8_t status);
    void completionLoop();
    void mediaLoop();

    const bool working_;
    unsigned adapterCount_ = 0;
    std::map<std::pair<unsigned, unsigned>, std::unique_ptr<Slot>> slots_;
    const std::unique_ptr<StateStore> store_; // after slots_: goes before the receivers it holds

    std::mutex mutex_; // guards everything below
    std::condition_variable wake_;
    std::multimap<Clock::time_point, Pending> pending_;
    std::vector<Clock::time_point> busFreeAt_; // per adapter: the bus carries one transfer at a time
    Clock::time_point hangUntil_{};
    uint32_t refuseCountdown_ = 0;
    bool stopping_ = false;

    std::mutex mediaMutex_;
    std::condition_variable mediaWake_;
    bool mediaStopping_ = false;
    std::thread completer_, media_;
};

} // namespace quelmar::aspi_virtual
