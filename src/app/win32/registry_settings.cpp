// app/win32/registry_settings.cpp -- the registry settings store.
#include "app/win32/registry_settings.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <utility>

#include "app/app_texts.h"

namespace kelvane::win32 {
namespace {

// An open key that closes itself.
class Key {
 public:
  explicit Key(const std::string& path) {
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~Key() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class RegistrySettingsStore : public app::SettingsStore {
 public:
  explicit RegistrySettingsStore(std::string application) : application_(std::move(application)) {}

  std::optional<std::string> ReadText(std::string_view section, std::string_view key) override {
    const Key open(RegistryKeyPath(application_, section));
    if (open.get() == nullptr) return std::nullopt;
    const std::string name(key);
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExA(open.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::string bytes(size, '\0');
    if (::RegQueryValueExA(open.get(), name.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    bytes.resize(size);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      const size_t end = bytes.find('\0');
      if (end != std::string::npos) bytes.resize(end);
      return bytes;
    }
    // Any other value that fills 4 bytes (REG_DWORD, a 4-byte REG_BINARY) is a 32-bit integer.
    if (size == sizeof(uint32_t)) {
      uint32_t value = 0;
      std::memcpy(&value, bytes.data(), sizeof value);
      return std::to_string(value);
    }
    return std::nullopt;
  }

  void WriteInteger(std::string_view section, std::string_view key, int32_t value) override {
    pending_[{std::string(section), std::string(key)}] = value;
  }

  bool Flush() override {
    bool ok = true;
    for (const auto& [where, value] : pending_) {
      const Key open(RegistryKeyPath(application_, where.first));
      const auto dword = static_cast<DWORD>(value);
      ok = open.get() != nullptr &&
           ::RegSetValueExA(open.get(), where.second.c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&dword), sizeof dword) == ERROR_SUCCESS &&
           ok;
    }
    pending_.clear();
    return ok;
  }

 private:
  std::string application_;
  std::map<std::pair<std::string, std::string>, int32_t> pending_;
};

}  // namespace

std::string RegistryKeyPath(const std::string& application, std::string_view section) {
  return std::string("Software\\") + app::texts::kCompany + "\\" + application + "\\" +
         std::string(section);
}

std::unique_ptr<app::SettingsStore> OpenRegistrySettings(const std::string& application) {
  return std::make_unique<RegistrySettingsStore>(application);
}

}  // namespace kelvane::win32
