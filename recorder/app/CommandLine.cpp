#include "app/CommandLine.h"

#include "controller/CRecorderApp.h"
#include "engine/Splitting.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QRegularExpression>

#include <functional>
#include <limits>
#include <vector>

namespace quelmar {

namespace {

// The video delay field's limit, ms (either way).
constexpr int32_t kMaxVideoDelayMs = 1000;
// Longest --duration, seconds (366 days): keeps the stop time far inside 32-bit calendar seconds.
constexpr uint32_t kMaxDurationSeconds = 366u * 86400u;
constexpr int kMaxChannelNumber = 0xFFFF; // channel numbers are 16-bit
constexpr uint32_t kSecondsPerMinute = 60;
constexpr uint32_t kSecondsPerHour = 3600;

constexpr char kOff[] = "off";

// One option: its definition and how its value (empty for a flag) goes into
// the options. `apply` returns an error text, or "" when the value is good.
struct OptionEntry {
    QCommandLineOption option;
    std::function<std::string(const QString &value, CommandLineOptions &options)> apply;
};

std::string Quoted(const QString &value) { return "'" + value.toStdString() + "'"; }

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
                               o.virtualReceiver = value.isEmpty()
                                                       ? std::string()
                                                       : QDir::current().absoluteFilePath(value).toStdString();
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
                                   choice.name = value.toStdString();
                               }
                               o.channel = choice;
                               return std::string();
                           }));
    table.push_back(Valued("duration", "SECONDS|HH:MM:SS",
                           "Stop the recording after this time (without it: at SIGINT or SIGTERM).",
                           [](const QString &value, CommandLineOptions &o) {
                               o.durationSeconds = ParseDuration(value, kMaxDurationSeconds);
                               if (!o.durationSeconds || *o.durationSeconds == 0)
                                   return std::string("must be SECONDS or HH:MM:SS, more than 0, at most 366 days");
                               return std::string();
                           }));
    table.push_back(Valued("file", "BASE", "Output file base: a path without extension (this run only).",
                           [](const QString &value, CommandLineOptions &o) {
                               if (value.isEmpty())
                                   return std::string("must be a path");
                               o.fileBase = QDir::current().absoluteFilePath(value).toStdString();
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
                               const auto seconds = ParseDuration(value, kSplitTimeMaxSeconds);
                               if (!seconds || *seconds < kSplitTimeMinSeconds)
                                   return std::string("must be 5 seconds to 23:59:59, or off");
                               o.splitOnTime = true;
                               o.splitTimeSeconds = *seconds;
                               return std::string();
                           }));
    table.push_back(Valued("video-delay", "MS", "Delay of video against audio in the multiplex, -1000 to 1000 ms.",
                           [](const QString &value, CommandLineOptions &o) {
                               const auto ms = ParseInteger(value, -kMaxVideoDelayMs, kMaxVideoDelayMs);
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
                               o.screenshotPath = QDir::current().absoluteFilePath(value).toStdString();
                               return std::string();
                           }));
    table.push_back(Flag("overwrite", "Answer Yes when the recording would overwrite files (default: No).",
                         [](CommandLineOptions &o) { o.overwrite = true; }));
    return table;
}

// Rules between options; an error text or "".
std::string CheckCombinations(const CommandLineOptions &o)
{
    if (!o.headless) {
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

std::optional<uint32_t> ParseDuration(const QString &text, uint32_t maximum)
{
    static const QRegularExpression kSeconds(QStringLiteral("^[0-9]{1,10}$"));
    static const QRegularExpression kClock(QStringLiteral("^([0-9]{1,6}):([0-5][0-9]):([0-5][0-9])$"));
    uint64_t seconds = 0;
    if (kSeconds.match(text).hasMatch()) {
        seconds = text.toULongLong();
    } else if (const auto clock = kClock.match(text); clock.hasMatch()) {
        seconds = clock.captured(1).toULongLong() * kSecondsPerHour +
                  clock.captured(2).toULongLong() * kSecondsPerMinute + clock.captured(3).toULongLong();
    } else {
        return std::nullopt;
    }
    if (seconds > maximum)
        return std::nullopt;
    return static_cast<uint32_t>(seconds);
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
    return result;
}

} // namespace quelmar
