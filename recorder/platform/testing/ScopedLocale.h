// A locale switched on for a test the way a Qt program does it.
#pragma once

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

namespace quelmar::testing {

// Sets LC_ALL=name and calls setlocale(LC_ALL, "") (as QApplication does);
// restores both on destruction. Active() is false when the locale is not
// installed (scripts/install-deps generates de_DE.UTF-8).
class ScopedLocale {
public:
    explicit ScopedLocale(const char *name)
    {
        const char *locale = std::setlocale(LC_ALL, nullptr);
        previousLocale_ = locale ? locale : "C";
        if (const char *variable = std::getenv("LC_ALL"))
            previousVariable_ = variable;
        setenv("LC_ALL", name, 1);
        active_ = std::setlocale(LC_ALL, "") != nullptr;
    }
    ~ScopedLocale()
    {
        if (previousVariable_)
            setenv("LC_ALL", previousVariable_->c_str(), 1);
        else
            unsetenv("LC_ALL");
        std::setlocale(LC_ALL, previousLocale_.c_str());
    }
    ScopedLocale(const ScopedLocale &) = delete;
    ScopedLocale &operator=(const ScopedLocale &) = delete;
    bool Active() const { return active_; }

private:
    std::string previousLocale_;
    std::optional<std::string> previousVariable_;
    bool active_ = false;
};

// The German locale the number tests run under.
inline constexpr char kGermanLocale[] = "de_DE.UTF-8";

} // namespace quelmar::testing
