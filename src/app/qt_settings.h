// app/qt_settings.h -- the settings store on QSettings: on Linux the INI file
// $XDG_CONFIG_HOME/Varnek Systems/<application>.conf (~/.config when the variable is unset).
//
// The only file of the application that includes Qt. One object per store; window's thread.
#pragma once

#include <memory>
#include <string>

#include "app/settings.h"

namespace kelvane::app {

// A store for |application| under the company "Varnek Systems". Reading creates nothing;
// Flush writes the file (and its folder) when something was stored.
std::unique_ptr<SettingsStore> OpenQtSettings(const std::string& application);

// The file OpenQtSettings(|application|) reads and writes.
std::string QtSettingsFilePath(const std::string& application);

}  // namespace kelvane::app
