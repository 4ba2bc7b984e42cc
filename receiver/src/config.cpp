#include "receiver/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <utility>

namespace quelmar::receiver {
namespace {

constexpr size_t kVendorBytes = 8;
constexpr size_t kProductBytesBeforeDigit = 15;
constexpr uint16_t kMaxPid = 8191;
constexpr uint64_t kKilo = 1000;
constexpr uint64_t kMega = 1000 * 1000;
// Receiver character codes of the four host characters it stores differently.
constexpr unsigned char kReceiverOpenBracket = 0x86;
constexpr unsigned char kReceiverCloseBracket = 0x87;
constexpr unsigned char kReceiverUUmlaut = 0x9A;
constexpr unsigned char kReceiverDegree = 0xF8;
constexpr unsigned kLatin1UUmlaut = 0xDC;
constexpr unsigned kLatin1Degree = 0xB0;
constexpr unsigned kLatin1Max = 0xFF;
constexpr unsigned kFirstPrintable = 0x20;
constexpr unsigned kFirstC1Control = 0x80;
constexpr unsigned kLastC1Control = 0x9F;
constexpr unsigned kDelete = 0x7F;
// Automatic audio PIDs: from the video PID + 1 (radio: kFirstRadioAudioPid)
// upwards, wrapping to kFirstAutomaticPid below the reserved 8191.
constexpr uint16_t kFirstAutomaticPid = 32;
constexpr uint16_t kFirstRadioAudioPid = 256;
// Far more than any receiver's table needs (8191 channels at most, since
// audio PIDs are unique); a larger file is refused unread.
constexpr off_t kMaxConfigBytes = 4 * 1024 * 1024;
constexpr size_t kReadChunkBytes = 65536;

std::string pad(std::string s, size_t n)
{
    s.resize(n, ' ');
    return s;
}

// Splits a line into words; a word may contain key="quoted value" with \" and
// \\ escapes; '#' outside quotes starts a comment. Returns false on an
// unterminated quote.
bool splitWords(const std::string &line, std::vector<std::string> *words)
{
    std::string cur;
    bool inWord = false, inQuote = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inQuote) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                cur += line[++i];
            } else if (c == '"') {
                inQuote = false;
            } else {
                cur += c;
            }
        } else if (c == '#') {
            break; // comment to the end of the line
        } else if (c == '"') {
            inQuote = true;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord)
                words->push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (inQuote)
        return false;
    if (inWord)
        words->push_back(cur);
    return true;
}

bool parseUnsigned(const std::string &s, uint64_t max, uint64_t *out)
{
    if (s.empty() || s.size() > 12 || !std::all_of(s.begin(), s.end(), ::isdigit))
        return false;
    uint64_t v = std::stoull(s);
    if (v > max)
        return false;
    *out = v;
    return true;
}

// "10M", "1500k", "250000", "off" (no limit) -> bytes per second.
bool parseRate(const std::string &s, uint64_t *out)
{
    if (s == "off" || s == "0") {
        *out = 0;
        return true;
    }
    uint64_t mult = 1;
    std::string digits = s;
    if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'k')) {
        mult = digits.back() == 'M' ? kMega : kKilo;
        digits.pop_back();
    }
    uint64_t v = 0;
    if (!parseUnsigned(digits, 100'000, &v) || v == 0)
        return false;
    *out = v * mult;
    return true;
}

// "2.17" -> "0217", "12.34" -> "1234".
bool parseRevision(const std::string &s, std::string *out)
{
    auto dot = s.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 2 || s.size() - dot - 1 != 2)
        return false;
    std::string digits = s.substr(0, dot) + s.substr(dot + 1);
    if (!std::all_of(digits.begin(), digits.end(), ::isdigit))
        return false;
    if (digits.size() == 3)
        digits = "0" + digits;
    *out = digits;
    return true;
}

// Printable ASCII of at most n characters.
bool plainField(const std::string &s, size_t n)
{
    return s.size() <= n && std::all_of(s.begin(), s.end(), [](char c) { return c >= ' ' && c < 0x7F; });
}

// The first PID from `from` on, upwards and wrapping from 8190 to
// kFirstAutomaticPid, that `used` does not hold; nullopt when every one is
// taken.
std::optional<uint16_t> freeAudioPid(const std::set<uint16_t> &used, unsigned from)
{
    unsigned pid = from < kMaxPid ? from : kFirstAutomaticPid;
    // Each candidate once: at most every PID below 8191.
    for (unsigned tries = 0; tries < kMaxPid; ++tries) {
        if (!used.count(static_cast<uint16_t>(pid)))
            return static_cast<uint16_t>(pid);
        pid = pid + 1 < kMaxPid ? pid + 1 : kFirstAutomaticPid;
    }
    return std::nullopt;
}

} // namespace

unsigned Config::adapterCount() const
{
    unsigned n = 0;
    for (const auto &r : receivers)
        n = std::max(n, r.adapter + 1);
    return n;
}

std::string defaultVendor(Identification id)
{
    return id == Identification::Current ? pad("Quelmar", kVendorBytes) : pad("TANVERIL", kVendorBytes);
}

std::string defaultProduct(Identification id)
{
    // The older identification is matched across the vendor field: "TANVERIL"
    // then " ZEPRA SCSI" at the start of the product field.
    return id == Identification::Current ? pad("DVB-S SCSI", kProductBytesBeforeDigit)
                                         : pad(" ZEPRA SCSI", kProductBytesBeforeDigit);
}

std::optional<std::string> nameToReceiverCodes(const std::string &utf8)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        unsigned cp = 0;
        if (c < 0x80) {
            cp = c;
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size() &&
                   (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            if (cp < 0x80)
                return std::nullopt; // overlong form
            i += 2;
        } else {
            return std::nullopt; // beyond Latin-1 or broken UTF-8
        }
        if (cp < kFirstPrintable || cp == kDelete || (cp >= kFirstC1Control && cp <= kLastC1Control) || cp > kLatin1Max)
            return std::nullopt;
        if (cp == '[')
            out += static_cast<char>(kReceiverOpenBracket);
        else if (cp == ']')
            out += static_cast<char>(kReceiverCloseBracket);
        else if (cp == kLatin1UUmlaut)
            out += static_cast<char>(kReceiverUUmlaut);
        else if (cp == kLatin1Degree)
            out += static_cast<char>(kReceiverDegree);
        else
            out += static_cast<char>(cp);
    }
    if (out.empty() || out.size() > kChannelNameBytes)
        return std::nullopt;
    return out;
}

Config defaultConfig()
{
    ReceiverConfig r;
    r.adapter = 0;
    r.target = 3;
    r.identification = Identification::Current;
    r.vendor = defaultVendor(r.identification);
    r.product = defaultProduct(r.identification);
    r.revision = "0217";
    auto add = [&](const char *name, uint8_t tag, uint16_t vpid, uint16_t apid, AudioCodec codec) {
        ChannelConfig ch;
        ch.name = *nameToReceiverCodes(name);
        ch.tag = tag;
        ch.videoPid = vpid;
        ch.audioPid = apid;
        ch.audio = codec;
        r.channels.push_back(ch);
    };
    add("Testbild Eins", 1, 101, 102, AudioCodec::Mp2);
    add("Testbild Zwei AC3", 2, 201, 202, AudioCodec::Ac3);
    add("Radio Quelmar", 3, kNoVideoPid, 302, AudioCodec::Mp2);
    add("[\xC3\x9C] Wetter 21\xC2\xB0", 4, 401, 402, AudioCodec::Mp2);
    Config c;
    c.receivers.push_back(std::move(r));
    return c;
}

std::optional<Config> parseConfig(const std::string &text, const std::string &origin, std::string *error)
{
    Config cfg;
    std::istringstream in(text);
    std::string line;
    unsigned lineNo = 0;
    std::set<std::pair<unsigned, unsigned>> addresses;
    std::set<uint16_t> audioPids; // of the current receiver
    auto fail = [&](const std::string &why) -> std::optional<Config> {
        if (error)
            *error = origin + " line " + std::to_string(lineNo) + ": " + why;
        return std::nullopt;
    };

    while (std::getline(in, line)) {
        ++lineNo;
        std::vector<std::string> words;
        if (!splitWords(line, &words))
            return fail("unterminated quote");
        if (words.empty())
            continue;
        const std::string kind = words[0];
        std::vector<std::pair<std::string, std::string>> kv;
        for (size_t i = 1; i < words.size(); ++i) {
            auto eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0)
                return fail("expected key=value, found \"" + words[i] + "\"");
            kv.emplace_back(words[i].substr(0, eq), words[i].substr(eq + 1));
        }

        if (kind == "receiver") {
            ReceiverConfig r;
            std::optional<std::string> vendor, product;
            bool haveAdapter = false, haveTarget = false;
            for (auto &[k, v] : kv) {
                uint64_t n = 0;
                if (k == "adapter") {
                    if (!parseUnsigned(v, kMaxAdapters - 1, &n))
                        return fail("adapter must be 0.." + std::to_string(kMaxAdapters - 1));
                    r.adapter = static_cast<unsigned>(n);
                    haveAdapter = true;
                } else if (k == "target") {
                    if (!parseUnsigned(v, kMaxTargetsPerAdapter - 1, &n))
                        return fail("target must be 0..7");
                    r.target = static_cast<unsigned>(n);
                    haveTarget = true;
                } else if (k == "identification") {
                    if (v == "current")
                        r.identification = Identification::Current;
                    else if (v == "older")
                        r.identification = Identification::Older;
                    else
                        return fail("identification must be current or older");
                } else if (k == "revision") {
                    if (!parseRevision(v, &r.revision))
                        return fail("revision must look like 2.17");
                } else if (k == "rate") {
                    if (!parseRate(v, &r.transferRateBytesPerSecond))
                        return fail("rate must be bytes per second, e.g. 10M, 800k or off");
                } else if (k == "vendor") {
                    if (!plainField(v, kVendorBytes))
                        return fail("vendor must be at most 8 printable ASCII characters");
                    vendor = v;
                } else if (k == "product") {
                    if (!plainField(v, kProductBytesBeforeDigit))
                        return fail("product must be at most 15 printable ASCII characters");
                    product = v;
                } else {
                    return fail("unknown receiver setting \"" + k + "\"");
                }
            }
            if (!haveAdapter || !haveTarget)
                return fail("a receiver needs adapter= and target=");
            if (!addresses.insert({r.adapter, r.target}).second)
                return fail("a receiver already sits on adapter " + std::to_string(r.adapter) + " target " +
                            std::to_string(r.target));
            r.vendor = pad(vendor.value_or(defaultVendor(r.identification)), kVendorBytes);
            r.product = pad(product.value_or(defaultProduct(r.identification)), kProductBytesBeforeDigit);
            cfg.receivers.push_back(std::move(r));
            audioPids.clear();
        } else if (kind == "channel") {
            if (cfg.receivers.empty())
                return fail("a channel line must follow a receiver line");
            ChannelConfig ch;
            bool haveName = false, haveTag = false, haveVideo = false, haveAudioPid = false;
            bool haveCodec = false;
            for (auto &[k, v] : kv) {
                uint64_t n = 0;
                if (k == "name") {
                    auto coded = nameToReceiverCodes(v);
                    if (!coded)
                        return fail("name must be 1..24 Latin-1 characters (UTF-8 in the file)");
                    ch.name = *coded;
                    haveName = true;
                } else if (k == "tag") {
                    if (!parseUnsigned(v, 255, &n))
                        return fail("tag must be 0..255");
                    ch.tag = static_cast<uint8_t>(n);
                    haveTag = true;
                } else if (k == "video-pid") {
                    if (!parseUnsigned(v, kMaxPid, &n))
                        return fail("video-pid must be 0..8191 (8191 = radio)");
                    ch.videoPid = static_cast<uint16_t>(n);
                    haveVideo = true;
                } else if (k == "audio-pid") {
                    if (!parseUnsigned(v, kMaxPid - 1, &n))
                        return fail("audio-pid must be 0..8190");
                    ch.audioPid = static_cast<uint16_t>(n);
                    haveAudioPid = true;
                } else if (k == "audio") {
                    if (v == "mp2")
                        ch.audio = AudioCodec::Mp2;
                    else if (v == "ac3")
                        ch.audio = AudioCodec::Ac3;
                    else
                        return fail("audio must be mp2 or ac3");
                    haveCodec = true;
                } else if (k == "file") {
                    if (v.empty())
                        return fail("file needs a path");
                    ch.source = SourceKind::File;
                    ch.file = v;
                } else {
                    return fail("unknown channel setting \"" + k + "\"");
                }
            }
            if (!haveName || !haveTag || !haveVideo)
                return fail("a channel needs name=, tag= and video-pid=");
            if (ch.source == SourceKind::File && haveCodec)
                return fail("audio= is for generated channels; a file brings its own audio");
            if (!haveAudioPid) {
                auto pid = freeAudioPid(audioPids, ch.isRadio() ? kFirstRadioAudioPid : ch.videoPid + 1u);
                if (!pid)
                    return fail("no free audio PID left on this receiver; give audio-pid=");
                ch.audioPid = *pid;
            }
            if (!audioPids.insert(ch.audioPid).second)
                return fail("audio-pid " + std::to_string(ch.audioPid) + " is used twice on this receiver");
            cfg.receivers.back().channels.push_back(std::move(ch));
        } else {
            return fail("expected \"receiver\" or \"channel\", found \"" + kind + "\"");
        }
    }
    if (cfg.receivers.empty()) {
        if (error)
            *error = origin + ": no receiver configured";
        return std::nullopt;
    }
    return cfg;
}

std::optional<Config> loadConfigFile(const std::string &path, std::string *error, std::string *content)
{
    auto fail = [&](const std::string &why) -> std::optional<Config> {
        if (error)
            *error = path + ": " + why;
        return std::nullopt;
    };
    // Non-blocking, so that a FIFO cannot hold the caller; only regular
    // files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    struct stat st {};
    std::string text;
    std::string problem;
    if (::fstat(fd, &st) != 0) {
        problem = std::string("cannot be read: ") + std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = "cannot be read: it is a directory";
    } else if (!S_ISREG(st.st_mode)) {
        problem = "cannot be read: it is not a regular file";
    } else if (st.st_size > kMaxConfigBytes) {
        problem = "cannot be read: larger than " + std::to_string(kMaxConfigBytes) + " bytes";
    } else {
        char buf[kReadChunkBytes];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                problem = std::string("cannot be read: ") + std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > static_cast<size_t>(kMaxConfigBytes)) {
                problem = "cannot be read: larger than " + std::to_string(kMaxConfigBytes) + " bytes";
                break;
            }
        }
    }
    ::close(fd);
    if (!problem.empty())
        return fail(problem);
    if (content)
        *content = text;
    return parseConfig(text, path, error);
}

} // namespace quelmar::receiver
