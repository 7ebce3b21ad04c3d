// app/read_me.cpp -- what the read-me button does in each mode.
#include "app/read_me.h"

#include "app/app_texts.h"
#include "app/startup_rules.h"

namespace kelvane::app {

void OpenReadMe(ReadMeMode mode, uint16_t http_port, archive::FileArchiveReader& reader,
                const std::optional<std::string>& temp_folder, FrontEnd& front_end) {
  switch (mode) {
    case ReadMeMode::Html:
      front_end.OpenDocument(ReadMeAddress(http_port));
      return;
    case ReadMeMode::Pdf: {
      if (!temp_folder) {
        front_end.ShowMessage(texts::kNoTempFolder);
        return;
      }
      const std::string path = *temp_folder + texts::kPdfCopyName;
      if (!reader.Copy(texts::kPdfCopySource, path)) {
        front_end.ShowMessage(texts::kPdfNotExtracted);
        return;
      }
      front_end.OpenDocument(path);
      return;
    }
    case ReadMeMode::None:
      return;
  }
}

}  // namespace kelvane::app
