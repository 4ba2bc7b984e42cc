// The output choices of a recording and the names of the files they give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar {

// What one of the three "save" lists of the window asks for. The values are
// the lists' indices, so a list index converts with static_cast.
enum class OutputChoice : uint8_t {
    Nothing = 0,    // "don't save"
    Raw = 1,        // video and audio "as raw"; multiplex "as ~DVD" (program stream)
    Elementary = 2, // video "as m2v", audio "as mp2/ac3" (made by the multiplexer)
};

// The three choices of a recording.
struct OutputChoices {
    OutputChoice video = OutputChoice::Nothing;
    OutputChoice audio = OutputChoice::Nothing;
    OutputChoice mux = OutputChoice::Nothing; // Raw: program stream
    bool SavesNothing() const;
    // The recording's data goes through the multiplexer (a program stream
    // or an elementary stream is asked for), when one is available.
    bool GoesThroughMultiplexer() const;
    // The video delay has an effect: a program stream, or both elementary
    // streams (the multiplexer's delay between them).
    bool UsesVideoDelay() const;
};

// File name extensions, dot included.
inline constexpr char kMuxExtension[] = ".mpg";
inline constexpr char kLogExtension[] = ".log";
// ".raw.m2v" for Raw, ".m2v" for Elementary, "" for Nothing.
std::string VideoExtension(OutputChoice video);
// ".raw.acp"/".raw.mpp" for Raw, ".ac3"/".mp2" for Elementary, by the audio
// type found; ".no audio" for Nothing.
std::string AudioExtension(OutputChoice audio, bool ac3);
// Every extension a part of a recording may have (not the log's), in a fixed
// order. The list lives as long as the program.
const std::vector<std::string> &PartExtensions();

// base + " (N)": the name of part N without its extension.
std::string PartPrefix(const std::string &base, int part);
// base + ".log": the event log of a recording (never split, no number).
std::string LogFileName(const std::string &base);

// The files a recording with these choices may create as part `part`, in
// the order the window checks them before a start: the video file, both
// audio candidates (the audio type is known only once recording runs), the
// program stream, and the log file (the same name for every part). Pure
// function; any thread.
std::vector<std::string> OutputFileNames(const std::string &base, int part, const OutputChoices &choices);

} // namespace quelmar
