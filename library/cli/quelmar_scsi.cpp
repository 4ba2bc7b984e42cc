// quelmar-scsi: a command-line client of libquelmarscsi.so for people who
// script their receiver. It loads the library from its own directory with
// dlopen, as any client would, and talks to the first receiver found.
// Output: one record per line, fields separated by tabs.
#include "aspi_layer.h"
#include "quelmar_modules.h"
#include "quelmarscsi_client.h"
#include "quelmarscsi_special.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace quelmar::scsi_cli;
namespace modules = quelmar::modules;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoReceiver = 2; // also: library missing, wrong command line

constexpr const char *kLibraryName = modules::kReceiverLibrary;
constexpr const char *kVirtualLayer = modules::kVirtualAspiLayer;
constexpr const char *kVirtualOption = "--virtual-receiver";
constexpr size_t kFrontPanelChars = DVB_FRONT_PANEL_TEXT_CHARS;
constexpr uint32_t kDefaultSpeedTestMiB = 5;
constexpr uint32_t kMaxSpeedTestMiB = 1024;
constexpr uint32_t kBytesPerMiB = 1u << 20;
constexpr double kMsPerSecond = 1000;
constexpr uint32_t kMaxPeekBytes = 1u << 24; // receiver memory is addressed with 24 bits
constexpr uint32_t kPeekPieceBytes = 0x10000;
constexpr size_t kHexDumpColumns = 16;
// On-screen text position values as the receiver's own examples use them.
constexpr uint32_t kOsdFirst = 0, kOsdSecond = 0;
constexpr uint16_t kOsdThird = 35, kOsdFourth = 40;

void usage(std::FILE *to)
{
    std::fputs("usage: quelmar-scsi [--virtual-receiver[=CONFIG]] COMMAND [ARGUMENTS]\n"
               "Talks to the first receiver found, through libquelmarscsi.so.\n"
               "commands:\n"
               "  list               all receivers: adapter, target, identification, firmware\n"
               "  channels           channel table: number, tag, video PID, name\n"
               "  current            the tuned channel: number, tag, video PID, name\n"
               "  tune N             tune channel N (1 = first)\n"
               "  osd TEXT           show TEXT on screen\n"
               "  text 8CHARS        front-panel text (up to 8 characters)\n"
               "  remote on|off      lock or unlock the remote control\n"
               "  speedtest [MIB]    transfer rate of the SCSI path (default 5 MiB): bytes sent,\n"
               "                     milliseconds taken, MiB per second\n"
               "  peek ADDR LEN      hex dump of receiver memory\n"
               "options:\n"
               "  --virtual-receiver[=CONFIG]  use the simulated receiver (libaspi-virtual.so),\n"
               "                     with the configuration file CONFIG if given\n"
               "  -h, --help         show this text\n"
               "  --version          show the version\n",
               to);
}

std::string ownDirectory()
{
    std::vector<char> path(4096);
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0)
        return ".";
    std::string s(path.data(), static_cast<size_t>(n));
    return s.substr(0, s.rfind('/'));
}

std::string revisionText(uint16_t revision)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u%u.%u%u", (revision >> 12) & 0xF, (revision >> 8) & 0xF, (revision >> 4) & 0xF,
                  revision & 0xF);
    // Leading zero of the major number is not shown: 0217 reads 2.17.
    return text[0] == '0' ? std::string(text + 1) : std::string(text);
}

// Names arrive in the host's single-byte codes (Latin-1); print UTF-8.
std::string nameText(const char (&name)[DVB_CHANNEL_NAME_SIZE])
{
    std::string out;
    for (size_t i = 0; i < DVB_CHANNEL_NAME_SIZE && name[i]; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool parseNumber(const char *text, unsigned long max, unsigned long *value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || *end || v > max || text[0] == '-')
        return false;
    *value = v;
    return true;
}

class Client {
public:
    // `command`: the command line's command, for the hint when no receiver
    // is found; `libraryDirectory`: where the library was loaded from.
    Client(QuelmarScsiClient &lib, std::string command, const std::string &libraryDirectory)
        : lib_(lib), command_(std::move(command)), layer_(aspiLayerAsked(libraryDirectory))
    {}

    // Finds the first receiver; false (with a message) when there is none.
    bool findReceiver()
    {
        if (!aspiReady())
            return false;
        device_ = lib_.dvbFindFirstQuelmar();
        if (device_.status != DVB_STATUS_FOUND && device_.status != DVB_STATUS_FOUND_OLD) {
            noReceiver();
            return false;
        }
        return true;
    }

    // Every receiver: the library's list (current identification) and those
    // of the older identification, in scan order; discovery sets each
    // one's SCSI mode to automatic, as the library's own searches do.
    int list()
    {
        if (!aspiReady())
            return kExitNoReceiver;
        const DvbDeviceList all = lib_.dvbFindAllQuelmars();
        std::vector<DvbDevice> devices(all.devices, all.devices + std::min<unsigned>(all.count, DVB_MAX_DEVICES));
        if (const auto older = findOlderReceivers(layer_)) {
            for (DvbDevice device : *older) {
                lib_.dvbSetSCSIMode(&device, DVB_SCSI_MODE_AUTOMATIC);
                devices.push_back(device);
            }
        } else if (devices.empty()) {
            // The layer cannot be asked directly: the library's first-receiver
            // search still finds one older receiver.
            const DvbDevice older = lib_.dvbFindFirstQuelmar();
            if (older.status == DVB_STATUS_FOUND_OLD)
                devices.push_back(older);
        }
        if (devices.empty()) {
            noReceiver();
            return kExitNoReceiver;
        }
        std::stable_sort(devices.begin(), devices.end(), [](const DvbDevice &a, const DvbDevice &b) {
            return a.hostAdapter != b.hostAdapter ? a.hostAdapter < b.hostAdapter : a.targetId < b.targetId;
        });
        for (const DvbDevice &device : devices)
            printDevice(device);
        return kExitOk;
    }

    int channels()
    {
        std::vector<DvbChannel> table;
        if (!readTable(&table))
            return kExitFailed;
        for (size_t i = 0; i < table.size(); ++i)
            printChannel(i + 1, table[i]);
        return kExitOk;
    }

    int current()
    {
        const DvbCurrentChannel cur = lib_.dvbGetCurrentChannel(&device_);
        if (cur.answer == 0)
            return fail("the receiver did not tell its channel");
        std::vector<DvbChannel> table;
        size_t number = 0;
        if (readTable(&table)) {
            for (size_t i = 0; i < table.size() && number == 0; ++i)
                if (table[i].tag == cur.channel.tag &&
                    std::strncmp(table[i].name, cur.channel.name, DVB_CHANNEL_NAME_SIZE) == 0)
                    number = i + 1;
        }
        printChannel(number, cur.channel);
        return kExitOk;
    }

    int tune(const char *argument)
    {
        unsigned long n = 0;
        const uint16_t count = lib_.dvbChannelCount(&device_);
        if (!parseNumber(argument, UINT16_MAX, &n) || n == 0 || (count && n > count)) {
            std::fprintf(stderr, "quelmar-scsi: no channel %s (the receiver has %u)\n", argument, count);
            return kExitFailed;
        }
        return lib_.dvbSetChannel(&device_, static_cast<uint16_t>(n)) ? kExitOk : fail("tuning failed");
    }

    int osd(const char *text)
    {
        return lib_.dvbSetOSD(&device_, kOsdFirst, kOsdSecond, kOsdThird, kOsdFourth, text)
                   ? kExitOk
                   : fail("the on-screen text was not accepted (too long?)");
    }

    int frontPanel(const char *text)
    {
        if (std::strlen(text) > kFrontPanelChars) {
            std::fprintf(stderr, "quelmar-scsi: the front panel shows %zu characters\n", kFrontPanelChars);
            return kExitFailed;
        }
        std::string padded(text);
        padded.resize(kFrontPanelChars, ' ');
        return lib_.dvbSendSpecialCommand(&device_, reinterpret_cast<const uint8_t *>(padded.data()), kFrontPanelChars,
                                          DVB_SPECIAL_FRONT_PANEL_TEXT)
                   ? kExitOk
                   : fail("the front-panel text was not accepted");
    }

    int remote(const char *state)
    {
        const std::string s = state;
        if (s != "on" && s != "off") {
            usage(stderr);
            return kExitNoReceiver;
        }
        // "on" locks the remote control.
        return lib_.dvbRemote(&device_, s == "on" ? 1 : 0) ? kExitOk : fail("the receiver refused");
    }

    int speedTest(const char *argument)
    {
        unsigned long mib = kDefaultSpeedTestMiB;
        if (argument && (!parseNumber(argument, kMaxSpeedTestMiB, &mib) || mib == 0)) {
            std::fprintf(stderr, "quelmar-scsi: speedtest takes 1..%u MiB\n", kMaxSpeedTestMiB);
            return kExitFailed;
        }
        const uint32_t bytes = static_cast<uint32_t>(mib * kBytesPerMiB);
        const int32_t ms = lib_.dvbSCSISpeedTest(&device_, bytes, 1);
        if (ms <= 0)
            return fail(ms == 0 ? "the speed test failed or took no measurable time" : "the speed test failed");
        // One figure per line: what it is, the number, its unit.
        std::printf("sent\t%u\tbytes\n", bytes);
        std::printf("elapsed\t%d\tms\n", ms);
        std::printf("rate\t%.2f\tMiB/s\n", (bytes / double(kBytesPerMiB)) / (ms / double(kMsPerSecond)));
        return kExitOk;
    }

    int peek(const char *addressText, const char *lengthText)
    {
        unsigned long address = 0, length = 0;
        if (!parseNumber(addressText, kMaxPeekBytes - 1, &address) ||
            !parseNumber(lengthText, kMaxPeekBytes, &length) || length == 0 || address + length > kMaxPeekBytes) {
            std::fputs("quelmar-scsi: peek ADDR LEN within the receiver's 16 MiB\n", stderr);
            return kExitFailed;
        }
        std::vector<uint8_t> data(length);
        for (unsigned long done = 0; done < length; done += kPeekPieceBytes) {
            const auto piece = static_cast<uint32_t>(std::min<unsigned long>(length - done, kPeekPieceBytes));
            if (!lib_.dvbReadMemory(&device_, static_cast<uint32_t>(address + done), data.data() + done, piece))
                return fail("reading the receiver's memory failed");
        }
        for (size_t row = 0; row < data.size(); row += kHexDumpColumns) {
            std::printf("%06lx:", address + row);
            for (size_t i = row; i < std::min(data.size(), row + kHexDumpColumns); ++i)
                std::printf(" %02x", data[i]);
            std::putchar('\n');
        }
        return kExitOk;
    }

private:
    bool aspiReady()
    {
        if (lib_.dvbInit() == DVB_ASPI_OK)
            return true;
        noReceiver();
        return false;
    }

    // No receiver: says which layer was asked and what it answered, and
    // points to the simulated receiver in one line.
    void noReceiver()
    {
        std::fprintf(stderr, "quelmar-scsi: %s\n", noReceiverText(lib_.dvbInit(), layer_).c_str());
        if (const std::string hint = virtualReceiverHint(layer_, "quelmar-scsi", command_); !hint.empty())
            std::fprintf(stderr, "quelmar-scsi: %s\n", hint.c_str());
    }

    bool readTable(std::vector<DvbChannel> *table)
    {
        const uint16_t count = lib_.dvbChannelCount(&device_);
        table->assign(count, DvbChannel{});
        if (count == 0 || !lib_.dvbGetAllChannels(&device_, table->data(), count)) {
            std::fputs("quelmar-scsi: reading the channel table failed\n", stderr);
            return false;
        }
        return true;
    }

    void printDevice(const DvbDevice &d)
    {
        std::printf("%u\t%u\t%s\t%s\n", d.hostAdapter, d.targetId,
                    d.status == DVB_STATUS_FOUND_OLD ? "TANVERIL ZEPRA SCSI" : "Quelmar",
                    revisionText(d.firmwareRevision).c_str());
    }

    void printChannel(size_t number, const DvbChannel &c)
    {
        std::printf("%zu\t%u\t%u\t%s\n", number, c.tag, c.word16, nameText(c.name).c_str());
    }

    int fail(const char *message)
    {
        std::fprintf(stderr, "quelmar-scsi: %s\n", message);
        return kExitFailed;
    }

    QuelmarScsiClient &lib_;
    const std::string command_;
    const std::string layer_; // the ASPI layer module the library was asked to load
    DvbDevice device_{};
};

// --virtual-receiver[=CONFIG]: the library loads the simulated receiver's
// layer from this program's directory, with CONFIG as its configuration if
// given (else QUELMAR_VIRTUAL_RECEIVER as the environment has it), as the
// recorder's option of the same name does. Before the library is loaded.
bool useVirtualReceiver(const std::string &directory, const std::string &config)
{
    if (!config.empty()) {
        if (const std::string problem = virtualConfigProblem(config); !problem.empty()) {
            std::fprintf(stderr, "quelmar-scsi: %s '%s': %s\n", kVirtualOption, config.c_str(), problem.c_str());
            return false;
        }
    }
    const std::string beside = directory + "/" + kVirtualLayer;
    struct stat status {};
    setenv(modules::kAspiLayerVariable, stat(beside.c_str(), &status) == 0 ? beside.c_str() : kVirtualLayer, 1);
    if (!config.empty())
        setenv(modules::kVirtualReceiverVariable, config.c_str(), 1);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string directory = ownDirectory();
    // Options come before the command.
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        const std::string option = argv[first];
        if (option == "--help" || option == "-h") {
            usage(stdout);
            return kExitOk;
        }
        if (option == "--version") {
            std::printf("quelmar-scsi %s\n", QUELMAR_VERSION);
            return kExitOk;
        }
        const std::string virtualWithValue = std::string(kVirtualOption) + "=";
        if (option == kVirtualOption || option.starts_with(virtualWithValue)) {
            if (!useVirtualReceiver(directory, option.substr(std::min(option.size(), virtualWithValue.size()))))
                return kExitNoReceiver;
            continue;
        }
        std::fprintf(stderr, "quelmar-scsi: unknown option %s\n", option.c_str());
        usage(stderr);
        return kExitNoReceiver;
    }
    if (first >= argc) {
        usage(stderr);
        return kExitNoReceiver;
    }
    const std::string command = argv[first];
    char **arguments = argv + first + 1;
    const int extra = argc - first - 1;
    struct Shape {
        const char *name;
        int minimum, maximum;
    };
    static const Shape kShapes[] = {{"list", 0, 0},   {"channels", 0, 0},  {"current", 0, 0},
                                    {"tune", 1, 1},   {"osd", 1, 1},       {"text", 1, 1},
                                    {"remote", 1, 1}, {"speedtest", 0, 1}, {"peek", 2, 2}};
    const Shape *shape = nullptr;
    for (const Shape &s : kShapes)
        if (command == s.name)
            shape = &s;
    if (!shape || extra < shape->minimum || extra > shape->maximum) {
        usage(stderr);
        return kExitNoReceiver;
    }

    // The library stays loaded until the process ends: unloading it at exit
    // would gain nothing and would unload the ASPI layer and the media
    // libraries behind it, whose start-up allocations would then read as lost.
    static QuelmarScsiClient &lib = *new QuelmarScsiClient;
    std::string error;
    if (!lib.load(directory + "/" + kLibraryName, &error)) {
        std::fprintf(stderr, "quelmar-scsi: cannot load the receiver library: %s\n", error.c_str());
        return kExitNoReceiver;
    }
    Client client(lib, command, directory);
    if (command == "list")
        return client.list();
    if (!client.findReceiver())
        return kExitNoReceiver;
    if (command == "channels")
        return client.channels();
    if (command == "current")
        return client.current();
    if (command == "tune")
        return client.tune(arguments[0]);
    if (command == "osd")
        return client.osd(arguments[0]);
    if (command == "text")
        return client.frontPanel(arguments[0]);
    if (command == "remote")
        return client.remote(arguments[0]);
    if (command == "speedtest")
        return client.speedTest(extra ? arguments[0] : nullptr);
    return client.peek(arguments[0], arguments[1]);
}
