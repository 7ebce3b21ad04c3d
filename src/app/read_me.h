// app/read_me.h -- the read-me button: the package's pages in the browser, or its PDF
// extracted to the temporary folder and handed to the viewer.
//
// Window's thread. Each press builds the address or extracts the file anew.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/front_end.h"
#include "archive/FileArchiveReader.h"

namespace kelvane::app {

// Opens the read-me of |mode| through |front_end|: for Html the browser address with
// |http_port|; for Pdf the entry "pdf\index.pdf" copied to "readme.pdf" in |temp_folder| (a
// path ending in '/', or nullopt when the system has none), with "Unable to locate a TEMP
// directory!" or "Unable to extract pdf file to TEMP directory!" when that fails; for None
// nothing.
void OpenReadMe(ReadMeMode mode, uint16_t http_port, archive::FileArchiveReader& reader,
                const std::optional<std::string>& temp_folder, FrontEnd& front_end);

}  // namespace kelvane::app
