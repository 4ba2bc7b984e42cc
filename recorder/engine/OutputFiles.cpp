#include "engine/OutputFiles.h"

#include <cstdio>

namespace quelmar {

bool OutputChoices::SavesNothing() const
{
    return video == OutputChoice::Nothing && audio == OutputChoice::Nothing && mux == OutputChoice::Nothing;
}

bool OutputChoices::GoesThroughMultiplexer() const
{
    return mux == OutputChoice::Raw || video == OutputChoice::Elementary || audio == OutputChoice::Elementary;
}

bool OutputChoices::UsesVideoDelay() const
{
    return mux == OutputChoice::Raw || (audio == OutputChoice::Elementary && video == OutputChoice::Elementary);
}

std::string VideoExtension(OutputChoice video)
{
    switch (video) {
    case OutputChoice::Raw: return ".raw.m2v";
    case OutputChoice::Elementary: return ".m2v";
    case OutputChoice::Nothing: break;
    }
    return "";
}

std::string AudioExtension(OutputChoice audio, bool ac3)
{
    switch (audio) {
    case OutputChoice::Raw: return ac3 ? ".raw.acp" : ".raw.mpp";
    case OutputChoice::Elementary: return ac3 ? ".ac3" : ".mp2";
    case OutputChoice::Nothing: break;
    }
    return ".no audio";
}

const std::vector<std::string> &PartExtensions()
{
    static const std::vector<std::string> kExtensions = {VideoExtension(OutputChoice::Raw),
                                                         VideoExtension(OutputChoice::Elementary),
                                                         AudioExtension(OutputChoice::Raw, false),
                                                         AudioExtension(OutputChoice::Raw, true),
                                                         AudioExtension(OutputChoice::Elementary, false),
                                                         AudioExtension(OutputChoice::Elementary, true),
                                                         kMuxExtension};
    return kExtensions;
}

std::string PartPrefix(const std::string &base, int part)
{
    char number[24];
    std::snprintf(number, sizeof number, " (%d)", part);
    return base + number;
}

std::string LogFileName(const std::string &base) { return base + kLogExtension; }

std::vector<std::string> OutputFileNames(const std::string &base, int part, const OutputChoices &choices)
{
    const std::string prefix = PartPrefix(base, part);
    std::vector<std::string> names;
    if (choices.video != OutputChoice::Nothing)
        names.push_back(prefix + VideoExtension(choices.video));
    if (choices.audio != OutputChoice::Nothing) {
        names.push_back(prefix + AudioExtension(choices.audio, false));
        names.push_back(prefix + AudioExtension(choices.audio, true));
    }
    if (choices.mux != OutputChoice::Nothing)
        names.push_back(prefix + kMuxExtension);
    names.push_back(LogFileName(base));
    return names;
}

} // namespace quelmar
