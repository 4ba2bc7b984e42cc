#include "services/RecordingNames.h"

#include "engine/OutputFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string_view>
#include <tuple>

namespace quelmar {

namespace {

// Alternatives a timer recording tries when its name is taken: "-2" .. "-999".
constexpr int kFirstAlternative = 2;
constexpr int kLastAlternative = 999;

// The part number of `name` = prefix + number + ")" + extension, where the
// number is written as " (%d)" writes it; std::nullopt for any other name.
std::optional<std::pair<int, size_t>> PartOf(std::string_view name, std::string_view prefix,
                                             const std::vector<std::string> &extensions)
{
    if (name.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    name.remove_prefix(prefix.size());
    int part = -1;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), part);
    const size_t digits = static_cast<size_t>(end - name.data());
    if (error != std::errc() || part < 0 || (digits > 1 && name.front() == '0') || digits >= name.size() ||
        name[digits] != ')')
        return std::nullopt;
    const std::string_view extension = name.substr(digits + 1);
    const auto found = std::find(extensions.begin(), extensions.end(), extension);
    if (found == extensions.end())
        return std::nullopt;
    return std::pair{part, static_cast<size_t>(found - extensions.begin())};
}

bool Exists(const std::string &path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// Existing parts of `base` numbered `firstPart` and up, by number and extension.
std::vector<std::string> ExistingParts(const std::string &base, const std::vector<std::string> &extensions,
                                       int firstPart)
{
    namespace fs = std::filesystem;
    const size_t slash = base.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : base.substr(0, slash);
    const std::string prefix = (slash == std::string::npos ? base : base.substr(slash + 1)) + " (";
    std::vector<std::tuple<int, size_t, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto part = PartOf(it->path().filename().native(), prefix, extensions);
        if (part && part->first >= firstPart)
            found.emplace_back(part->first, part->second, PartPrefix(base, part->first) + extensions[part->second]);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto &entry : found)
        paths.push_back(std::move(std::get<2>(entry)));
    return paths;
}

} // namespace

std::vector<std::string> ExistingLaterParts(const std::string &base, const std::vector<std::string> &extensions)
{
    return ExistingParts(base, extensions, 1);
}

bool BaseNameTaken(const std::string &base)
{
    return Exists(LogFileName(base)) || !ExistingParts(base, PartExtensions(), 0).empty();
}

std::optional<std::string> FreeBaseName(const std::string &base)
{
    if (!BaseNameTaken(base))
        return base;
    for (int n = kFirstAlternative; n <= kLastAlternative; ++n) {
        std::string candidate = base + "-" + std::to_string(n);
        if (!BaseNameTaken(candidate))
            return candidate;
    }
    return std::nullopt;
}

bool EmptyBaseName(const std::string &base) { return base.empty() || base.back() == '/'; }

} // namespace quelmar
