#include "virtual_bus.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quelmar::aspi_virtual {
namespace {

using namespace std::chrono;
using receiver::CommandResult;
using receiver::Direction;
using receiver::TargetStatus;

constexpr microseconds kCommandOverhead{200}; // selection, command and status phases
constexpr milliseconds kMediaTick{10};        // how often the streams are fed
constexpr uint8_t kHostAdapterScsiId = 7;
constexpr uint8_t kMaxTargetsUniqueByte = 3;     // HA_Unique[3]: targets per adapter
constexpr uint32_t kMaxTransferBytes = 0xFFFFFF; // 24-bit transfer lengths
constexpr size_t kMaxTransferUniqueByte = 4;     // HA_Unique[4..7]: largest transfer
constexpr uint8_t kMaxCdbBytes = ASPI_CDB_BYTES;
constexpr uint64_t kNanosPerSecond = 1'000'000'000;
// Thread names (at most 15 characters), for top -H and sanitizer reports.
constexpr char kCompletionThreadName[] = "vbus-complete";
constexpr char kMediaThreadName[] = "vbus-media";

void copyText(char *dst, size_t n, const std::string &src)
{
    const size_t len = std::min(n - 1, src.size());
    std::memcpy(dst, src.data(), len);
    dst[len] = '\0';
}

} // namespace

VirtualBus::VirtualBus() : working_(false) {}

VirtualBus::VirtualBus(const receiver::Config &config, std::unique_ptr<StateStore> store)
    : working_(true), store_(std::move(store))
{
    adapterCount_ = config.adapterCount();
    busFreeAt_.assign(adapterCount_, Clock::time_point{});
    std::map<ReceiverAddress, receiver::Receiver *> receivers;
    for (const auto &rc : config.receivers) {
        auto s = std::make_unique<Slot>();
        s->receiver = std::make_unique<receiver::Receiver>(rc);
        receivers[{rc.adapter, rc.target}] = s->receiver.get();
        slots_[{rc.adapter, rc.target}] = std::move(s);
    }
    if (store_)
        store_->attach(receivers);
    completer_ = std::thread([this] { completionLoop(); });
    media_ = std::thread([this] { mediaLoop(); });
    pthread_setname_np(completer_.native_handle(), kCompletionThreadName);
    pthread_setname_np(media_.native_handle(), kMediaThreadName);
}

VirtualBus::~VirtualBus()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto &[due, p] : pending_) {
            p.srb->SRB_HaStat = ASPI_HASTAT_SEL_TO;
            finish(p.srb, SS_ERR);
        }
        pending_.clear();
    }
    wake_.notify_all();
    {
        std::lock_guard lock(mediaMutex_);
        mediaStopping_ = true;
    }
    mediaWake_.notify_all();
    if (completer_.joinable())
        completer_.join();
    if (media_.joinable())
        media_.join();
}

uint32_t VirtualBus::supportInfo() const
{
    const uint32_t status = working_ ? SS_COMP : SS_ERR;
    return status << 8 | (working_ ? adapterCount_ : 0);
}

VirtualBus::Slot *VirtualBus::slot(unsigned adapter, unsigned target) const
{
    auto it = slots_.find({adapter, target});
    return it == slots_.end() ? nullptr : it->second.get();
}

void VirtualBus::finish(SRB_ExecSCSICmd *srb, uint8_t status)
{
    // The caller may release the request as soon as it sees the final
    // status, so everything else is read before the status is published.
    const bool notify = srb->SRB_Flags & SRB_EVENT_NOTIFY;
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(srb->SRB_PostProc));
    aspi::storeStatus(srb->SRB_Status, status);
    if (notify) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
}

uint32_t VirtualBus::send(void *request)
{
    if (!request)
        return SS_INVALID_CMD;
    auto *hdr = static_cast<SRB_Header *>(request);
    switch (hdr->SRB_Cmd) {
    case SC_HA_INQUIRY: {
        auto *inq = static_cast<SRB_HAInquiry *>(request);
        if (inq->SRB_HaId >= adapterCount_) {
            aspi::storeStatus(inq->SRB_Status, SS_INVALID_HA);
            return SS_INVALID_HA;
        }
        inq->HA_Count = static_cast<uint8_t>(adapterCount_);
        inq->HA_SCSI_ID = kHostAdapterScsiId;
        std::memset(inq->HA_ManagerId, ' ', sizeof inq->HA_ManagerId);
        std::memcpy(inq->HA_ManagerId, "ASPI for Linux", 14);
        std::memset(inq->HA_Identifier, ' ', sizeof inq->HA_Identifier);
        std::memcpy(inq->HA_Identifier, "Simulated bus", 13);
        std::memset(inq->HA_Unique, 0, sizeof inq->HA_Unique);
        inq->HA_Unique[kMaxTargetsUniqueByte] = receiver::kMaxTargetsPerAdapter;
        std::memcpy(&inq->HA_Unique[kMaxTransferUniqueByte], &kMaxTransferBytes, sizeof kMaxTransferBytes);
        aspi::storeStatus(inq->SRB_Status, SS_COMP);
        return SS_COMP;
    }
    case SC_RESCAN_SCSI_BUS: {
        const uint8_t st = hdr->SRB_HaId < adapterCount_ ? SS_COMP : SS_INVALID_HA;
        aspi::storeStatus(hdr->SRB_Status, st);
        return st;
    }
    case SC_ABORT_SRB: return abort(static_cast<SRB_Abort *>(request));
    case SC_EXEC_SCSI_CMD: return execute(static_cast<SRB_ExecSCSICmd *>(request));
    default: aspi::storeStatus(hdr->SRB_Status, SS_INVALID_CMD); return SS_INVALID_CMD;
    }
}

uint32_t VirtualBus::execute(SRB_ExecSCSICmd *srb)
{
    if (srb->SRB_HaId >= adapterCount_) {
        finish(srb, SS_INVALID_HA);
        return SS_INVALID_HA;
    }
    const uint8_t dirBits = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
    if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > kMaxCdbBytes || dirBits == (SRB_DIR_IN | SRB_DIR_OUT) ||
        (srb->SRB_BufLen > 0 && !srb->SRB_BufPointer)) {
        finish(srb, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
    srb->SRB_HaStat = 0;
    srb->SRB_TargStat = ASPI_TARGET_GOOD;
    aspi::storeStatus(srb->SRB_Status, SS_PENDING);

    Slot *s = srb->SRB_Lun == 0 ? slot(srb->SRB_HaId, srb->SRB_Target) : nullptr;
    bool refuse = false;
    if (s && s->plugged.load()) {
        std::lock_guard lock(mutex_);
        if (refuseCountdown_ > 0 && --refuseCountdown_ == 0)
            refuse = true;
    }

    uint8_t status = SS_COMP;
    uint32_t bytes = 0;
    if (!s || !s->plugged.load()) {
        srb->SRB_HaStat = ASPI_HASTAT_SEL_TO;
        status = SS_ERR;
    } else {
        CommandResult r;
        if (refuse) {
            r = receiver::checkCondition(receiver::kSenseAbortedCommand, 0);
        } else {
            const Direction dir = dirBits == SRB_DIR_IN    ? Direction::In
                                  : dirBits == SRB_DIR_OUT ? Direction::Out
                                                           : Direction::None;
            auto command = [&] {
                return s->receiver->execute(srb->CDBByte, srb->SRB_CDBLen, dir, srb->SRB_BufPointer, srb->SRB_BufLen);
            };
            r = store_ ? store_->run(command) : command();
        }
        bytes = r.bytesTransferred;
        if (r.dataOverrun) {
            srb->SRB_HaStat = ASPI_HASTAT_DO_DU;
            status = SS_ERR;
        } else if (r.status != TargetStatus::Good) {
            srb->SRB_TargStat = static_cast<uint8_t>(r.status);
            if (r.status == TargetStatus::CheckCondition)
                std::memcpy(srb->SenseArea, r.sense.data(),
                            std::min<size_t>({srb->SRB_SenseLen, sizeof srb->SenseArea, r.sense.size()}));
            status = SS_ERR;
        }
    }

    // Completion time: the bus carries one transfer at a time at the
    // receiver's rate.
    const uint64_t rate = s ? s->receiver->config().transferRateBytesPerSecond : 0;
    std::unique_lock lock(mutex_);
    const auto now = Clock::now();
    Clock::time_point due = now;
    if (rate > 0) {
        auto &busFree = busFreeAt_[srb->SRB_HaId];
        due = std::max(now, busFree) + kCommandOverhead + nanoseconds(bytes * kNanosPerSecond / rate);
        busFree = due;
    }
    if (due <= now && hangUntil_ <= now) {
        lock.unlock();
        finish(srb, status);
        return status;
    }
    const bool earliest = pending_.empty() || due < pending_.begin()->first;
    pending_.emplace(due, Pending{srb, status});
    lock.unlock();
    if (earliest)
        wake_.notify_all();
    return SS_PENDING;
}

uint32_t VirtualBus::abort(SRB_Abort *srb)
{
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->second.srb == srb->SRB_ToAbort) {
            // From here on the aborted request is the caller's again.
            aspi::storeStatus(it->second.srb->SRB_Status, SS_ABORTED);
            pending_.erase(it);
            break;
        }
    }
    aspi::storeStatus(srb->SRB_Status, SS_COMP);
    return SS_COMP;
}

void VirtualBus::completionLoop()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto when = std::max(pending_.begin()->first, hangUntil_);
        if (Clock::now() < when) {
            wake_.wait_until(lock, when);
            continue;
        }
        // Completed under the lock, so an abort either finds the request
        // still pending or not at all.
        auto it = pending_.begin();
        finish(it->second.srb, it->second.status);
        pending_.erase(it);
    }
}

void VirtualBus::mediaLoop()
{
    std::unique_lock lock(mediaMutex_);
    auto next = Clock::now();
    while (!mediaStopping_) {
        lock.unlock();
        const auto now = Clock::now();
        for (auto &[addr, s] : slots_)
            s->receiver->pump(now);
        lock.lock();
        next += kMediaTick;
        if (next < Clock::now())
            next = Clock::now() + kMediaTick;
        mediaWake_.wait_until(lock, next, [this] { return mediaStopping_; });
    }
}

bool VirtualBus::setPlugged(unsigned adapter, unsigned target, bool plugged)
{
    Slot *s = slot(adapter, target);
    if (!s)
        return false;
    s->plugged.store(plugged);
    return true;
}

void VirtualBus::hang(std::chrono::milliseconds duration)
{
    {
        std::lock_guard lock(mutex_);
        hangUntil_ = Clock::now() + duration;
    }
    wake_.notify_all();
}

void VirtualBus::refuseCommand(uint32_t n)
{
    std::lock_guard lock(mutex_);
    refuseCountdown_ = n;
}

bool VirtualBus::stall(unsigned adapter, unsigned target, int kind, bool stalled)
{
    Slot *s = slot(adapter, target);
    if (!s || kind < ASPI_VIRTUAL_STREAM_AUDIO || kind > ASPI_VIRTUAL_STREAM_TIMESTAMPS)
        return false;
    s->receiver->setStalled(static_cast<receiver::StallKind>(kind), stalled);
    return true;
}

bool VirtualBus::state(unsigned adapter, unsigned target, AspiVirtualState *out) const
{
    Slot *s = slot(adapter, target);
    if (!s || !out)
        return false;
    const receiver::ReceiverState st = s->receiver->state();
    *out = AspiVirtualState{};
    out->plugged = s->plugged.load() ? 1 : 0;
    out->powered = st.powered;
    out->remoteLocked = st.remoteLocked;
    out->streaming = st.streaming;
    out->tunedChannel = st.tunedChannel;
    out->channelCount = st.channelCount;
    out->scsiModeWord = st.scsiModeWord;
    out->videoSetting[0] = st.videoSetting[0];
    out->videoSetting[1] = st.videoSetting[1];
    copyText(out->frontPanel, sizeof out->frontPanel, st.frontPanel);
    copyText(out->osd, sizeof out->osd, st.osd);
    copyText(out->sourceProblem, sizeof out->sourceProblem, st.sourceProblem);
    out->droppedAudioBytes = st.droppedAudioBytes;
    out->droppedVideoBytes = st.droppedVideoBytes;
    out->droppedTimestampRecords = st.droppedTimestampRecords;
    return true;
}

std::string VirtualBus::dropReport() const
{
    std::string report;
    for (const auto &[address, s] : slots_) {
        const receiver::ReceiverState st = s->receiver->state();
        report += "receiver " + std::to_string(address.first) + ":" + std::to_string(address.second) + " dropped " +
                  std::to_string(st.droppedVideoBytes) + " video bytes, " + std::to_string(st.droppedAudioBytes) +
                  " audio bytes, " + std::to_string(st.droppedTimestampRecords) + " timestamp records\n";
    }
    return report;
}

} // namespace quelmar::aspi_virtual
