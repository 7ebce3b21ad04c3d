// platform/local_time_linux.cpp -- the Linux twin of the local time conversion.
#include "platform/local_time.h"

namespace kelvane::platform {

bool LocalTime(std::time_t moment, std::tm* parts) {
  std::tm result{};
  if (localtime_r(&moment, &result) == nullptr) return false;
  *parts = result;
  return true;
}

}  // namespace kelvane::platform
