// app/gui/gui_texts.h -- the texts only the windows show: captions, button and label texts,
// the about box's lines, and the names by which the windows find their controls.
#pragma once

#include "app/app_texts.h"

namespace kelvane::gui::texts {

// Main window.
inline constexpr const char* kLogControlName = "LogView1000";
inline constexpr const char* kLogControlText = app::texts::kLogControlText;
inline constexpr const char* kReadMeButtonName = "ReadMe1004";
inline constexpr const char* kStatusLabelName = "Status1005";
inline constexpr const char* kAddressLabelName = "DeviceAddress";
inline constexpr const char* kTransferPanelName = "TransferPanel";
inline constexpr const char* kPackageCheckName = "PackageCheck";
inline constexpr const char* kAboutButton = app::texts::kAboutButton;
inline constexpr const char* kExitButton = app::texts::kExitButton;

// Ports dialog.
inline constexpr const char* kPortsCaption = app::texts::kPortsCaption;
inline constexpr const char* kOkButton = app::texts::kOkButton;
inline constexpr const char* kCancelButton = app::texts::kCancelButton;

// Password dialog.
inline constexpr const char* kPasswordCaption = app::texts::kPasswordCaption;

// About box: the product's name with its version, then the maker's lines.
inline constexpr const char* kAboutCaption = app::texts::kAboutCaption;
inline constexpr const char* kAboutCredit = app::texts::kAboutCredit;
inline constexpr const char* kAboutCredit2 = "Built with Qt and zlib.";

// The icons, from the resources compiled into the program.
inline constexpr const char* kLargeIcon = ":/kelvane/icon32.png";
inline constexpr const char* kSmallIcon = ":/kelvane/icon16.png";
inline constexpr const char* kHugeIcon = ":/kelvane/icon64.png";

}  // namespace kelvane::gui::texts
