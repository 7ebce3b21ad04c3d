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
  // Words of the modern mode only, numbered on after OPTS: FEAT (RFC 2389), EPRT and EPSV
  // (RFC 2428), MDTM, SIZE, MLST and MLSD (RFC 3659). The classic mode knows none of them.
  kFeat = 35,
  kEprt = 36,
  kEpsv = 37,
  kMdtm = 38,
  kSize = 39,
  kMlst = 40,
  kMlsd = 41,
};

// The command number of |line|: its first four characters (or fewer, up to a space in the
// fourth place or the end), compared without regard to ASCII case with the words of the table
// in table order. 0 when none is equal.
int LookupCommand(const char* line);

// The same for the modern mode: the classic table first, then the modern words.
int LookupModernCommand(const char* line);

// Whether a command needs a completed login (every number but USER, PASS, ACCT, QUIT, HELP,
// NOOP and FEAT; 0 is answered before the login is looked at).
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

// The replies of the modern mode. The first four are the classic texts under standard codes.
namespace modern {
inline constexpr char kLogonBanner[] =
    "230-logon successful\r\n"
    "230-===============================\r\n"
    "230-Varnek FTP Server! v2.0\r\n"
    "230 ===============================\r\n";
inline constexpr char kPortOk[] = "200 PORT command successful\r\n";
inline constexpr char kEprtOk[] = "200 EPRT command successful\r\n";
inline constexpr char kTypeOk[] = "200 TYPE command successful\r\n";
inline constexpr char kLineTooLong[] = "500 Command line too long\r\n";
inline constexpr char kTooManyConnections[] = "421 Too many connections\r\n";
inline constexpr char kSystem[] = "215 UNIX Type: L8\r\n";
inline constexpr char kFeatures[] =
    "211-Features:\r\n"
    " EPRT\r\n"
    " EPSV\r\n"
    " MDTM\r\n"
    " MLST type*;size*;modify*;perm*;\r\n"
    " PASV\r\n"
    " REST STREAM\r\n"
    " SIZE\r\n"
    " UTF8\r\n"
    "211 End\r\n";
inline constexpr char kMlstOptsOk[] = "200 MLST OPTS type;size;modify;perm;\r\n";
// printf formats: the address and port bytes; the port.
inline constexpr char kPassiveFormat[] = "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).\r\n";
inline constexpr char kExtendedPassiveFormat[] = "229 Entering Extended Passive Mode (|||%u|)\r\n";
inline constexpr char kEpsvAllOk[] = "200 EPSV ALL command successful\r\n";
inline constexpr char kEpsvAllInEffect[] = "503 EPSV ALL in effect\r\n";
inline constexpr char kNetworkProtocol[] = "522 Network protocol not supported, use (1)\r\n";
inline constexpr char kArgumentNotUnderstood[] = "501 Argument not understood\r\n";
inline constexpr char kNoPassivePort[] = "425 Unable to open a passive listener\r\n";
inline constexpr char kNoDataConnection[] = "425 Unable to open the data connection\r\n";
inline constexpr char kEprtFailed[] = "550 EPRT failed\r\n";
// printf formats: the size, the time as YYYYMMDDHHMMSS.
inline constexpr char kSizeFormat[] = "213 %u\r\n";
inline constexpr char kModifiedFormat[] = "213 %s\r\n";
inline constexpr char kSizeFailed[] = "550 SIZE failed\r\n";
inline constexpr char kMdtmFailed[] = "550 MDTM failed\r\n";
// printf format: the offset.
inline constexpr char kRestFormat[] = "350 Restarting at %llu\r\n";
inline constexpr char kRestPastEnd[] = "554 Restart position beyond the end of the file\r\n";
inline constexpr char kTransferAborted[] = "426 Transfer aborted\r\n";
inline constexpr char kAborOk[] = "226 ABOR command successful\r\n";
inline constexpr char kMlsdFailed[] = "550 MLSD failed\r\n";
inline constexpr char kMlstFailed[] = "550 MLST failed\r\n";
// MLST's reply around the one fact line.
inline constexpr char kMlstBegin[] = "250-Listing\r\n";
inline constexpr char kMlstEnd[] = "250 End\r\n";
// STAT's reply around its status lines.
inline constexpr char kStatusBegin[] = "211-Varnek FTP server status:\r\n";
inline constexpr char kStatusEnd[] = "211 End of status\r\n";
// printf formats of STAT's lines: the client's address; the user name; how data connections
// go (one of the two below, filled in).
inline constexpr char kStatusClientFormat[] = " Connected from %s\r\n";
inline constexpr char kStatusUserFormat[] = " Logged in as %s\r\n";
inline constexpr char kStatusDataFormat[] = " Data connections: %s\r\n";
inline constexpr char kStatusPassiveFormat[] = "passive, listening on port %u";
inline constexpr char kStatusPassiveConnected[] = "passive, the client connected";
inline constexpr char kStatusPassiveExpired[] = "passive, no client came";
inline constexpr char kStatusActiveFormat[] = "active, to %s port %u";
}  // namespace modern
}  // namespace reply

}  // namespace kelvane::ftp
