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

} // namespace
