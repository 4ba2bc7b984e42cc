#include "app/QtSettingsStore.h"

namespace quelmar {

namespace {

constexpr char kOrganisation[] = "Pellix Soft";
constexpr char kApplication[] = "QuelmarRecorder";
constexpr char kGroup[] = "Settings";

QString Key(const std::string &key) { return QString::fromStdString(key); }

} // namespace

QtSettingsStore::QtSettingsStore()
    : settings_(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication)
{
    settings_.beginGroup(kGroup);
}

std::optional<int64_t> QtSettingsStore::ReadInt(const std::string &key) const
{
    const QVariant value = settings_.value(Key(key));
    if (!value.isValid())
        return std::nullopt;
    bool ok = false;
    const qlonglong number = value.toString().trimmed().toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return static_cast<int64_t>(number);
}

std::optional<std::string> QtSettingsStore::ReadString(const std::string &key) const
{
    const QVariant value = settings_.value(Key(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

void QtSettingsStore::WriteInt(const std::string &key, int64_t value)
{
    settings_.setValue(Key(key), static_cast<qlonglong>(value));
}

void QtSettingsStore::WriteString(const std::string &key, const std::string &value)
{
    settings_.setValue(Key(key), QString::fromStdString(value));
}

bool QtSettingsStore::Sync()
{
    settings_.sync();
    return settings_.status() == QSettings::NoError;
}

std::string QtSettingsStore::FileName() const { return settings_.fileName().toStdString(); }

} // namespace quelmar
