// platform/local_time_win.cpp -- the Windows twin of the local time conversion.
#include "platform/local_time.h"

namespace kelvane::platform {

bool LocalTime(std::time_t moment, std::tm* parts) {
  std::tm result{};
  if (localtime_s(&result, &moment) != 0) return false;
  *parts = result;
  return true;
}

}  // namespace kelvane::platform
