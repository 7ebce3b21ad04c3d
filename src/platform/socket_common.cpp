// platform/socket_common.cpp -- what both socket twins share: line reading, which needs
// nothing of the system but ReceiveSome.
#include "platform/socket.h"

namespace kelvane::platform {

int ReceiveLine(SocketHandle socket, char* buffer, int capacity) {
  int consumed = 0;
  int stored = 0;
  while (consumed < capacity - 1) {
    char c;
    const long n = ReceiveSome(socket, &c, 1);
    if (n <= 0) {
      buffer[stored] = '\0';
      if (n < 0) return -1;
      return consumed == 0 ? 0 : consumed + 1;
    }
    ++consumed;
    if (c == '\n') {
      buffer[stored] = '\0';
      return consumed;
    }
    if (c != '\r') buffer[stored++] = c;
  }
  buffer[stored] = '\0';
  return capacity;
}

}  // namespace kelvane::platform
