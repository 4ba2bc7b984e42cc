// The byte layout of the timer store file (timer.db). All integers
// little-endian.
//
//   0  u32  legacy count, always 0
//   4  u32  schema word, kTimerStoreSchema
//   8  i32  entry count
//  12  ...  entries: u16 channel, text reserved1, text reserved2, i32 start,
//           i32 stop, text file name, u8 shutdown, u8 active, u8 days (the
//           days byte only from schema 0x80000113 on)
//
// A text is its length (below 255: one byte; below 0xFFFE: 0xFF and a u16;
// else 0xFF, the u16 0xFFFF and a u32) followed by its Windows-1252 bytes.
// An older layout without schema word starts with the entry count and has
// no days byte; it is read, never written.
#pragma once

#include "timers/CTimerList.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quelmar {

// Schema word written in front of the entries.
constexpr uint32_t kTimerStoreSchema = 0x80000113;
// A timer store larger than this is refused before it is read. A file
// with 300-character names holds about 100 000 entries in it.
constexpr size_t kMaxTimerStoreBytes = 32u << 20; // 32 MiB

// The program's state folder: UserDataFolder() + "/QuelmarRecorder", or with
// an instance name (InstanceNameProblem() passed) "/QuelmarRecorder-NAME";
// empty when no data folder is known. It holds the timer store and the
// remote control's token and address note. Any thread.
std::string StateFolder(const std::string &instance = "");
// The store path: StateFolder(instance) + "/timer.db"; empty when no data
// folder is known. Any thread.
std::string DefaultTimerStorePath(const std::string &instance = "");

// The file's bytes for `list`. False with `problem` describing the first
// entry whose file name (or reserved text) Windows-1252 cannot hold.
bool EncodeTimerStore(const CTimerList &list, std::vector<uint8_t> &bytes, std::string &problem);

// Appends the entries stored in `bytes` to `list` (each with a fresh id).
// False with `problem` when the bytes end before what they announce; the
// entries complete before that point stay appended. Allocates only for
// texts that the bytes actually hold.
//
// `whole` (when given) tells whether the bytes are a sound store: read to
// their end and nothing in them that a writer would not have written. A
// store the rules above read, but with damage they pass over (a negative
// count, a count smaller than the entries present, bytes after the last
// entry, a first word other than 0, a layout newer than this program's, a
// text length in a longer form than needed) gives true with `whole` false
// and the damage in `problem`. A whole store in the current layout encodes
// back to the same bytes.
bool DecodeTimerStore(std::span<const uint8_t> bytes, CTimerList &list, std::string &problem, bool *whole = nullptr);

} // namespace quelmar
