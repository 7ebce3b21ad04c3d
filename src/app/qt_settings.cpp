// app/qt_settings.cpp -- SettingsStore on QSettings (Qt 6 Core) in its native per-user form.
#include "app/qt_settings.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "app/app_texts.h"

namespace kelvane::app {
namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString KeyPath(std::string_view section, std::string_view key) {
  return ToQString(section) + QLatin1Char('/') + ToQString(key);
}

class QtSettingsStore : public SettingsStore {
 public:
  explicit QtSettingsStore(const std::string& application)
      : settings_(QSettings::NativeFormat, QSettings::UserScope, QString::fromUtf8(texts::kCompany),
                  QString::fromUtf8(application.c_str())) {}

  std::optional<std::string> ReadText(std::string_view section, std::string_view key) override {
    const QVariant value = settings_.value(KeyPath(section, key));
    if (!value.isValid()) return std::nullopt;
    // An unquoted INI value with commas comes back as a list; its text is the parts rejoined.
    if (value.typeId() == QMetaType::QStringList) {
      return value.toStringList().join(QLatin1Char(',')).toStdString();
    }
    return value.toString().toStdString();
  }

  void WriteInteger(std::string_view section, std::string_view key, int32_t value) override {
    settings_.setValue(KeyPath(section, key), value);
  }

  bool Flush() override {
    settings_.sync();
    return settings_.status() == QSettings::NoError;
  }

  std::string FilePath() const { return settings_.fileName().toStdString(); }

 private:
  QSettings settings_;
};

}  // namespace

std::unique_ptr<SettingsStore> OpenQtSettings(const std::string& application) {
  return std::make_unique<QtSettingsStore>(application);
}

std::string QtSettingsFilePath(const std::string& application) {
  return QtSettingsStore(application).FilePath();
}

}  // namespace kelvane::app
