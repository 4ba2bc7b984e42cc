#include "scripted_layer.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace quelmar::scsi::scripted {
namespace {

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpWrite = 0x3B;
constexpr uint8_t kOpRead = 0x3C;
constexpr uint8_t kModeSpecial = 0x30;

uint32_t be24(const uint8_t *p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }

void padCopy(uint8_t *out, const char *text, size_t width)
{
    std::memset(out, ' ', width);
    std::memcpy(out, text, std::min(width, std::strlen(text)));
}

void signal(int fd)
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

} // namespace

Device &Layer::addDevice(uint8_t adapter, uint8_t target, const char *vendor, const char *product, const char *revision)
{
    std::lock_guard lock(mutex_);
    Device &d = devices_[{adapter, target}];
    d.inquiry[0] = 0x03; // processor device
    d.inquiry[4] = 31;
    padCopy(d.inquiry + 8, vendor, 8);
    padCopy(d.inquiry + 16, product, 16);
    padCopy(d.inquiry + 32, revision, 4);
    d.memory.assign(kMemoryBytes, 0);
    return d;
}

Device *Layer::device(uint8_t adapter, uint8_t target)
{
    std::lock_guard lock(mutex_);
    auto it = devices_.find({adapter, target});
    return it == devices_.end() ? nullptr : &it->second;
}

Layer::~Layer()
{
    drain();
    for (auto &w : workers_)
        if (w.joinable())
            w.join();
}

void Layer::reset()
{
    drain();
    std::lock_guard lock(mutex_);
    for (auto &w : workers_)
        if (w.joinable())
            w.join();
    workers_.clear();
    devices_.clear();
    requests_.clear();
    aborts_.clear();
    rescans_.clear();
    pending_.clear();
    skipped_ = 0;
    supportInfo = 0x0100 | 1;
    completion = Completion::Immediate;
    lateMs = 0;
    failExec.clear();
    failRescan.clear();
}

std::vector<Request> Layer::requests()
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<Request> Layer::requestsWithOp(uint8_t op)
{
    std::vector<Request> out;
    for (auto &r : requests())
        if (!r.cdb.empty() && r.cdb[0] == op)
            out.push_back(r);
    return out;
}

std::vector<const void *> Layer::aborts()
{
    std::lock_guard lock(mutex_);
    return aborts_;
}

std::vector<uint8_t> Layer::rescans()
{
    std::lock_guard lock(mutex_);
    return rescans_;
}

int Layer::skippedLateCompletions()
{
    std::lock_guard lock(mutex_);
    return skipped_;
}

void Layer::drain()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return outstanding_ == 0; });
}

// Carries out the request against the scripted device; returns the status.
void Layer::execute(SRB_ExecSCSICmd *srb, uint8_t &status)
{
    auto it = devices_.find({srb->SRB_HaId, srb->SRB_Target});
    if (it == devices_.end()) {
        status = SS_NO_DEVICE;
        return;
    }
    Device &d = it->second;
    const uint8_t *cdb = srb->CDBByte;
    const uint8_t mode = cdb[1] | cdb[2];
    uint8_t *buf = srb->SRB_BufPointer;
    const uint32_t len = srb->SRB_BufLen;
    status = SS_COMP;
    if (cdb[0] == kOpInquiry) {
        std::memcpy(buf, d.inquiry, std::min<uint32_t>(len, sizeof d.inquiry));
    } else if (cdb[0] == kOpRead && mode == 0) {
        const uint32_t address = be24(cdb + 3);
        if (address + len > d.memory.size())
            status = SS_ERR;
        else
            std::memcpy(buf, d.memory.data() + address, len);
    } else if (cdb[0] == kOpRead) {
        auto a = d.answers.find(mode);
        if (a == d.answers.end())
            status = SS_ERR;
        else
            std::memcpy(buf, a->second.data(), std::min<size_t>(len, a->second.size()));
    } else if (cdb[0] == kOpWrite && mode != kModeSpecial && mode != 0) {
        const uint32_t address = be24(cdb + 3);
        if (address + len > d.memory.size())
            status = SS_ERR;
        else
            std::memcpy(d.memory.data() + address, buf, len);
    }
}

// The status is the last thing stored in the request: without an event the
// caller may reuse the block as soon as it sees it, so everything needed
// afterwards is read before.
void Layer::complete(SRB_ExecSCSICmd *srb, uint8_t status)
{
    const bool notify = (srb->SRB_Flags & SRB_EVENT_NOTIFY) != 0;
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(srb->SRB_PostProc));
    aspi::storeStatus(srb->SRB_Status, status);
    if (notify)
        signal(fd);
}

uint32_t Layer::send(void *request)
{
    auto *header = static_cast<SRB_Header *>(request);
    std::unique_lock lock(mutex_);
    if (header->SRB_Cmd == SC_RESCAN_SCSI_BUS) {
        rescans_.push_back(header->SRB_HaId);
        header->SRB_Status = failRescan.count(header->SRB_HaId) ? SS_ERR : SS_COMP;
        return header->SRB_Status;
    }
    if (header->SRB_Cmd == SC_ABORT_SRB) {
        auto *abort = static_cast<SRB_Abort *>(request);
        aborts_.push_back(abort->SRB_ToAbort);
        auto *target = static_cast<SRB_ExecSCSICmd *>(abort->SRB_ToAbort);
        if (pending_.erase(target))
            aspi::storeStatus(target->SRB_Status, SS_ABORTED);
        idle_.notify_all(); // a completion waiting for the abort
        abort->SRB_Status = SS_COMP;
        return SS_COMP;
    }
    if (header->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        header->SRB_Status = SS_INVALID_CMD;
        return SS_INVALID_CMD;
    }

    auto *srb = static_cast<SRB_ExecSCSICmd *>(request);
    Request r;
    r.cmd = srb->SRB_Cmd;
    r.haId = srb->SRB_HaId;
    r.flags = srb->SRB_Flags;
    r.target = srb->SRB_Target;
    r.lun = srb->SRB_Lun;
    r.bufLen = srb->SRB_BufLen;
    r.senseLen = srb->SRB_SenseLen;
    r.cdbLen = srb->SRB_CDBLen;
    r.cdb.assign(srb->CDBByte, srb->CDBByte + std::min<size_t>(srb->SRB_CDBLen, ASPI_CDB_BYTES));
    if (srb->SRB_Flags & SRB_DIR_OUT)
        r.dataOut.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
    r.hasEvent = (srb->SRB_Flags & SRB_EVENT_NOTIFY) != 0;
    r.srb = srb;
    const size_t index = requests_.size();
    requests_.push_back(std::move(r));
    aspi::storeStatus(srb->SRB_Status, SS_PENDING);

    const bool fail = failExec.count(index) != 0;
    if (completion == Completion::Immediate) {
        uint8_t status = SS_ERR;
        if (!fail)
            execute(srb, status);
        complete(srb, status);
        return status;
    }
    pending_.insert(srb);
    if (completion == Completion::Late || completion == Completion::AfterAbort) {
        ++outstanding_;
        const int delay = lateMs;
        const bool afterAbort = completion == Completion::AfterAbort;
        workers_.emplace_back([this, srb, fail, delay, afterAbort] {
            pthread_setname_np(pthread_self(), "scripted-late");
            if (!afterAbort)
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            std::unique_lock inner(mutex_);
            // Bounded only against a caller that never aborts (the test fails then).
            constexpr auto kAbortWaitLimit = std::chrono::seconds(60);
            if (afterAbort)
                idle_.wait_for(inner, kAbortWaitLimit, [&] { return pending_.count(srb) == 0; });
            if (pending_.erase(srb)) {
                uint8_t status = SS_ERR;
                if (!fail)
                    execute(srb, status);
                complete(srb, status);
            } else {
                ++skipped_;
            }
            --outstanding_;
            idle_.notify_all();
        });
    }
    return SS_PENDING;
}

Layer theLayer;

} // namespace quelmar::scsi::scripted

extern "C" {

quelmar::scsi::scripted::Layer *scriptedLayer(void) { return &quelmar::scsi::scripted::theLayer; }

__attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void)
{
    return quelmar::scsi::scripted::theLayer.supportInfo;
}

#ifndef SCRIPTED_WITHOUT_SEND
__attribute__((visibility("default"))) uint32_t SendASPI32Command(void *srb)
{
    return quelmar::scsi::scripted::theLayer.send(srb);
}
#endif
}
