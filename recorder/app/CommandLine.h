// The recorder program's command line: --help, --version, the front end
// (--headless), the simulated receiver and the options of one headless run.
// Options that stand for a setting override it for this run only.
//
// Adding an option: a field in CommandLineOptions, an entry in OptionTable()
// (CommandLine.cpp) that parses its value into that field, and, if it only
// makes sense together with other options, a rule in CheckCombinations().
#pragma once

#include "platform/LocalTime.h"
#include "platform/ReceiverLock.h"
#include "timers/TimerTexts.h"

#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelmar {

inline constexpr char kProgramName[] = "QuelmarRecorder";
inline constexpr char kProgramVersion[] = "1.14b";

// Exit statuses of the program.
inline constexpr int kExitOk = 0;     // normal end; a recording ended normally or nothing to record
inline constexpr int kExitFailed = 1; // no receiver, or the recording failed or was refused
inline constexpr int kExitBadCommandLine = 2;

// --channel: a channel number (1 = first record of the receiver's table) or
// a name matched exactly.
struct ChannelChoice {
    std::optional<int> number;
    std::string name; // when number is empty
};

// Editing the timer store without a window (--list-timers ...).
enum class TimerCommand {
    None,
    List,    // --list-timers
    Add,     // --add-timer with --channel, --start, --stop, --file [--days] [--shutdown]
    Remove,  // --remove-timer INDEX
    Enable,  // --enable-timer INDEX
    Disable, // --disable-timer INDEX
};

// What the command line asks for. Empty optionals leave the stored setting.
struct CommandLineOptions {
    bool headless = false;
    // --receiver HOST:ID: the receiver at that address (none: the first found).
    std::optional<ReceiverAddress> receiver;
    // --instance NAME: this instance's own settings file and timer store;
    // "" keeps the program's usual files.
    std::string instance;
    bool showToken = false; // --show-token: print the remote control's token and end
    // --listen [ADDR:]PORT: the remote control listens there (checked with
    // remote::ParseListenOption); none: no remote control.
    std::optional<std::string> listen;
    // --recordings-dir DIR (absolute): where recordings requested over the
    // remote control go and downloads come from; none: the folder of the
    // stored file name.
    std::optional<std::string> recordingsDir;
    // The arguments after the program's name, quoted for a shell (for the
    // message that points to the simulated receiver).
    std::string arguments;
    // --virtual-receiver[=CONFIG]: use the simulated receiver; the value is
    // its configuration file ("": as the environment says).
    std::optional<std::string> virtualReceiver;
    bool record = false;
    std::optional<ChannelChoice> channel;
    std::optional<uint32_t> durationSeconds;
    std::optional<std::string> fileBase;  // absolute path without extension, the bytes as given
    std::optional<std::string> fileGiven; // --file exactly as given (--add-timer resolves it itself)
    // Indices of the "Save streams" lists (the values of OutputChoice).
    std::optional<int> video;
    std::optional<int> audio;
    std::optional<int> mux;
    // --split-size MB / --split-time: the value and split on; "off": split off.
    std::optional<bool> splitOnSize;
    std::optional<uint32_t> splitSizeMb;
    std::optional<bool> splitOnTime;
    std::optional<uint32_t> splitTimeSeconds;
    std::optional<int32_t> videoDelayMs;
    std::optional<uint32_t> scsiMode; // 0 auto, 1 check condition, 2 busy
    bool overwrite = false;           // answer Yes to the overwrite question
    // --screenshot FILE (window only): save a picture of the started window
    // as PNG and end.
    std::optional<std::string> screenshotPath;
    // --timers: timer mode for this run (without it the stored "Enable
    // Timer" decides; a --record run is never in timer mode).
    bool timers = false;
    // --no-shutdown: every shut-down after a recording becomes a log line.
    bool noShutdown = false;
    // Timer editing; one command per run.
    TimerCommand timerCommand = TimerCommand::None;
    int timerIndex = 0; // --remove-, --enable-, --disable-timer: 1 = first entry
    std::optional<TimerStart> timerStart;
    std::optional<int32_t> timerStopTimeOfDay; // --stop, seconds since midnight
    uint8_t timerDays = 0;                     // --days as m_nDays holds them; 0 one-off
    bool timerShutdown = false;                // --shutdown
};

struct CommandLineResult {
    enum class Action {
        Run,
        ShowHelp,    // print `text` on standard output, exit 0
        ShowVersion, // the same
        Fail,        // print `text` (one line) on standard error, exit 2
    };
    Action action = Action::Run;
    CommandLineOptions options;
    std::string text;
};

// Parses the program's arguments (arguments[0] is the program), made with
// ArgumentFromBytes. Reads the working directory (to make paths absolute)
// and the time zone (for --start), changes nothing. Any thread.
CommandLineResult ParseCommandLine(const QStringList &arguments);

// An argument (argv bytes) as a QString without loss: valid UTF-8 as its
// characters, every other byte b as the lone surrogate U+DC00 + b, so that
// a file name that is not UTF-8 keeps its bytes. Any thread.
QString ArgumentFromBytes(const char *bytes);
// The bytes of an argument made by ArgumentFromBytes. Any thread.
std::string BytesOfArgument(const QString &argument);

// Parses SECONDS or H:MM:SS (minutes and seconds below 60) into seconds;
// std::nullopt for anything else, or above `maximum`.
std::optional<uint32_t> ParseDuration(const QString &text, uint32_t maximum);

// `argument` (bytes) as a shell reads it back: as it is when it holds only
// characters without meaning to a shell, else in single quotes; bytes that
// are no valid UTF-8 as \xHH. Any thread.
std::string ShellQuoted(const std::string &argument);

// "QuelmarRecorder: <message>" as one line on standard error.
void Complain(const std::string &message);

// --channel as an index of `names` (the receiver's channel table in
// order); std::nullopt, with the reason on standard error, when the
// receiver has no such channel.
std::optional<int> ChannelIndex(const ChannelChoice &choice, const std::vector<std::string> &names);

} // namespace quelmar
