// ftp/ftp_commands.h -- the FTP command table, its lookup, and every reply text of the service.
#pragma once

namespace kelvane::ftp {

// Command numbers follow the command list of RFC 959 (OPTS added as 34); 0 is a word that is
// not in the table. The missing numbers (MODE, STOR, STOU, RNTO, DELE, RMD, MKD) never occur.
enum Command : int {
  kUnknownCommand = 0,
  kUser = 1,
  kPass = 2,
  kAcct = 3,
  kCwd = 4,
  kCdup = 5,
  kSmnt = 6,
  kQuit = 7,
  kRein = 8,
  kPort = 9,
  kPasv = 10,
  kType = 11,
  kStru = 12,
  kRetr = 14,
  kAppe = 17,
  kAllo = 18,
  kRest = 19,
  kRnfr = 20,
  kAbor = 22,
  kPwd = 26,
  kList = 27,
  kNlst = 28,
  kSite = 29,
  kSyst = 30,
  kStat = 31,
  kHelp = 32,
  kNoop = 33,
  kOpts = 34,
};

// The command number of |line|: its first four characters (or fewer, up to a space in the
// fourth place or the end), compared without regard to ASCII case with the words of the table
// in table order. 0 when none is equal.
int LookupCommand(const char* line);

// Whether a command needs a completed login (every number but USER, PASS, ACCT, QUIT, HELP and
// NOOP; 0 is answered before the login is looked at).
bool NeedsLogin(int number);

// Reply texts, byte for byte as they go on the wire.
namespace reply {
inline constexpr char kGreeting[] = "220 Connected to Varnek FTP server\r\n";
inline constexpr char kDisconnecting[] = "500 Disconnecting\r\n";
inline constexpr char kNotImplemented[] = "502 Command not implemented\r\n";
inline constexpr char kAccessDenied[] = "550 Access is denied\r\n";
inline constexpr char kPleaseLogin[] = "530 Please login with USER and PASS\r\n";
inline constexpr char kGoodbye[] = "221 Goodbye\r\n";
inline constexpr char kUserNotUnderstood[] = "500 USER: command not understood\r\n";
inline constexpr char kUserAccepted[] =
    "331 anonymous access allowed, send email name as PASS\r\n";
inline constexpr char kPassWithoutUser[] = "500 PASS: USER must be sent first\r\n";
inline constexpr char kPassNotUnderstood[] = "500 PASS: command not understood\r\n";
inline constexpr char kCannotLogIn[] = "530 User cannot log in\r\n";
// The logon banner after an accepted PASS: four lines of one 220 reply, in one text so that
// they leave in one send (a reply in pieces waits for the client's delayed acknowledgement).
// Its two middle lines start with a space because a line of three digits and a space ends a
// multi-line reply for many clients (curl among them), whatever its code.
inline constexpr char kLogonBanner[] =
    "220-logon successful\r\n"
    " 230 ===============================\r\n"
    " 230 Varnek FTP Server! v2.0\r\n"
    "220 ===============================\r\n";
inline constexpr char kCwdOk[] = "250 CWD command successful\r\n";
inline constexpr char kCwdFailed[] = "550 CWD failed, path not found\r\n";
inline constexpr char kPortNotUnderstood[] = "500 PORT: command not understood\r\n";
inline constexpr char kPortOk[] = "250 PORT command successful\r\n";
inline constexpr char kPortFailed[] = "550 PORT failed\r\n";
inline constexpr char kTypeNotUnderstood[] = "500 TYPE: command not understood\r\n";
inline constexpr char kTypeOk[] = "250 TYPE command successful\r\n";
inline constexpr char kTypeFailed[] = "550 TYPE failed\r\n";
inline constexpr char kStruNotUnderstood[] = "500 STRU: command not understood\r\n";
inline constexpr char kStruOk[] = "250 STRU command successful\r\n";
inline constexpr char kStruFailed[] = "550 STRU failed\r\n";
inline constexpr char kRetrStarted[] = "150 RETR command started\r\n";
inline constexpr char kTransferComplete[] = "226 Transfer complete.\r\n";
inline constexpr char kRetrFailed[] = "550 RETR failed\r\n";
inline constexpr char kRnfrNotUnderstood[] = "500 RNFR: command not understood\r\n";
inline constexpr char kRnfrPending[] = "350 requested file action pending further information\r\n";
// printf format: the current directory.
inline constexpr char kCurrentDirectoryFormat[] = "257 \"%s\" is current directory\r\n";
inline constexpr char kOpeningData[] = "150 Opening ASCII mode data connection\r\n";
inline constexpr char kListFailed[] = "550 LIST failed\r\n";
inline constexpr char kNlstFailed[] = "550 NLST failed\r\n";
inline constexpr char kNoopOk[] = "200 NOOP command successful\r\n";
inline constexpr char kOptsOk[] = "250 Okay!\r\n";
// HELP's six lines, in one text.
inline constexpr char kHelp[] =
    "214-The following commands are implemented\r\n"
    "     USER  PASS  ACCT  QUIT  PORT  RETR\r\n"
    "     STOR  DELE  RNFR  PWD   CWD   CDUP\r\n"
    "     MKD   RMD   NOOP  TYPE  MODE  STRU\r\n"
    "     LIST  HELP\r\n"
    "214  HELP command successful\r\n";
}  // namespace reply

}  // namespace kelvane::ftp
