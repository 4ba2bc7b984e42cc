#include "state_file.h"

#include "receiver/channel_record.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace quelmar::aspi_virtual {
namespace {

using receiver::PersistentState;

constexpr std::string_view kHeader = "quelmar-virtual-receiver-state 1";
constexpr char kDefaultKey[] = "default";
constexpr char kConfigKeyPrefix[] = "config-";
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr unsigned kMaxTunedNumber = 0xFFFF;
constexpr unsigned kHexDigitsPer64Bits = 16;

uint64_t fnv1a64(std::string_view bytes, uint64_t hash = kFnvOffsetBasis)
{
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

std::string hex64(uint64_t value)
{
    char text[kHexDigitsPer64Bits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

template <typename Bytes>
std::string toHex(const Bytes &bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        const auto v = static_cast<unsigned char>(b);
        out += kDigits[v >> 4];
        out += kDigits[v & 0xF];
    }
    return out;
}

bool fromHex(std::string_view text, std::string *out)
{
    if (text.size() % 2 != 0)
        return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<char>(high << 4 | low));
    }
    return true;
}

bool parseDecimal(std::string_view text, uint64_t max, uint64_t *out)
{
    constexpr size_t kMaxDigits = 12;
    if (text.empty() || text.size() > kMaxDigits || (text.size() > 1 && text[0] == '0'))
        return false;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max)
        return false;
    *out = value;
    return true;
}

std::vector<std::string_view> splitWords(std::string_view line)
{
    std::vector<std::string_view> words;
    for (size_t pos = 0; pos <= line.size();) {
        const size_t end = std::min(line.find(' ', pos), line.size());
        words.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return words;
}

// The lines of one receiver, in this order.
constexpr std::string_view kTuned = "tuned", kModeWord = "scsi-mode-word", kChannels = "channels", kPower = "power",
                           kRemote = "remote", kFrontPanel = "front-panel", kOsd = "osd",
                           kVideoSetting = "video-setting", kReceiver = "receiver", kChecksum = "checksum";

} // namespace

std::string encodeKeptStates(const KeptStates &states)
{
    std::string out = std::string(kHeader) + "\n";
    auto line = [&out](std::string_view key, const std::string &value) {
        out.append(key);
        if (!value.empty())
            out.append(" ").append(value);
        out += '\n';
    };
    for (const auto &[address, s] : states) {
        line(kReceiver, std::to_string(address.first) + " " + std::to_string(address.second));
        line(kTuned, std::to_string(s.tunedIndex + 1));
        const uint8_t word[2] = {static_cast<uint8_t>(s.scsiModeWord >> 8), static_cast<uint8_t>(s.scsiModeWord)};
        line(kModeWord, toHex(std::string_view(reinterpret_cast<const char *>(word), sizeof word)));
        const size_t count = s.channelTable.size() / receiver::kChannelRecordBytes;
        line(kChannels, std::to_string(count) + (count ? " " + toHex(s.channelTable) : std::string()));
        line(kPower, s.powered ? "on" : "off");
        line(kRemote, s.remoteLocked ? "locked" : "unlocked");
        line(kFrontPanel, toHex(s.frontPanel));
        line(kOsd, toHex(s.osd));
        line(kVideoSetting, toHex(s.videoSetting));
    }
    line(kChecksum, hex64(fnv1a64(out)));
    return out;
}

std::optional<KeptStates> decodeKeptStates(const std::string &text, std::string *problem)
{
    std::string why;
    auto damaged = [&](std::string reason) -> std::optional<KeptStates> {
        if (problem)
            *problem = std::move(reason);
        return std::nullopt;
    };
    // The checksum line covers every byte before it and ends the file.
    const size_t lastLine = text.size() > 1 ? text.rfind('\n', text.size() - 2) : std::string::npos;
    if (text.empty() || text.back() != '\n' || lastLine == std::string::npos)
        return damaged("it is cut off");
    const std::string_view body(text.data(), lastLine + 1);
    const auto checksum = splitWords(std::string_view(text).substr(lastLine + 1, text.size() - lastLine - 2));
    if (checksum.size() != 2 || checksum[0] != kChecksum)
        return damaged("it is cut off");
    if (checksum[1] != hex64(fnv1a64(body)))
        return damaged("its checksum does not match its content");

    std::vector<std::string_view> lines;
    for (size_t pos = 0; pos < body.size();) {
        const size_t end = body.find('\n', pos);
        lines.push_back(body.substr(pos, end - pos));
        pos = end + 1;
    }
    if (lines.empty() || lines[0] != kHeader)
        return damaged("it is not a state file of this version");
    size_t at = 1;
    std::vector<std::string_view> values;
    // The next line, which must carry `key` and `count` values.
    auto next = [&](std::string_view key, size_t minimum, size_t maximum) {
        if (at >= lines.size())
            return false;
        auto words = splitWords(lines[at]);
        if (words[0] != key || words.size() - 1 < minimum || words.size() - 1 > maximum)
            return false;
        values.assign(words.begin() + 1, words.end());
        ++at;
        return true;
    };
    auto bytes = [&](size_t index, std::string *out) {
        out->clear();
        return index >= values.size() || fromHex(values[index], out);
    };
    KeptStates states;
    while (at < lines.size()) {
        const size_t line = at + 1;
        auto bad = [&](std::string_view what) {
            return damaged("line " + std::to_string(line) + ": " + std::string(what));
        };
        uint64_t adapter = 0, target = 0, tuned = 0, count = 0;
        if (!next(kReceiver, 2, 2) || !parseDecimal(values[0], receiver::kMaxAdapters - 1, &adapter) ||
            !parseDecimal(values[1], receiver::kMaxTargetsPerAdapter - 1, &target))
            return bad("a receiver's address was expected");
        const ReceiverAddress address{static_cast<unsigned>(adapter), static_cast<unsigned>(target)};
        if (states.count(address))
            return bad("the receiver appears twice");
        PersistentState s;
        std::string raw;
        if (!next(kTuned, 1, 1) || !parseDecimal(values[0], kMaxTunedNumber, &tuned) || tuned == 0)
            return bad("the tuned channel was expected");
        s.tunedIndex = static_cast<unsigned>(tuned - 1);
        if (!next(kModeWord, 1, 1) || !bytes(0, &raw) || raw.size() != 2)
            return bad("the SCSI mode word was expected");
        s.scsiModeWord = static_cast<uint16_t>(static_cast<uint8_t>(raw[0]) << 8 | static_cast<uint8_t>(raw[1]));
        if (!next(kChannels, 1, 2) || !parseDecimal(values[0], kMaxTunedNumber, &count) || !bytes(1, &raw) ||
            raw.size() != count * receiver::kChannelRecordBytes)
            return bad("the channel table was expected");
        s.channelTable.assign(raw.begin(), raw.end());
        if (!next(kPower, 1, 1) || (values[0] != "on" && values[0] != "off"))
            return bad("the power state was expected");
        s.powered = values[0] == "on";
        if (!next(kRemote, 1, 1) || (values[0] != "locked" && values[0] != "unlocked"))
            return bad("the remote lock was expected");
        s.remoteLocked = values[0] == "locked";
        if (!next(kFrontPanel, 0, 1) || !bytes(0, &s.frontPanel))
            return bad("the front-panel text was expected");
        if (!next(kOsd, 0, 1) || !bytes(0, &s.osd))
            return bad("the on-screen text was expected");
        if (!next(kVideoSetting, 1, 1) || !bytes(0, &raw) || raw.size() != s.videoSetting.size())
            return bad("the video setting was expected");
        s.videoSetting = {static_cast<uint8_t>(raw[0]), static_cast<uint8_t>(raw[1])};
        why = receiver::persistentStateProblem(s);
        if (!why.empty())
            return bad(why);
        states[address] = std::move(s);
    }
    return states;
}

std::string stateKey(const std::string &canonicalPath, const std::string &content)
{
    if (canonicalPath.empty())
        return kDefaultKey;
    // The path's end is marked, so that no path and content run together.
    return kConfigKeyPrefix + hex64(fnv1a64(content, fnv1a64(canonicalPath + '\0')));
}

} // namespace quelmar::aspi_virtual
