#include "timers/TimerStore.h"

#include "platform/InstanceName.h"

#include "platform/SafeFiles.h"
#include "timers/Windows1252.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace quelmar {

namespace {

constexpr uint32_t kLegacyCount = 0;
// Schemas from this one on carry the days byte.
constexpr uint32_t kSchemaWithDays = 0x80000113;
// The schema of the layout without schema word.
constexpr uint32_t kSchemaOldest = 0x80000000;
constexpr uint32_t kSchemaFlag = 0x80000000; // bit 31 marks a schema word
constexpr size_t kCountBytes = 4;
constexpr size_t kHeaderBytes = 12;          // legacy count, schema, count
constexpr uint8_t kLongTextMark = 0xFF;      // a u16 length follows
constexpr uint16_t kLongerTextMark = 0xFFFF; // after kLongTextMark: a u32 length follows
constexpr uint32_t kShortTextLimit = 0xFF;   // lengths below it take one byte
constexpr uint32_t kWordTextLimit = 0xFFFE;  // lengths below it take a u16

class Writer {
public:
    explicit Writer(std::vector<uint8_t> &out) : out_(out) {}
    void U8(uint8_t v) { out_.push_back(v); }
    void U16(uint16_t v)
    {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void Text(const std::string &bytes)
    {
        const auto length = static_cast<uint32_t>(bytes.size());
        if (length < kShortTextLimit) {
            U8(static_cast<uint8_t>(length));
        } else if (length < kWordTextLimit) {
            U8(kLongTextMark);
            U16(static_cast<uint16_t>(length));
        } else {
            U8(kLongTextMark);
            U16(kLongerTextMark);
            U32(length);
        }
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }

private:
    std::vector<uint8_t> &out_;
};

// Reads from the bytes without ever passing their end: every read checks
// what is left first and reports a shortfall instead.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    size_t Position() const { return pos_; }
    void Seek(size_t pos) { pos_ = pos; }
    size_t Left() const { return bytes_.size() - pos_; }

    std::optional<uint8_t> U8()
    {
        if (Left() < 1)
            return std::nullopt;
        return bytes_[pos_++];
    }
    std::optional<uint16_t> U16()
    {
        if (Left() < 2)
            return std::nullopt;
        const auto v = static_cast<uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    std::optional<uint32_t> U32()
    {
        if (Left() < 4)
            return std::nullopt;
        const uint32_t v = uint32_t{bytes_[pos_]} | uint32_t{bytes_[pos_ + 1]} << 8 | uint32_t{bytes_[pos_ + 2]} << 16 |
                           uint32_t{bytes_[pos_ + 3]} << 24;
        pos_ += 4;
        return v;
    }
    // A text as UTF-8; std::nullopt when its length or bytes are cut off or
    // its length announces more than is left (`problem` tells which). A
    // length in a longer form than a writer uses sets `longForm`.
    std::optional<std::string> Text(std::string &problem)
    {
        const size_t at = pos_;
        std::optional<uint32_t> length;
        uint32_t shortestLimit = 0; // a writer uses this form only from this length on
        const auto first = U8();
        if (first && *first != kLongTextMark) {
            length = *first;
        } else if (first) {
            const auto word = U16();
            if (word && *word != kLongerTextMark) {
                length = *word;
                shortestLimit = kShortTextLimit;
            } else if (word) {
                length = U32();
                shortestLimit = kWordTextLimit;
            }
        }
        if (!length) {
            problem = "the file ends inside a text length at offset " + std::to_string(at);
            return std::nullopt;
        }
        if (*length > Left()) {
            problem = "a text at offset " + std::to_string(at) + " announces " + std::to_string(*length) +
                      " bytes, but only " + std::to_string(Left()) + " follow";
            return std::nullopt;
        }
        if (*length < shortestLimit && longForm_.empty())
            longForm_ = "the text at offset " + std::to_string(at) + " has its length in a longer form than written";
        const auto *start = reinterpret_cast<const char *>(bytes_.data() + pos_);
        pos_ += *length;
        return Windows1252ToUtf8(std::string_view(start, *length));
    }
    // The first text whose length was in a longer form than written; "" none.
    const std::string &LongForm() const { return longForm_; }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    std::string longForm_;
};

std::string Hex(uint32_t value)
{
    char text[sizeof "0x12345678"];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string EndOfFile(size_t size)
{
    return "the file ends after " + std::to_string(size) + " bytes, inside its header";
}

// One entry record; false with `problem` when the bytes run out.
bool ReadEntry(Reader &in, bool withDays, CTimerEntry &entry, std::string &problem)
{
    const auto channel = in.U16();
    auto reserved1 = channel ? in.Text(problem) : std::nullopt;
    auto reserved2 = reserved1 ? in.Text(problem) : std::nullopt;
    const auto start = reserved2 ? in.U32() : std::nullopt;
    const auto stop = start ? in.U32() : std::nullopt;
    auto fileName = stop ? in.Text(problem) : std::nullopt;
    const auto shutdown = fileName ? in.U8() : std::nullopt;
    const auto active = shutdown ? in.U8() : std::nullopt;
    std::optional<uint8_t> days;
    if (active)
        days = withDays ? in.U8() : std::optional<uint8_t>(0);
    if (!days) {
        if (problem.empty())
            problem = "the file ends at offset " + std::to_string(in.Position());
        return false;
    }
    entry.m_nChannel = *channel;
    entry.m_strReserved1 = std::move(*reserved1);
    entry.m_strReserved2 = std::move(*reserved2);
    entry.m_timeStart = CTime(static_cast<int32_t>(*start));
    entry.m_timeStop = CTime(static_cast<int32_t>(*stop));
    entry.m_strFileName = std::move(*fileName);
    entry.m_bShutdown = *shutdown;
    entry.m_bActive = *active;
    entry.m_nDays = *days;
    return true;
}

} // namespace

std::string StateFolder(const std::string &instance)
{
    const std::string folder = UserDataFolder();
    return folder.empty() ? std::string() : folder + "/QuelmarRecorder" + InstanceSuffix(instance);
}

std::string DefaultTimerStorePath(const std::string &instance)
{
    const std::string folder = StateFolder(instance);
    return folder.empty() ? std::string() : folder + "/timer.db";
}

bool EncodeTimerStore(const CTimerList &list, std::vector<uint8_t> &bytes, std::string &problem)
{
    bytes.clear();
    Writer out(bytes);
    out.U32(kLegacyCount);
    out.U32(kTimerStoreSchema);
    out.U32(static_cast<uint32_t>(list.GetCount()));
    for (int i = 0; i < list.GetCount(); ++i) {
        const CTimerEntry &entry = *list.GetAt(i);
        const auto reserved1 = Utf8ToWindows1252(entry.m_strReserved1);
        const auto reserved2 = Utf8ToWindows1252(entry.m_strReserved2);
        const auto fileName = Utf8ToWindows1252(entry.m_strFileName);
        if (!reserved1 || !reserved2 || !fileName) {
            problem = "timer entry " + std::to_string(i + 1) + " has a file name that cannot be stored in " +
                      "Windows-1252: \"" + entry.m_strFileName + "\"";
            return false;
        }
        out.U16(entry.m_nChannel);
        out.Text(*reserved1);
        out.Text(*reserved2);
        out.U32(static_cast<uint32_t>(entry.m_timeStart.GetTime()));
        out.U32(static_cast<uint32_t>(entry.m_timeStop.GetTime()));
        out.Text(*fileName);
        out.U8(entry.m_bShutdown);
        out.U8(entry.m_bActive);
        out.U8(entry.m_nDays);
    }
    return true;
}

bool DecodeTimerStore(std::span<const uint8_t> bytes, CTimerList &list, std::string &problem, bool *whole)
{
    // Damage that the loading rules read past: the list is what they make
    // of it, but the file is not whole and must not be saved over.
    std::string damage;
    const auto result = [&](bool ok) {
        if (ok && !damage.empty())
            problem = damage;
        if (whole)
            *whole = ok && damage.empty();
        return ok;
    };
    Reader in(bytes);
    const auto legacyCount = in.U32();
    if (!legacyCount) {
        problem = EndOfFile(bytes.size());
        return result(false);
    }
    if (bytes.size() < kHeaderBytes - kCountBytes)
        return result(true); // 4 to 7 bytes: an empty list
    const uint32_t second = *in.U32();
    uint32_t schema;
    std::optional<uint32_t> count;
    if (second & kSchemaFlag) {
        schema = second;
        count = in.U32();
        if (*legacyCount != kLegacyCount)
            damage = "the first word is " + std::to_string(*legacyCount) + ", not 0";
        else if (schema > kTimerStoreSchema)
            damage = "its layout " + Hex(schema) + " is newer than this program's (" + Hex(kTimerStoreSchema) + ")";
    } else {
        schema = kSchemaOldest;
        count = legacyCount;
        in.Seek(kCountBytes);
    }
    if (!count) {
        problem = EndOfFile(bytes.size());
        return result(false);
    }
    const auto entries = static_cast<int32_t>(*count);
    if (entries < 0 && damage.empty())
        damage = "its entry count " + Hex(*count) + " is negative";
    // No room is reserved for the count: it is only believed entry by entry.
    for (int32_t i = 0; i < entries; ++i) {
        CTimerEntry entry;
        if (!ReadEntry(in, schema >= kSchemaWithDays, entry, problem)) {
            problem = "timer entry " + std::to_string(i + 1) + " of " + std::to_string(entries) +
                      " is incomplete: " + problem;
            return result(false);
        }
        list.AddCopy(entry);
    }
    if (in.Left() > 0 && damage.empty())
        damage = std::to_string(in.Left()) + " bytes follow the last of its " + std::to_string(std::max(entries, 0)) +
                 " entries";
    if (damage.empty())
        damage = in.LongForm();
    return result(true);
}

} // namespace quelmar
