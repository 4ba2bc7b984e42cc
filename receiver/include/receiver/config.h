// config.h: the simulated receivers' configuration: which receivers sit on
// which host adapter and target, how they identify themselves and which
// channels they carry. Read from the plain-text file that
// QUELMAR_VIRTUAL_RECEIVER names, or the built-in default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelmar::receiver {

constexpr uint16_t kNoVideoPid = 8191; // video PID of a radio channel
constexpr uint64_t kDefaultTransferRateBytesPerSecond = 10'000'000;
constexpr unsigned kMaxTargetsPerAdapter = 8; // SCSI ids 0..7
constexpr unsigned kMaxAdapters = 16;
constexpr size_t kChannelNameBytes = 24;

enum class AudioCodec {
    Mp2,
    Ac3
};
enum class SourceKind {
    Generated,
    File
};

struct ChannelConfig {
    std::string name; // in the receiver's character codes, at most 24 bytes
    uint8_t tag = 0;
    uint16_t videoPid = 0; // kNoVideoPid: radio, audio only
    uint16_t audioPid = 0; // unique per receiver; picks the source when tuning
    SourceKind source = SourceKind::Generated;
    AudioCodec audio = AudioCodec::Mp2; // generated sources only
    std::string file;                   // file sources only
    bool isRadio() const { return videoPid == kNoVideoPid; }
};

enum class Identification {
    Current,
    Older
};

struct ReceiverConfig {
    unsigned adapter = 0;
    unsigned target = 0;
    Identification identification = Identification::Current;
    std::string vendor;            // 8 bytes as sent in INQUIRY (padded with blanks)
    std::string product;           // 15 bytes; the 16th is the revision's first digit
    std::string revision = "0217"; // four decimal digits
    uint64_t transferRateBytesPerSecond = kDefaultTransferRateBytesPerSecond; // 0 = no limit
    std::vector<ChannelConfig> channels;
};

struct Config {
    std::vector<ReceiverConfig> receivers;
    // Number of host adapters: highest adapter in use + 1.
    unsigned adapterCount() const;
};

// Built-in default: one receiver with the current identification, firmware
// 2.17, adapter 0 target 3, with two TV channels (MP2, AC-3), a radio channel
// and a name with the receiver's special characters.
Config defaultConfig();

// Parses a configuration text. On an error returns nullopt and sets *error
// to a message naming `origin` and the line. Never throws.
std::optional<Config> parseConfig(const std::string &text, const std::string &origin, std::string *error);

// Reads and parses the file at `path`; errors as parseConfig (or that the file
// cannot be read). With `content`, the text read (also when it has an error).
std::optional<Config> loadConfigFile(const std::string &path, std::string *error, std::string *content = nullptr);

// Converts a UTF-8 channel name to the receiver's character codes: "[" 0x86,
// "]" 0x87, "Ü" 0x9A, "°" 0xF8, other Latin-1 characters as their Latin-1
// code. Returns nullopt for text outside Latin-1, bad UTF-8, control
// characters or more than 24 resulting bytes.
std::optional<std::string> nameToReceiverCodes(const std::string &utf8);

// Default INQUIRY fields of an identification.
std::string defaultVendor(Identification id);
std::string defaultProduct(Identification id);

} // namespace quelmar::receiver
