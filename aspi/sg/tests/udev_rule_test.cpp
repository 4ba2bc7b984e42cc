// The udev rule as "cmake --install" puts it in place, matched the way udev
// matches it against the attributes the kernel shows for a SCSI device.
#include <gtest/gtest.h>

#include <fnmatch.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace quelmar::sg {
namespace {

using Rule = std::map<std::string, std::string>; // "ATTRS{vendor}==" -> pattern, "GROUP=" -> value

// Installs the udev component into a scratch DESTDIR and returns the rules
// it installed, one map of keys per rule line.
std::vector<Rule> installedRules()
{
    const std::string destdir = std::string(QUELMAR_TEST_DIR) + "/udev-install-" + std::to_string(::getpid());
    const std::string command =
        "DESTDIR='" + destdir + "' cmake --install '" + QUELMAR_BUILD_DIR + "' --component udev > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(destdir + QUELMAR_UDEV_RULES_DIR + "/60-quelmar-receiver.rules");
    EXPECT_TRUE(in.good()) << "not installed";
    std::vector<Rule> rules;
    const std::regex key(R"re(([A-Z]+(\{[a-z]+\})?)(==|=)"([^"]*)")re");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        Rule rule;
        for (std::sregex_iterator it(line.begin(), line.end(), key), end; it != end; ++it)
            rule[(*it)[1].str() + (*it)[3].str()] = (*it)[4].str();
        rules.push_back(rule);
    }
    std::filesystem::remove_all(destdir);
    return rules;
}

std::string withoutTrailingBlanks(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n'))
        s.pop_back();
    return s;
}

// The rule that gives a scsi_generic node with these INQUIRY fields (as the
// kernel's vendor and model attributes show them) its group, or null.
const Rule *matching(const std::vector<Rule> &rules, const std::string &vendor, const std::string &model)
{
    const std::map<std::string, std::string> attributes = {{"SUBSYSTEM==", "scsi_generic"},
                                                           {"SUBSYSTEMS==", "scsi"},
                                                           {"ATTRS{vendor}==", withoutTrailingBlanks(vendor)},
                                                           {"ATTRS{model}==", withoutTrailingBlanks(model)}};
    for (const Rule &rule : rules) {
        bool all = true;
        for (const auto &[key, pattern] : rule) {
            if (key.size() < 2 || key.substr(key.size() - 2) != "==")
                continue; // an assignment
            const auto value = attributes.find(key);
            all = all && value != attributes.end() && ::fnmatch(pattern.c_str(), value->second.c_str(), 0) == 0;
        }
        if (all)
            return &rule;
    }
    return nullptr;
}

TEST(UdevRule, GivesTheReceiversNodeAndNoOtherToGroupVideo)
{
    const std::vector<Rule> rules = installedRules();
    ASSERT_FALSE(rules.empty());
    // The vendor field is 8 characters, the model 16 (its last one is the
    // firmware's first digit); discovery compares without regard to case.
    const struct {
        const char *vendor, *model;
        bool receiver;
    } cases[] = {
        {"Quelmar ", "DVB-S SCSI     2", true},  {"QUELMAR ", "anything at all ", true},
        {"TANVERIL", " ZEPRA SCSI    1", true},  {"tanveril", " zepra scsi    1", true},
        {"TANVERIL", "ZEPRA SCSI     1", false}, {"TANVERIL", " ZEPRA SC      1", false},
        {"Quelma  ", "DVB-S SCSI     2", false}, {"SEAGATE ", "ST39102LW      2", false},
    };
    for (const auto &c : cases) {
        const Rule *rule = matching(rules, c.vendor, c.model);
        EXPECT_EQ(rule != nullptr, c.receiver) << c.vendor << "|" << c.model;
        if (rule) {
            EXPECT_EQ(rule->at("GROUP="), "video");
            EXPECT_EQ(rule->at("MODE="), "0660");
        }
    }
}

} // namespace
} // namespace quelmar::sg
