// ftp/ftp_commands.cpp -- the command table and its lookup.
#include "ftp/ftp_commands.h"

#include <cstring>

namespace kelvane::ftp {
namespace {

struct CommandWord {
  const char* word;
  int number;
};

// In lookup order; XPWD shares PWD's number.
constexpr CommandWord kCommandTable[] = {
    {"USER", kUser}, {"PASS", kPass}, {"ACCT", kAcct}, {"CWD", kCwd},   {"CDUP", kCdup},
    {"SMNT", kSmnt}, {"QUIT", kQuit}, {"REIN", kRein}, {"PORT", kPort}, {"PASV", kPasv},
    {"TYPE", kType}, {"STRU", kStru}, {"APPE", kAppe}, {"ALLO", kAllo}, {"REST", kRest},
    {"RNFR", kRnfr}, {"OPTS", kOpts}, {"ABOR", kAbor}, {"PWD", kPwd},   {"XPWD", kPwd},
    {"LIST", kList}, {"NLST", kNlst}, {"SITE", kSite}, {"SYST", kSyst}, {"STAT", kStat},
    {"HELP", kHelp}, {"NOOP", kNoop}, {"RETR", kRetr},
};

// Consulted after kCommandTable in the modern mode only.
constexpr CommandWord kModernTable[] = {
    {"FEAT", kFeat}, {"EPRT", kEprt}, {"EPSV", kEpsv}, {"MDTM", kMdtm},
    {"SIZE", kSize}, {"MLST", kMlst}, {"MLSD", kMlsd},
};

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

namespace {

template <size_t N>
int LookupIn(const char* line, const CommandWord (&table)[N]) {
  char word[5] = {};
  for (int i = 0; i < 4 && line[i] != '\0'; ++i) word[i] = UpperAscii(line[i]);
  // A three-letter word followed by a space is taken alone.
  if (word[3] == ' ') word[3] = '\0';
  for (const CommandWord& entry : table) {
    if (std::strcmp(word, entry.word) == 0) return entry.number;
  }
  return kUnknownCommand;
}

}  // namespace

int LookupCommand(const char* line) { return LookupIn(line, kCommandTable); }

int LookupModernCommand(const char* line) {
  const int number = LookupIn(line, kCommandTable);
  return number != kUnknownCommand ? number : LookupIn(line, kModernTable);
}

bool NeedsLogin(int number) {
  switch (number) {
    case kUser:
    case kPass:
    case kAcct:
    case kQuit:
    case kHelp:
    case kNoop:
    case kFeat:  // clients ask for the features before they log in
      return false;
    default:
      return true;
  }
}

}  // namespace kelvane::ftp
