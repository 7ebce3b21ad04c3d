// tools/server_image.h -- tells a bare Kelvane server from other files before a package is
// built onto it: a 64-bit little-endian ELF executable or a PE32+ x86-64 one that ends where
// its own headers say and holds the marker every kelvane executable carries
// (app/server_marker.h). Both kinds are told apart on either platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvane::pack {

// Where the ELF content of the first |size| bytes of the file open at |fd| ends: the furthest
// byte that its ELF header, program headers, section headers or sections occupy. nullopt
// with |*error| set when the bytes are not a 64-bit little-endian ELF executable or their
// headers point outside them.
std::optional<uint64_t> ElfContentEnd(int fd, uint64_t size, std::string* error);

// Where the PE content of the first |size| bytes of the file open at |fd| ends: the furthest
// of its headers, its sections' raw data, its COFF symbol and string tables and its
// certificate table. nullopt with |*error| set when the bytes are not a PE32+ x86-64 image or
// its headers point outside them.
std::optional<uint64_t> PeContentEnd(int fd, uint64_t size, std::string* error);

// Whether the first |size| bytes of the file open at |fd| hold the server marker; nullopt
// with |*error| set when they cannot be read.
std::optional<bool> HoldsServerMarker(int fd, uint64_t size, std::string* error);

// Checks that the first |image_end| bytes of the file open at |fd| are a whole Kelvane
// server executable with nothing after it. Returns an empty string when they are, else why
// they are not.
std::string CheckServerImage(int fd, uint64_t image_end);

}  // namespace kelvane::pack
