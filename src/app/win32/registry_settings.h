// app/win32/registry_settings.h -- the settings store on the registry:
// HKEY_CURRENT_USER\Software\Varnek Systems\<application>\<section>. Integers are REG_DWORD
// values, LogFile a REG_SZ one.
//
// One object per store; window's thread.
#pragma once

#include <memory>
#include <string>

#include "app/settings.h"

namespace kelvane::win32 {

// A store for |application| under the company key. Reading creates the keys of the path when
// they are missing, never a value; a value that can be read into 4 bytes reads as its unsigned
// decimal text, a string value as its text. Flush writes what was stored.
std::unique_ptr<app::SettingsStore> OpenRegistrySettings(const std::string& application);

// The key path below HKEY_CURRENT_USER of |section| of |application|.
std::string RegistryKeyPath(const std::string& application, std::string_view section);

}  // namespace kelvane::win32
