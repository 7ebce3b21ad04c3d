// app/app_texts.h -- every text the application shows or logs, in one place.
//
// Texts with a printf conversion are formats; the others are shown as they stand.
#pragma once

namespace kelvane::app::texts {

// Settings store location and the entries the application reads from its own package.
inline constexpr const char* kCompany = "Varnek Systems";
inline constexpr const char* kParametersSection = "Parameters";
inline constexpr const char* kFtpPortKey = "FTPPort";
inline constexpr const char* kHttpPortKey = "HTTPPort";
inline constexpr const char* kLogFileKey = "LogFile";
inline constexpr const char* kIdleTimeoutKey = "IdleTimeout";
inline constexpr const char* kHttpHeadTimeoutKey = "HttpHeadTimeout";
inline constexpr const char* kHttpMinBodyRateKey = "HttpMinBodyRate";
inline constexpr const char* kFtpModeKey = "FtpMode";
inline constexpr const char* kPassivePortsKey = "PassivePorts";
inline constexpr const char* kPassiveAddressKey = "PassiveAddress";
inline constexpr const char* kLogLinesKey = "LogLines";
inline constexpr const char* kUnpackCacheKey = "UnpackCacheMB";
inline constexpr const char* kClassicModeValue = "classic";
inline constexpr const char* kModernModeValue = "modern";
inline constexpr const char* kVersionEntry = "\\version.txt";
inline constexpr const char* kHtmlReadMeEntry = "\\www\\index.htm";
inline constexpr const char* kPdfReadMeEntry = "\\pdf\\index.pdf";
inline constexpr const char* kPdfCopySource = "pdf\\index.pdf";
inline constexpr const char* kPdfCopyName = "readme.pdf";
inline constexpr const char* kReadMeHost = "localhost";
inline constexpr const char* kReadMePath = "/www/index.htm";

// Start-up.
inline constexpr const char* kLogOption = "-log";
inline constexpr const char* kTraceSuffix = ".log";
inline constexpr const char* kNoArchiveName = "Unable to get archive name!";
inline constexpr const char* kArchiveNotOpened = "Unable to open archive!";

// Main window: caption, status lines, buttons, port messages.
inline constexpr const char* kDefaultCaption = "FTP Server v2.0";
inline constexpr const char* kProductLine = "Kelvane v3.01";
inline constexpr const char* kCopyrightLine = "Copyright (C) 2026 Varnek Systems";
inline constexpr const char* kFtpReadyFormat = "FTP server ready on port %d.";
inline constexpr const char* kHtmlReadMeButton = "ReadMe (html)...";
inline constexpr const char* kPdfReadMeButton = "ReadMe (pdf)...";
inline constexpr const char* kFtpPortErrorFormat =
    "ERROR: Unable to open FTP port %d! Would you like to select a different port?";
inline constexpr const char* kRestartNeeded =
    "Please restart application for changes to take effect!";
inline constexpr const char* kHttpRunFailedFormat = "Unable to run HTTP server on port %d!";
inline constexpr const char* kHttpPortsTakenFormat = "Ports %d to %d could not be opened.";

// Ports dialog.
inline constexpr const char* kFtpPortLabel = "FTP Server Port:";
inline constexpr const char* kHttpPortLabel = "HTTP Server Port:";
inline constexpr const char* kNotPositiveInteger = "Please enter a positive integer.";
inline constexpr const char* kOutOfRangeFormat = "Please enter an integer between %1 and %2.";

// The windows' own texts, on both platforms: captions, buttons and the about box's credit.
inline constexpr const char* kLogControlText = "Custom1";
inline constexpr const char* kAboutButton = "&About...";
inline constexpr const char* kExitButton = "E&xit";
inline constexpr const char* kPortsCaption = "TCP/IP Ports";
inline constexpr const char* kOkButton = "OK";
inline constexpr const char* kCancelButton = "Cancel";
inline constexpr const char* kPasswordCaption = "Enter Password";
inline constexpr const char* kAboutCaption = "About FTP Server";
inline constexpr const char* kAboutCredit = "Serves its own package over FTP and HTTP.";

// Password and read-me.
inline constexpr const char* kPasswordPrompt =
    "This software package is password protected. Please enter the correct password to "
    "continue:";
inline constexpr const char* kInvalidPassword = "Invalid password!";
inline constexpr const char* kNoTempFolder = "Unable to locate a TEMP directory!";
inline constexpr const char* kPdfNotExtracted = "Unable to extract pdf file to TEMP directory!";

// The headless front end's own lines on stderr, and the environment it reads.
inline constexpr const char* kHeadlessVariable = "KELVANE_HEADLESS";
inline constexpr const char* kPasswordVariable = "KELVANE_PASSWORD";
// Set (to anything) only by bench/ftp_curl_bench.py, which compares downloads with and without
// the transfer record in one executable; see StartupEnvironment::record_transfers.
inline constexpr const char* kBenchNoTransferRecordVariable = "KELVANE_BENCH_NO_TRANSFER_RECORD";
inline constexpr const char* kCaptionLabel = "Caption: ";
inline constexpr const char* kReadMeLabel = "Read-me: ";
inline constexpr const char* kPasswordLabel = "Password: ";
inline constexpr const char* kYesNoPrompt = "Yes or No [y/N]: ";
// The headless front end's transfer and address lines (seconds with two decimals, MB/s in
// 10^6 bytes per second with one).
inline constexpr const char* kTransferLineFormat =
    "Transfer: %s \"%s\" %u/%u bytes in %.2f s (%.1f MB/s) %s";
inline constexpr const char* kTransferTotalsFormat = "Transfers: %llu complete, %llu failed";
inline constexpr const char* kFtpAddressFormat = "Address: ftp://%s:%u/";
inline constexpr const char* kHttpAddressFormat = "Address: http://%s:%u/www/index.htm";
// How a transfer ended, in those lines and in the transfer file.
inline constexpr const char* kResultComplete = "complete";
inline constexpr const char* kResultFailedFormat = "failed: %s";
inline constexpr const char* kResultAborted = "aborted";
inline constexpr const char* kReasonDamaged = "damaged entry";
inline constexpr const char* kReasonConnectionLost = "data connection lost";
inline constexpr const char* kReasonStalled = "stalled";
inline constexpr const char* kReasonRefused = "refused";
// The window's transfer panel and its address line.
inline constexpr const char* kPanelHeadings[] = {"Client", "File", "Progress",
                                                 "Rate", "Time left", "Result"};
inline constexpr const char* kPanelSending = "sending";
inline constexpr const char* kPanelPercentFormat = "%d %%";
inline constexpr const char* kPanelRateFormat = "%.1f MB/s";
inline constexpr const char* kPanelTotalsFormat =
    "In progress: %llu    Complete: %llu    Failed: %llu";
inline constexpr const char* kDeviceAddressPrefix = "Devices can reach this PC at ";
inline constexpr const char* kDeviceAddressJoin = " or ";
inline constexpr const char* kDeviceUrlFormat = "ftp://%s:%u/";
inline constexpr const char* kNoDeviceAddress =
    "No network connection: devices cannot reach this PC yet";
// The transfer file beside the log file: its extension and its first row.
inline constexpr const char* kTransferFileExtension = ".csv";
inline constexpr const char* kTransferFileHeader =
    "start,client,user,path,bytes,total,seconds,result";
inline constexpr const char* kRunningNotice = "Kelvane is running; Ctrl+C or SIGTERM ends it.";

// What a user can do about a failure: the causes added to the messages above, and the log
// file that does not open (a status line, not a box).
inline constexpr const char* kPrivilegedPortFormat =
    "Port %d is a privileged port and this process may not open it: run it as root, or allow "
    "it with: setcap cap_net_bind_service=+ep %s";
inline constexpr const char* kPasswordRequired =
    "Password required: this package is password protected and no terminal is attached; set "
    "KELVANE_PASSWORD to the password.";
inline constexpr const char* kLogFileFailedFormat =
    "Unable to open log file %s (%s)! Lines are not written to a file until a later day's file "
    "opens.";

// Trace lines of start-up.
inline constexpr const char* kDescriptorLimitTrace =
    "ServerApp: the soft limit of open descriptors could not be raised to the hard limit!\n";

}  // namespace kelvane::app::texts
