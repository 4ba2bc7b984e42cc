#include "engine/OutputFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quelmar;

namespace {

using Names = std::vector<std::string>;
using C = OutputChoice;

struct NamesCase {
    OutputChoices choices;
    int part;
    Names expected;
};

class OutputFileNamesTest : public ::testing::TestWithParam<NamesCase> {};

TEST_P(OutputFileNamesTest, ListsTheFilesOfThePartInCheckingOrder)
{
    EXPECT_EQ(OutputFileNames("/rec/news", GetParam().part, GetParam().choices), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, OutputFileNamesTest,
    ::testing::Values(NamesCase{{C::Raw, C::Elementary, C::Nothing},
                                0,
                                {"/rec/news (0).raw.m2v", "/rec/news (0).mp2", "/rec/news (0).ac3", "/rec/news.log"}},
                      NamesCase{{C::Nothing, C::Nothing, C::Nothing}, 0, {"/rec/news.log"}},
                      NamesCase{{C::Elementary, C::Raw, C::Raw},
                                12,
                                {"/rec/news (12).m2v", "/rec/news (12).raw.mpp", "/rec/news (12).raw.acp",
                                 "/rec/news (12).mpg", "/rec/news.log"}}));

TEST(OutputFiles, ExtensionsByChoiceAndAudioType)
{
    EXPECT_EQ(VideoExtension(C::Raw), ".raw.m2v");
    EXPECT_EQ(VideoExtension(C::Elementary), ".m2v");
    EXPECT_EQ(AudioExtension(C::Raw, true), ".raw.acp");
    EXPECT_EQ(AudioExtension(C::Raw, false), ".raw.mpp");
    EXPECT_EQ(AudioExtension(C::Elementary, true), ".ac3");
    EXPECT_EQ(AudioExtension(C::Elementary, false), ".mp2");
    EXPECT_EQ(AudioExtension(C::Nothing, false), ".no audio");
    EXPECT_EQ(PartPrefix("/rec/Film", 0), "/rec/Film (0)");
}

struct RuleCase {
    OutputChoices choices;
    bool throughMultiplexer;
    bool videoDelay;
};

class OutputChoiceRulesTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(OutputChoiceRulesTest, MultiplexerAndVideoDelayFollowTheChoices)
{
    EXPECT_EQ(GetParam().choices.GoesThroughMultiplexer(), GetParam().throughMultiplexer);
    EXPECT_EQ(GetParam().choices.UsesVideoDelay(), GetParam().videoDelay);
}

// video, audio, multiplex
INSTANTIATE_TEST_SUITE_P(Choices, OutputChoiceRulesTest,
                         ::testing::Values(RuleCase{{C::Raw, C::Raw, C::Nothing}, false, false},
                                           RuleCase{{C::Nothing, C::Nothing, C::Nothing}, false, false},
                                           RuleCase{{C::Raw, C::Raw, C::Raw}, true, true},
                                           RuleCase{{C::Elementary, C::Raw, C::Nothing}, true, false},
                                           RuleCase{{C::Raw, C::Elementary, C::Nothing}, true, false},
                                           RuleCase{{C::Elementary, C::Elementary, C::Nothing}, true, true},
                                           RuleCase{{C::Nothing, C::Elementary, C::Nothing}, true, false}));

} // namespace
