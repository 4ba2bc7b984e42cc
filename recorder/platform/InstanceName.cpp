#include "platform/InstanceName.h"

namespace quelmar {

namespace {

bool SafeCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

} // namespace

std::string InstanceNameProblem(const std::string &name)
{
    if (name.empty())
        return "must not be empty";
    if (name.size() > kMaxInstanceNameLength)
        return "must be at most " + std::to_string(kMaxInstanceNameLength) + " characters long";
    if (name.front() == '.')
        return "must not start with '.'";
    for (const char c : name)
        if (!SafeCharacter(c))
            return "may hold only letters A-Z and a-z, digits, '-', '_' and '.'";
    return "";
}

std::string InstanceSuffix(const std::string &name) { return name.empty() ? std::string() : "-" + name; }

} // namespace quelmar
