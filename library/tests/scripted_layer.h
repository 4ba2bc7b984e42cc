// scripted_layer.h: an ASPI layer for tests. It records every request it is
// given, plays receiver answers from a script (INQUIRY data, memory, fixed
// answers per read mode) and completes requests at once, late, never, or
// with an error. Tests reach the one layer object through scriptedLayer().
#pragma once

#include "aspi.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace quelmar::scsi::scripted {

// One request as the layer saw it at SendASPI32Command().
struct Request {
    uint8_t cmd = 0, haId = 0, flags = 0, target = 0, lun = 0;
    uint32_t bufLen = 0;
    uint8_t senseLen = 0, cdbLen = 0;
    std::vector<uint8_t> cdb;     // cdbLen bytes
    std::vector<uint8_t> dataOut; // the data sent, for data-out requests
    bool hasEvent = false;        // SRB_EVENT_NOTIFY with a descriptor
    const void *srb = nullptr;
};

enum class Completion {
    Immediate,
    Late,       // lateMs after the send
    AfterAbort, // once the caller has aborted the request (then dropped)
    Never
};

struct Device {
    uint8_t inquiry[36] = {};
    std::vector<uint8_t> memory;                     // receiver memory, by address
    std::map<uint8_t, std::vector<uint8_t>> answers; // fixed answers of 0x3C reads by mode byte
};

// Tests reach the layer through a pointer from the dlopen'ed module, so its
// operations are virtual: calls go through the object, not the linker.
class Layer {
public:
    static constexpr size_t kMemoryBytes = 16u << 20;
    virtual ~Layer();

    // Script, set by tests (under no concurrent request).
    uint32_t supportInfo = 0x0100 | 1; // status SS_COMP, one adapter
    Completion completion = Completion::Immediate;
    int lateMs = 0;               // delay of Late completions
    std::set<size_t> failExec;    // indices of execute requests that fail (SS_ERR)
    std::set<uint8_t> failRescan; // adapters whose rescan fails

    // Adds a receiver at (adapter, target) with the given vendor (8 bytes),
    // product (16 bytes) and revision (4 bytes) fields.
    virtual Device &addDevice(uint8_t adapter, uint8_t target, const char *vendor, const char *product,
                              const char *revision);
    virtual Device *device(uint8_t adapter, uint8_t target);

    // Forgets devices, recorded requests and the script.
    virtual void reset();

    virtual std::vector<Request> requests(); // execute requests, in order
    virtual std::vector<Request> requestsWithOp(uint8_t op);
    virtual std::vector<const void *> aborts(); // requests named by SC_ABORT_SRB
    virtual std::vector<uint8_t> rescans();     // adapters of rescan requests
    virtual int skippedLateCompletions();       // late completions dropped after an abort
    // Waits until no late completion is outstanding (or its request aborted).
    virtual void drain();

    virtual uint32_t send(void *srb);

private:
    void execute(SRB_ExecSCSICmd *srb, uint8_t &status);
    void complete(SRB_ExecSCSICmd *srb, uint8_t status);

    std::mutex mutex_;
    std::condition_variable idle_;
    std::map<std::pair<uint8_t, uint8_t>, Device> devices_;
    std::vector<Request> requests_;
    std::vector<const void *> aborts_;
    std::vector<uint8_t> rescans_;
    std::set<SRB_ExecSCSICmd *> pending_;
    std::vector<std::thread> workers_;
    int skipped_ = 0;
    int outstanding_ = 0;
};

} // namespace quelmar::scsi::scripted

extern "C" quelmar::scsi::scripted::Layer *scriptedLayer(void);
