// app/server_marker.cpp -- places the server marker in the kelvane executable's read-only data.
// Linked into the executable itself, not into kelvane_app: nothing refers to the marker, so an
// object taken from a static library for its references would never bring it in.
#include <cstddef>

#include "app/server_marker.h"

namespace kelvane::app {
namespace {

struct MarkerBytes {
  char bytes[kServerMarker.size()];
};

constexpr MarkerBytes CopyMarker() {
  MarkerBytes copy{};
  for (size_t i = 0; i < kServerMarker.size(); ++i) copy.bytes[i] = kServerMarker[i];
  return copy;
}

// |used| keeps the compiler from dropping the unreferenced constant, |retain| keeps the linker
// from collecting its section under --gc-sections (ELF only: PE images know no such flag, and
// their linker keeps the data without garbage collection).
#if defined(__ELF__)
[[gnu::used, gnu::retain]] const MarkerBytes kServerMarkerInImage = CopyMarker();
#else
[[gnu::used]] const MarkerBytes kServerMarkerInImage = CopyMarker();
#endif

}  // namespace
}  // namespace kelvane::app
