// app/server_marker.h -- the marker compiled into every kelvane executable. kelvane-pack builds
// packages only onto files whose executable image holds these bytes.
#pragma once

#include <string_view>

namespace kelvane::app {

// Changing it makes kelvane-pack refuse servers built before the change, so it stays as it is.
// Code other than server_marker.cpp should not odr-use it: every executable that holds the
// bytes passes for a server (kelvane-pack keeps an inverted copy instead).
inline constexpr std::string_view kServerMarker = "KELVANE-SERVER-IMAGE/1:7c2e9f41b3d6";

}  // namespace kelvane::app
