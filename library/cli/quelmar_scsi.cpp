// quelmar-scsi: a command-line client of libquelmarscsi.so for people who
// script their receiver. It loads the library from its own directory with
// dlopen, as any client would, and talks to the first receiver found.
// Output: one record per line, fields separated by tabs.
#include "quelmarscsi_client.h"
#include "quelmarscsi_special.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoReceiver = 2; // also: library missing, wrong command line

constexpr const char *kLibraryName = "libquelmarscsi.so";
constexpr size_t kFrontPanelChars = DVB_FRONT_PANEL_TEXT_CHARS;
constexpr uint32_t kDefaultSpeedTestMiB = 5;
constexpr uint32_t kMaxSpeedTestMiB = 1024;
constexpr uint32_t kBytesPerMiB = 1u << 20;
constexpr uint32_t kMaxPeekBytes = 1u << 24; // receiver memory is addressed with 24 bits
constexpr uint32_t kPeekPieceBytes = 0x10000;
constexpr size_t kHexDumpColumns = 16;
// On-screen text position values as the receiver's own examples use them.
constexpr uint32_t kOsdFirst = 0, kOsdSecond = 0;
constexpr uint16_t kOsdThird = 35, kOsdFourth = 40;

void usage()
{
    std::fputs("usage: quelmar-scsi COMMAND [ARGUMENTS]\n"
               "  list               all receivers: adapter, target, identification, firmware\n"
               "  channels           channel table: number, tag, video PID, name\n"
               "  current            the tuned channel: number, tag, video PID, name\n"
               "  tune N             tune channel N (1 = first)\n"
               "  osd TEXT           show TEXT on screen\n"
               "  text 8CHARS        front-panel text (up to 8 characters)\n"
               "  remote on|off      lock or unlock the remote control\n"
               "  speedtest [MIB]    transfer rate of the SCSI path (default 5 MiB)\n"
               "  peek ADDR LEN      hex dump of receiver memory\n",
               stderr);
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
    explicit Client(QuelmarScsiClient &lib) : lib_(lib) {}

    // Finds the first receiver; false (with a message) when there is none.
    bool findReceiver()
    {
        if (!aspiReady())
            return false;
        device_ = lib_.dvbFindFirstQuelmar();
        if (device_.status != DVB_STATUS_FOUND && device_.status != DVB_STATUS_FOUND_OLD) {
            std::fputs("quelmar-scsi: no receiver found\n", stderr);
            return false;
        }
        return true;
    }

    int list()
    {
        if (!aspiReady())
            return kExitNoReceiver;
        const DvbDeviceList all = lib_.dvbFindAllQuelmars();
        for (unsigned i = 0; i < all.count && i < DVB_MAX_DEVICES; ++i)
            printDevice(all.devices[i]);
        if (all.count == 0) {
            // The list holds the current identification only; an older
            // receiver is found by the first-receiver search.
            const DvbDevice older = lib_.dvbFindFirstQuelmar();
            if (older.status != DVB_STATUS_FOUND_OLD) {
                std::fputs("quelmar-scsi: no receiver found\n", stderr);
                return kExitNoReceiver;
            }
            printDevice(older);
        }
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
            usage();
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
        std::printf("%u\t%d\t%.2f\n", bytes, ms, (bytes / double(kBytesPerMiB)) / (ms / 1000.0));
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
        const uint32_t status = lib_.dvbInit();
        if (status == DVB_ASPI_OK)
            return true;
        std::fprintf(stderr, "quelmar-scsi: no ASPI layer available (status 0x%08x)\n", status);
        return false;
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
    DvbDevice device_{};
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
        return kExitNoReceiver;
    }
    const std::string command = argv[1];
    const int extra = argc - 2;
    auto needs = [&](int minimum, int maximum) {
        if (extra < minimum || extra > maximum) {
            usage();
            return false;
        }
        return true;
    };
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
    if (!shape) {
        usage();
        return kExitNoReceiver;
    }
    if (!needs(shape->minimum, shape->maximum))
        return kExitNoReceiver;

    // The library stays loaded until the process ends: unloading it at exit
    // would gain nothing and would unload the ASPI layer and the media
    // libraries behind it, whose start-up allocations would then read as lost.
    static QuelmarScsiClient &lib = *new QuelmarScsiClient;
    std::string error;
    if (!lib.load(ownDirectory() + "/" + kLibraryName, &error)) {
        std::fprintf(stderr, "quelmar-scsi: cannot load the receiver library: %s\n", error.c_str());
        return kExitNoReceiver;
    }
    Client client(lib);
    if (command == "list")
        return client.list();
    if (!client.findReceiver())
        return kExitNoReceiver;
    if (command == "channels")
        return client.channels();
    if (command == "current")
        return client.current();
    if (command == "tune")
        return client.tune(argv[2]);
    if (command == "osd")
        return client.osd(argv[2]);
    if (command == "text")
        return client.frontPanel(argv[2]);
    if (command == "remote")
        return client.remote(argv[2]);
    if (command == "speedtest")
        return client.speedTest(extra ? argv[2] : nullptr);
    return client.peek(argv[2], argv[3]);
}
