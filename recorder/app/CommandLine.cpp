#include "app/CommandLine.h"

#include "controller/CRecorderApp.h"
#include "engine/Splitting.h"
#include "platform/InstanceName.h"
#include "remote/RemoteControl.h"
#include "timers/CTimerEntry.h"
#include "timers/TimerDialogModel.h"
#include "timers/TimerFileName.h"
#include "timers/Windows1252.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDate>
#include <QDir>
#include <QRegularExpression>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

namespace quelmar {

namespace {

constexpr int kMaxChannelNumber = 0xFFFF; // channel numbers are 16-bit

constexpr char kOff[] = "off";
constexpr char kTimerCommands[] = "--list-timers, --add-timer, --remove-timer, --enable-timer and --disable-timer";

// One option: its definition and how its value (empty for a flag) goes into
// the options. `apply` returns an error text, or "" when the value is good.
struct OptionEntry {
    QCommandLineOption option;
    std::function<std::string(const QString &value, CommandLineOptions &options)> apply;
};

// Lone surrogates U+DC80 to U+DCFF stand for the bytes 0x80 to 0xFF that
// are no part of valid UTF-8 (ArgumentFromBytes).
constexpr char16_t kEscapedByteBase = 0xDC00;
constexpr uint8_t kFirstNonAscii = 0x80;

std::string Quoted(const QString &value) { return "'" + BytesOfArgument(value) + "'"; }

// The length of the valid UTF-8 character at `pos`; 0 when there is none
// (a stray, overlong, surrogate or cut-off sequence).
size_t Utf8CharacterLength(std::string_view text, size_t pos)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    size_t length;
    char32_t minimum;
    char32_t c;
    if (lead < kFirstNonAscii)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        length = 2, minimum = 0x80, c = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, minimum = 0x800, c = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, minimum = 0x10000, c = lead & 0x07;
    else
        return 0;
    if (pos + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
        c = c << 6 | (byte(pos + i) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

// `value` (a path as given) made absolute against the working directory,
// its bytes kept.
std::string AbsolutePath(const QString &value)
{
    const std::string path = BytesOfArgument(value);
    if (!path.empty() && path.front() == '/')
        return path;
    std::vector<char> folder(PATH_MAX);
    while (!getcwd(folder.data(), folder.size())) {
        if (errno != ERANGE)
            return path; // no working directory (removed): the system resolves it, or fails
        folder.resize(folder.size() * 2);
    }
    const std::string base(folder.data());
    return (base == "/" ? base : base + "/") + path;
}

// A byte string for a message: bytes that are no valid UTF-8 as \xHH.
std::string Printable(const std::string &bytes)
{
    std::string out;
    for (size_t pos = 0; pos < bytes.size();) {
        const size_t length = Utf8CharacterLength(bytes, pos);
        if (length == 0) {
            char hex[sizeof "\\xFF"];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<uint8_t>(bytes[pos]));
            out += hex;
            ++pos;
            continue;
        }
        out += bytes.substr(pos, length);
        pos += length;
    }
    return out;
}

// An integer in [minimum, maximum], digits with an optional sign only.
std::optional<int64_t> ParseInteger(const QString &text, int64_t minimum, int64_t maximum)
{
    static const QRegularExpression kInteger(QStringLiteral("^[+-]?[0-9]{1,18}$"));
    if (!kInteger.match(text).hasMatch())
        return std::nullopt;
    const int64_t value = text.toLongLong();
    if (value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

// One of `names`: its index.
std::optional<int> ParseChoice(const QString &text, const std::vector<const char *> &names)
{
    for (size_t i = 0; i < names.size(); ++i)
        if (text == QLatin1String(names[i]))
            return static_cast<int>(i);
    return std::nullopt;
}

OptionEntry Flag(const QString &name, const QString &description, std::function<void(CommandLineOptions &)> set)
{
    return {QCommandLineOption(name, description), [set = std::move(set)](const QString &, CommandLineOptions &o) {
                set(o);
                return std::string();
            }};
}

OptionEntry Valued(const QString &name, const QString &valueName, const QString &description,
                   std::function<std::string(const QString &, CommandLineOptions &)> apply)
{
    return {QCommandLineOption(name, description, valueName), std::move(apply)};
}

// A stream choice: the names are the list's entries in index order.
OptionEntry Choice(const QString &name, const std::vector<const char *> &names, const QString &what,
                   std::optional<int> CommandLineOptions::*field)
{
    QString valueName;
    for (const char *n : names)
        valueName += (valueName.isEmpty() ? "" : "|") + QLatin1String(n);
    return Valued(name, valueName, what + QStringLiteral(" (this run only)."),
                  [names, field, valueName](const QString &value, CommandLineOptions &o) {
                      o.*field = ParseChoice(value, names);
                      return (o.*field) ? std::string() : "must be " + valueName.toStdString();
                  });
}

std::vector<OptionEntry> OptionTable()
{
    std::vector<OptionEntry> table;
    table.push_back(Flag("headless", "Run without a window: the event log goes to standard output.",
                         [](CommandLineOptions &o) { o.headless = true; }));
    table.push_back(Valued("virtual-receiver", "CONFIG",
                           "Use the simulated receiver, configured by CONFIG (without =CONFIG: by "
                           "QUELMAR_VIRTUAL_RECEIVER, or the built-in one).",
                           [](const QString &value, CommandLineOptions &o) {
                               o.virtualReceiver = value.isEmpty() ? std::string() : AbsolutePath(value);
                               return std::string();
                           }));
    table.push_back(Valued("receiver", "HOST:ID",
                           "Drive the receiver at host adapter HOST, SCSI id ID (default: the first one found).",
                           [](const QString &value, CommandLineOptions &o) {
                               o.receiver = ParseReceiverAddress(value.toStdString());
                               return o.receiver
                                          ? std::string()
                                          : "must be HOST:ID, a host adapter from 0 to " +
                                                std::to_string(ReceiverAddress::kMaxHostAdapter) +
                                                " and an id from 0 to " + std::to_string(ReceiverAddress::kMaxTargetId);
                           }));
    table.push_back(Valued("instance", "NAME",
                           "Run as instance NAME, with its own settings and timers (one instance per receiver).",
                           [](const QString &value, CommandLineOptions &o) {
                               o.instance = BytesOfArgument(value);
                               return InstanceNameProblem(o.instance);
                           }));
    table.push_back(Flag("show-token",
                         "Print the remote control's token (made when there is none) alone on one line, then end.",
                         [](CommandLineOptions &o) { o.showToken = true; }));
    table.push_back(Valued("listen", "[ADDR:]PORT",
                           "Start the remote control (web page and API) on PORT of ADDR (default 127.0.0.1; "
                           "* or 0.0.0.0 for every address, reachable from other machines).",
                           [](const QString &value, CommandLineOptions &o) {
                               std::string error;
                               if (!remote::ParseListenOption(value.toStdString(), error))
                                   return error;
                               o.listen = value.toStdString();
                               return std::string();
                           }));
    table.push_back(Valued("recordings-dir", "DIR",
                           "The folder recordings made over the remote control go to and downloads come from "
                           "(default: the folder of the stored file name).",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value.isEmpty())
                                   return std::string("must name a folder");
                               o.recordingsDir = AbsolutePath(value);
                               return std::string();
                           }));
    table.push_back(Flag("record", "Make one recording, then end (with --headless).",
                         [](CommandLineOptions &o) { o.record = true; }));
    table.push_back(Valued("channel", "N|NAME",
                           "Tune channel N (1 = first of the receiver's table) or the channel named NAME "
                           "(exact, case-sensitive) before recording.",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value.isEmpty())
                                   return std::string("must be a number or a name");
                               ChannelChoice choice;
                               static const QRegularExpression kDigits(QStringLiteral("^[0-9]+$"));
                               if (kDigits.match(value).hasMatch()) {
                                   choice.number = ParseInteger(value, 1, kMaxChannelNumber);
                                   if (!choice.number)
                                       return "must be a channel number from 1 to " + std::to_string(kMaxChannelNumber);
                               } else {
                                   choice.name = BytesOfArgument(value);
                               }
                               o.channel = choice;
                               return std::string();
                           }));
    table.push_back(Valued("duration", "SECONDS|HH:MM:SS",
                           "Stop the recording after this time (without it: at SIGINT or SIGTERM).",
                           [](const QString &value, CommandLineOptions &o) {
                               o.durationSeconds = ParseDuration(value.toStdString(), kMaxDurationSeconds);
                               if (!o.durationSeconds || *o.durationSeconds == 0)
                                   return std::string("must be SECONDS or HH:MM:SS, more than 0, at most 366 days");
                               return std::string();
                           }));
    table.push_back(Valued("file", "BASE", "Output file base: a path without extension (this run only).",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value.isEmpty())
                                   return std::string("must be a path");
                               o.fileGiven = BytesOfArgument(value);
                               o.fileBase = AbsolutePath(value);
                               return std::string();
                           }));
    table.push_back(Choice("video", {"none", "raw", "m2v"}, "Save video", &CommandLineOptions::video));
    table.push_back(
        Choice("audio", {"none", "raw", "es"}, "Save audio: raw, or elementary .mp2/.ac3", &CommandLineOptions::audio));
    table.push_back(Choice("mux", {"none", "dvd"}, "Save the DVD multiplex .mpg", &CommandLineOptions::mux));
    table.push_back(Valued("split-size", "MB|off", "Split the files every MB megabytes (at least 5), or not on size.",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value == QLatin1String(kOff)) {
                                   o.splitOnSize = false;
                                   return std::string();
                               }
                               const auto mb =
                                   ParseInteger(value, kMinSplitSizeMb, std::numeric_limits<uint32_t>::max());
                               if (!mb)
                                   return std::string("must be a number of megabytes from 5 to 4294967295, or off");
                               o.splitOnSize = true;
                               o.splitSizeMb = static_cast<uint32_t>(*mb);
                               return std::string();
                           }));
    table.push_back(Valued("split-time", "SECONDS|HH:MM:SS|off", "Split the files at this interval, or not on time.",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value == QLatin1String(kOff)) {
                                   o.splitOnTime = false;
                                   return std::string();
                               }
                               const auto seconds = ParseDuration(value.toStdString(), kMaxSplitTimeSeconds);
                               if (!seconds || *seconds < kMinSplitTimeSeconds)
                                   return std::string("must be 5 seconds to 23:59:59, or off");
                               o.splitOnTime = true;
                               o.splitTimeSeconds = *seconds;
                               return std::string();
                           }));
    table.push_back(Valued("video-delay", "MS", "Delay of video against audio in the multiplex, -1000 to 1000 ms.",
                           [](const QString &value, CommandLineOptions &o) {
                               const auto ms = ParseInteger(value, kMinVideoDelayMs, kMaxVideoDelayMs);
                               if (!ms)
                                   return std::string("must be a number of milliseconds from -1000 to 1000");
                               o.videoDelayMs = static_cast<int32_t>(*ms);
                               return std::string();
                           }));
    table.push_back(Valued("scsi-mode", "auto|busy|check", "How the receiver signals that it has no data.",
                           [](const QString &value, CommandLineOptions &o) {
                               // Setting values: 0 auto, 1 check condition, 2 busy.
                               const auto index = ParseChoice(value, {"auto", "check", "busy"});
                               if (!index)
                                   return std::string("must be auto, busy or check");
                               o.scsiMode = static_cast<uint32_t>(*index);
                               return std::string();
                           }));
    table.push_back(Valued("screenshot", "FILE",
                           "Window only: once the window has started, save a picture of it as PNG to FILE "
                           "and end.",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value.isEmpty())
                                   return std::string("must be a path");
                               o.screenshotPath = AbsolutePath(value);
                               return std::string();
                           }));
    table.push_back(Flag("overwrite", "Answer Yes when the recording would overwrite files (default: No).",
                         [](CommandLineOptions &o) { o.overwrite = true; }));
    table.push_back(Flag("timers",
                         "Run in timer mode until SIGTERM (with --headless; without it the stored \"Enable Timer\" "
                         "decides).",
                         [](CommandLineOptions &o) { o.timers = true; }));
    table.push_back(Flag("no-shutdown", "Never shut the computer down after a recording; log it instead.",
                         [](CommandLineOptions &o) { o.noShutdown = true; }));
    // The timer commands: one per run.
    const auto command = [](TimerCommand which) {
        return [which](const QString &value, CommandLineOptions &o) {
            if (o.timerCommand != TimerCommand::None)
                return std::string("only one of ") + kTimerCommands + " at a time";
            o.timerCommand = which;
            if (which == TimerCommand::List || which == TimerCommand::Add)
                return std::string();
            const auto index = ParseInteger(value, 1, std::numeric_limits<int>::max());
            if (!index)
                return std::string("must be the number of an entry of --list-timers (1 = first)");
            o.timerIndex = static_cast<int>(*index);
            return std::string();
        };
    };
    table.push_back(
        {QCommandLineOption("list-timers", "List the timers, one per line: index, on|off, channel number and name, "
                                           "start, stop, days, shut-down, file."),
         command(TimerCommand::List)});
    table.push_back({QCommandLineOption("add-timer", "Add a timer (with --channel, --start, --stop, --file, [--days], "
                                                     "[--shutdown]), as the Timer dialog's Add does; a relative "
                                                     "--file goes to the folder of the stored file name."),
                     command(TimerCommand::Add)});
    table.push_back(
        Valued("remove-timer", "INDEX", "Remove timer INDEX of --list-timers.", command(TimerCommand::Remove)));
    table.push_back(
        Valued("enable-timer", "INDEX", "Switch timer INDEX of --list-timers on.", command(TimerCommand::Enable)));
    table.push_back(
        Valued("disable-timer", "INDEX", "Switch timer INDEX of --list-timers off.", command(TimerCommand::Disable)));
    table.push_back(Valued("start", "YYYY-MM-DD HH:MM[:SS]", "--add-timer: start of the recording (local time).",
                           [](const QString &value, CommandLineOptions &o) {
                               o.timerStart = ParseTimerStart(value.toStdString());
                               return o.timerStart ? std::string() : std::string("must be YYYY-MM-DD HH:MM[:SS]");
                           }));
    table.push_back(Valued("stop", "HH:MM[:SS]",
                           "--add-timer: end of the recording; earlier than the start means the next day.",
                           [](const QString &value, CommandLineOptions &o) {
                               o.timerStopTimeOfDay = ParseTimeOfDay(value.toStdString());
                               return o.timerStopTimeOfDay ? std::string() : std::string("must be HH:MM[:SS]");
                           }));
    table.push_back(Valued("days", "daily|mo,tu,we,th,fr,sa,su", "--add-timer: repeat daily or on these days.",
                           [](const QString &value, CommandLineOptions &o) {
                               const auto days = ParseDays(value.toStdString());
                               if (!days)
                                   return std::string("must be daily or days among mo,tu,we,th,fr,sa,su");
                               o.timerDays = *days;
                               return std::string();
                           }));
    table.push_back(Flag("shutdown", "--add-timer: shut the computer down after the recording.",
                         [](CommandLineOptions &o) { o.timerShutdown = true; }));
    return table;
}

// Rules of the timer options; an error text or "".
std::string CheckTimerCombinations(const CommandLineOptions &o)
{
    const bool adding = o.timerCommand == TimerCommand::Add;
    if (!adding && (o.timerStart || o.timerStopTimeOfDay || o.timerDays || o.timerShutdown))
        return "--start, --stop, --days and --shutdown need --add-timer";
    if (o.timerCommand == TimerCommand::None) {
        if (o.timers && !o.headless)
            return "--timers needs --headless (the window has its Timer menu)";
        if (o.noShutdown && !o.headless)
            return "--no-shutdown needs --headless";
        if (o.timers && (o.record || o.channel))
            return "--timers cannot be combined with --record or --channel";
        return "";
    }
    if (o.record || o.timers || o.noShutdown || o.screenshotPath)
        return std::string(kTimerCommands) + " cannot be combined with --record, --timers, --no-shutdown or " +
               "--screenshot";
    if (!adding)
        return o.channel || o.fileBase ? "--channel and --file with a timer command need --add-timer" : "";
    if (!o.channel || !o.timerStart || !o.timerStopTimeOfDay || !o.fileGiven)
        return "--add-timer needs --channel, --start, --stop and --file";
    if (const std::string problem = TimerFileNameProblem(*o.fileGiven); !problem.empty())
        return "--file: " + problem;
    std::string offending;
    if (!FitsWindows1252(*o.fileGiven, &offending))
        return "--file '" + Printable(*o.fileGiven) + "': " +
               (offending == kInvalidUtf8
                    ? std::string("the name is not UTF-8 (\\xHH above stands for such a byte); the timer file keeps "
                                  "names as Windows-1252 text, so it can hold only names in UTF-8")
                    : "the timer file (Windows-1252) cannot hold the character '" + offending + "'");
    CTime start;
    CTime stop;
    if (const std::string problem =
            TimerTimesProblem(o.timerStart->date, o.timerStart->timeOfDay, *o.timerStopTimeOfDay, start, stop);
        !problem.empty())
        return "--start, --stop: " + problem;
    return "";
}

// Rules between options; an error text or "".
std::string CheckCombinations(const CommandLineOptions &o)
{
    if (o.showToken && (o.timerCommand != TimerCommand::None || o.record || o.timers || o.channel || o.screenshotPath))
        return "--show-token cannot be combined with --record, --timers, --channel, --screenshot or a timer command";
    if ((o.listen || o.recordingsDir) && (o.showToken || o.timerCommand != TimerCommand::None))
        return "--listen and --recordings-dir cannot be combined with --show-token or a timer command";
    if (o.recordingsDir && !o.listen)
        return "--recordings-dir needs --listen";
    if (const std::string timers = CheckTimerCombinations(o); !timers.empty())
        return timers;
    if (!o.headless && o.timerCommand == TimerCommand::None) {
        if (o.record || o.channel || o.overwrite)
            return "--record, --channel and --overwrite need --headless";
    }
    if (o.headless && o.screenshotPath)
        return "--screenshot needs the window (not --headless)";
    if (!o.record && (o.durationSeconds || o.overwrite))
        return "--duration and --overwrite need --record";
    return "";
}

// QCommandLineParser has no optional values: "--virtual-receiver" alone
// becomes "--virtual-receiver=". Values of options given as a separate
// argument are skipped, so a file base may itself read "--virtual-receiver".
QStringList WithExplicitValues(QStringList arguments, const std::vector<OptionEntry> &table)
{
    static const QString kOptional = QStringLiteral("--virtual-receiver");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == QLatin1String("--"))
            break;
        if (argument == kOptional) {
            arguments[i] += '=';
            continue;
        }
        for (const OptionEntry &entry : table) {
            if (entry.option.valueName().isEmpty())
                continue;
            if (argument == "--" + entry.option.names().first() || argument == "-" + entry.option.names().first()) {
                ++i; // the next argument is this option's value
                break;
            }
        }
    }
    return arguments;
}

std::string OneLine(std::string text)
{
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

// Qt's help text with the program's name and the optional value shown as
// such (the parser knows no optional values).
std::string HelpText(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    text.replace(QStringLiteral("<executable_name>"), QLatin1String(kProgramName));
    text.replace(QStringLiteral("--virtual-receiver <CONFIG> "), QStringLiteral("--virtual-receiver[=CONFIG] "));
    return text.toStdString();
}

} // namespace

std::string ShellQuoted(const std::string &argument)
{
    static const std::string_view kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-";
    if (!argument.empty() && argument.find_first_not_of(kPlain) == std::string::npos)
        return argument;
    std::string quoted = "'";
    for (const char c : argument)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return Printable(quoted + "'");
}

void Complain(const std::string &message) { std::fprintf(stderr, "%s: %s\n", kProgramName, message.c_str()); }

QString ArgumentFromBytes(const char *bytes)
{
    const std::string_view text(bytes);
    QString argument;
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = Utf8CharacterLength(text, pos);
        if (length == 0) {
            argument += QChar(static_cast<char16_t>(kEscapedByteBase + static_cast<uint8_t>(text[pos])));
            ++pos;
            continue;
        }
        argument += QString::fromUtf8(text.data() + pos, static_cast<qsizetype>(length));
        pos += length;
    }
    return argument;
}

std::string BytesOfArgument(const QString &argument)
{
    std::string bytes;
    for (qsizetype i = 0; i < argument.size(); ++i) {
        const QChar unit = argument[i];
        if (unit.isHighSurrogate() && i + 1 < argument.size() && argument[i + 1].isLowSurrogate()) {
            bytes += argument.mid(i, 2).toUtf8().toStdString();
            ++i;
        } else if (unit.unicode() >= kEscapedByteBase + kFirstNonAscii && unit.unicode() <= kEscapedByteBase + 0xFF) {
            bytes += static_cast<char>(unit.unicode() - kEscapedByteBase);
        } else {
            bytes += QString(unit).toUtf8().toStdString();
        }
    }
    return bytes;
}

std::optional<int> ChannelIndex(const ChannelChoice &choice, const std::vector<std::string> &names)
{
    if (choice.number) {
        if (*choice.number <= static_cast<int>(names.size()))
            return *choice.number - 1;
        Complain("--channel " + std::to_string(*choice.number) + ": the receiver has " + std::to_string(names.size()) +
                 " channels");
        return std::nullopt;
    }
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == choice.name)
            return static_cast<int>(i);
    Complain("--channel '" + choice.name + "': the receiver has no channel of that name");
    return std::nullopt;
}

CommandLineResult ParseCommandLine(const QStringList &arguments)
{
    CommandLineResult result;
    const std::vector<OptionEntry> table = OptionTable();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Records television and radio from a Quelmar satellite receiver.\n"
        "Exit status: 0 normal end, 1 no receiver or a failed recording, 2 bad command line.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const OptionEntry &entry : table)
        parser.addOption(entry.option);

    const auto fail = [&result](const std::string &message) {
        result.action = CommandLineResult::Action::Fail;
        result.text = OneLine(std::string(kProgramName) + ": " + message + " (see --help)");
        return result;
    };
    if (!parser.parse(WithExplicitValues(arguments, table)))
        return fail(parser.errorText().toStdString());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        result.action = CommandLineResult::Action::ShowHelp;
        result.text = HelpText(parser);
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLineResult::Action::ShowVersion;
        result.text = std::string(kProgramName) + " " + kProgramVersion + "\n";
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected argument " + Quoted(parser.positionalArguments().first()));
    for (const OptionEntry &entry : table) {
        if (!parser.isSet(entry.option))
            continue;
        const QString value = entry.option.valueName().isEmpty() ? QString() : parser.value(entry.option);
        const std::string error = entry.apply(value, result.options);
        if (!error.empty())
            return fail("--" + entry.option.names().first().toStdString() + " " + Quoted(value) + ": " + error);
    }
    if (const std::string error = CheckCombinations(result.options); !error.empty())
        return fail(error);
    for (qsizetype i = 1; i < arguments.size(); ++i)
        result.options.arguments += (i > 1 ? " " : "") + ShellQuoted(BytesOfArgument(arguments[i]));
    return result;
}

} // namespace quelmar
