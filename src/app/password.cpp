// app/password.cpp -- reading the package's own entries and the password step.
#include "app/password.h"

#include <memory>

#include "app/app_texts.h"
#include "app/front_end.h"

namespace kelvane::app {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::optional<std::string> ReadEntryText(archive::FileArchiveReader& reader,
                                         const archive::ArchiveCursor& cursor,
                                         std::string_view path, size_t limit) {
  std::unique_ptr<archive::ArchiveFileStream> stream = reader.OpenFile(cursor, path);
  if (!stream) return std::nullopt;
  std::string text(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    const size_t n = stream->ActiveSource()->Read(text.data() + got, limit - got);
    if (n == 0) break;
    got += n;
  }
  text.resize(got);
  text.resize(UpToNul(text).size());
  return text;
}

std::string ExpectedPassword(std::string_view entry_text) {
  if (entry_text.ends_with("\r\n")) {
    entry_text.remove_suffix(2);
  } else if (entry_text.ends_with('\n')) {
    entry_text.remove_suffix(1);
  }
  return std::string(entry_text);
}

bool PasswordMatches(std::string_view expected, std::string_view typed) {
  typed = UpToNul(typed);
  if (expected.size() != typed.size()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (LowerAscii(expected[i]) != LowerAscii(typed[i])) return false;
  }
  return true;
}

bool CheckPackagePassword(archive::FileArchiveReader& reader, const archive::ArchiveCursor& root,
                          FrontEnd& front_end) {
  const std::optional<std::string> entry = ReadEntryText(reader, root, archive::kPasswordEntryPath);
  if (!entry) return true;
  const std::string expected = ExpectedPassword(*entry);
  std::string typed;  // kept between showings, as the prompt's field keeps it
  for (int showing = 1; showing <= kPasswordShowings; ++showing) {
    if (!front_end.AskPassword(showing, &typed)) return false;
    if (PasswordMatches(expected, typed)) return true;
    front_end.ShowMessage(texts::kInvalidPassword);
  }
  return false;
}

}  // namespace kelvane::app
