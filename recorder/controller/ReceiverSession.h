// ReceiverSession: the recorder's contact with one receiver. It owns the
// library binding, brings the receiver up with its start-up checks, keeps
// the receiver's channel table, watches that the receiver still answers and
// carries the receiver's menu commands (SCSI mode, remote control, speed
// test, bus rescan, front-panel text, switch-off). It is also the receiver
// the timer scheduler tunes and switches off. It knows no window: what
// happens goes to a ReceiverListener, and the caller decides what the
// window shows. Everything here runs on the user-interface thread.
#pragma once

#include "platform/Process.h"
#include "quelmarscsi.h"
#include "services/TimerScheduler.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

class ReceiverLibrary;
class RemuxerBinding;

// A channel record's name field as UTF-8, as the channel list shows it. Any
// thread.
std::string ChannelName(const DvbChannel &channel);

// Caption of the speed test's message box.
inline constexpr char kSpeedTestCaption[] = "SCSI - Speed Test";

// What a ReceiverSession reports, on the user-interface thread, from inside
// the session's call that caused it. A handler may call the session again
// (ReceiverLost may bring the receiver up anew).
class ReceiverListener {
public:
    virtual ~ReceiverListener() = default;
    // A line for the event log.
    virtual void ReceiverLog(const std::string &line) = 0;
    // Bring-up found a receiver and logged where; the slow channel table
    // read comes next.
    virtual void ReceiverFound() = 0;
    // The channel table was read anew (empty when it was dropped):
    // `names` as the channel list shows them, `tunedIndex` the table index
    // of the tuned channel (0 when the table lacks it).
    virtual void ChannelListLoaded(const std::vector<std::string> &names, int tunedIndex) = 0;
    // The watchdog found the receiver gone or silent (after the log line).
    virtual void ReceiverLost() = 0;
    // The watchdog read the tuned channel: its table index (0 when the
    // table lacks it).
    virtual void TunedChannelRead(int index) = 0;
    // The channel a timer had tuned, read back: its table index (0 when
    // the table lacks it), for the channel list to show.
    virtual void TunedChannelShown(int index) = 0;
};

// What the multiplexer found at bring-up: true when it is usable. Logs its
// version, or why the recorder records raw streams only.
bool ReportMultiplexer(const RemuxerBinding &remuxer, const std::function<void(const std::string &)> &log);

class ReceiverSession final : public TimerReceiver {
public:
    using MakeReceiver = std::function<std::unique_ptr<ReceiverLibrary>()>;

    // How a bus rescan began.
    enum class Rescan {
        Done,          // the library rescanned the bus (or could not): bring the receiver up now
        HelperStarted, // the helper runs: HelperEnded() says when to bring it up
        HelperFailed,  // the helper could not be started; logged, nothing else changed
    };

    // `makeReceiver` makes a binding at each bring-up; `helperPath` is the
    // bus rescan helper. `listener` must outlive the session. No receiver
    // is touched before BringUp().
    ReceiverSession(ReceiverListener &listener, MakeReceiver makeReceiver, std::string helperPath);
    ~ReceiverSession();
    ReceiverSession(const ReceiverSession &) = delete;
    ReceiverSession &operator=(const ReceiverSession &) = delete;

    // ---- bring-up ------------------------------------------------------------
    // Drops the binding and the channel table, binds anew and reports what
    // it found; a found receiver gets `scsiMode`, its table is read and the
    // tuned channel looked up. True when a receiver was found. Only while no
    // recording uses the binding.
    bool BringUp(uint32_t scsiMode);
    // The binding for the recording engine; null before the first bring-up.
    // Valid until the next BringUp() or the session's end.
    ReceiverLibrary *Binding() const { return receiver_.get(); }
    // A receiver was found and may be called.
    bool Present() const;
    bool ReceiverPresent() const override { return Present(); }

    // ---- channels --------------------------------------------------------------
    // The channel table of the last bring-up; empty without a receiver.
    const std::vector<DvbChannel> &Channels() const { return channels_; }
    // The channel table's names, as the channel list shows them.
    std::vector<std::string> ChannelNames() const;
    // Index of the first channel of the table with the tag and name of
    // `channel`; 0 when none matches or the table is empty.
    int ChannelIndexOf(const DvbChannel &channel) const;
    // Tunes channel `number` (1-based, as the timer entries keep it).
    // Nothing without a receiver.
    void SetChannel(uint16_t number);
    void TuneChannel(uint16_t number) override { SetChannel(number); }
    // The tuned channel's table index; std::nullopt without a receiver or
    // when it did not answer.
    std::optional<int> ReadTunedChannel();
    // Reports TunedChannelShown when the receiver answered.
    void ShowTunedChannel() override;
    // The name of channel `number` (1-based) in the table; empty when the
    // table has no such channel.
    std::string NameOfChannel(uint16_t number) const override;

    // ---- supervision -----------------------------------------------------------
    // One watchdog pass: reports ReceiverLost (after logging "does not
    // respond anymore") or TunedChannelRead.
    void Watch();

    // ---- commands ----------------------------------------------------------------
    // The receiver's SCSI signalling mode (0 auto, 1 check condition, 2 busy).
    void SetScsiMode(uint32_t mode);
    // Locks (true) or frees the receiver's remote control.
    void LockRemote(bool lock);
    // Shows eight characters on the receiver's front panel.
    void ShowPanelText(const char *text8) override;
    // Switches the receiver off.
    void SwitchOff() override;
    // Measures the transfer rate; the text for the message box: the rate
    // or "Speed Test failed!".
    std::string SpeedTest();
    // Starts a bus rescan: through the library on the NT family, else with
    // the helper program. Logs a failure.
    Rescan StartRescan();
    // The helper is running (started and its end not seen yet).
    bool HelperRunning() const { return helper_.has_value(); }
    // The helper's wait tick: true (and the helper released) once it has
    // ended or when none runs; false while it still runs.
    bool HelperEnded();

private:
    void Log(const std::string &line) { listener_.ReceiverLog(line); }
    // The status lines of the binding; the found receiver's address.
    void ReportBinding();
    void LoadChannels();

    ReceiverListener &listener_;
    MakeReceiver makeReceiver_;
    std::string helperPath_;
    std::unique_ptr<ReceiverLibrary> receiver_;
    std::vector<DvbChannel> channels_;
    std::optional<ChildProcess> helper_;
};

} // namespace quelmar
