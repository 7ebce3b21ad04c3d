// platform/terminal.h -- line input from a descriptor, with or without echo on a terminal.
//
// Used by the headless front end on the window's thread only.
#pragma once

#include <string>

namespace kelvane::platform {

// Whether |fd| refers to a terminal.
bool IsTerminal(int fd);

// Reads one line from |fd| a byte per read, so nothing beyond the line is consumed. The LF is
// not kept, nor a CR just before it. False at the end of input before any byte, or on an error.
bool ReadLine(int fd, std::string* line);

// Like ReadLine, with the terminal's echo switched off while the line is typed. The terminal's
// settings come back afterwards, and also when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the
// process meanwhile. On a descriptor that is not a terminal it is ReadLine. Windows: the
// console input's ENABLE_ECHO_INPUT is turned off, and back on also when a console control
// event comes meanwhile.
bool ReadLineNoEcho(int fd, std::string* line);

}  // namespace kelvane::platform
