// app/gui/gui_texts.h -- the texts only the windows show: captions, button and label texts,
// the about box's lines, and the names by which the windows find their controls.
#pragma once

namespace kelvane::gui::texts {

// Main window.
inline constexpr const char* kLogControlName = "LogView1000";
inline constexpr const char* kLogControlText = "Custom1";
inline constexpr const char* kReadMeButtonName = "ReadMe1004";
inline constexpr const char* kStatusLabelName = "Status1005";
inline constexpr const char* kAboutButton = "&About...";
inline constexpr const char* kExitButton = "E&xit";

// Ports dialog.
inline constexpr const char* kPortsCaption = "TCP/IP Ports";
inline constexpr const char* kOkButton = "OK";
inline constexpr const char* kCancelButton = "Cancel";

// Password dialog.
inline constexpr const char* kPasswordCaption = "Enter Password";

// About box: the product's name with its version, then the maker's lines.
inline constexpr const char* kAboutCaption = "About FTP Server";
inline constexpr const char* kAboutCredit = "Serves its own package over FTP and HTTP.";
inline constexpr const char* kAboutCredit2 = "Built with Qt and zlib.";

// The icons, from the resources compiled into the program.
inline constexpr const char* kLargeIcon = ":/kelvane/icon32.png";
inline constexpr const char* kSmallIcon = ":/kelvane/icon16.png";
inline constexpr const char* kHugeIcon = ":/kelvane/icon64.png";

}  // namespace kelvane::gui::texts
