// ftp/ftp_modern_test.cpp -- the modern mode of a real FtpDaemon on 127.0.0.1, driven through
// raw sockets: every new reply byte for byte, passive connections (formats, ports, the
// foreign-address rule, expiry), restarts on stored and compressed entries, ABOR of a transfer,
// listings of a path, 421; and the classic mode still refusing every new command.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_commands.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_s.h"
#include "ftp_fixture.h"
#include "ftp_test_util.h"
#include "platform/socket.h"
#include "support/trace_capture.h"

namespace kelvane::ftp::ftptest {
namespace {

using namespace std::chrono;

constexpr uint32_t kForeignHost = 0x7F000002;  // 127.0.0.2: another host to the service
constexpr char kNotImplemented[] = "502 Command not implemented\r\n";
constexpr char kRetrStarted[] = "150 RETR command started\r\n";
constexpr char kOpening[] = "150 Opening ASCII mode data connection\r\n";
constexpr char kComplete[] = "226 Transfer complete.\r\n";
constexpr char kNoData[] = "425 Unable to open the data connection\r\n";
constexpr char kNoop[] = "200 NOOP command successful\r\n";

system_clock::time_point July2019() { return sys_days{2019y / July / 1} + 12h; }

// The replies a command gave and, when it opened one, what its data connection carried.
struct TransferResult {
  std::string replies;
  std::optional<std::string> data;
};

// |setup| (PASV or EPSV), a data connection to the port it offers, then |command|: after a 150
// reply the data is read to its end, then the final reply.
TransferResult PassiveTransfer(Client& client, std::string_view command,
                               std::string_view setup = "PASV") {
  TransferResult result;
  const std::string offer = client.Command(setup);
  const std::optional<uint16_t> port = OfferedPort(offer);
  if (!port) {
    result.replies = offer;
    return result;
  }
  platform::UniqueSocket data = ConnectFrom(platform::kLoopback, *port);
  client.Send(std::string(command) + "\r\n");
  result.replies = client.ReadLines(1);
  if (result.replies.rfind("150 ", 0) == 0) {
    result.data = ReadSocketToEnd(data.get());
    result.replies += client.ReadLines(1);
  }
  return result;
}

class FtpModernSessionTest : public testing::Test {
 protected:
  explicit FtpModernSessionTest(test::PackageBuilder builder = FixturePackage())
      : harness_(builder, July2019) {}
  void SetUp() override {
    ASSERT_TRUE(harness_.ok());
    harness_.daemon().SetMode(FtpMode::kModern);
  }

  std::unique_ptr<Client> LoggedIn(std::string_view user = "anonymous") {
    auto client = std::make_unique<Client>(harness_.port());
    EXPECT_TRUE(client->Login(user, kModernBanner));
    return client;
  }

  // Asks STAT until its data line contains |text|; false after a bound.
  static bool StatusSays(Client& client, std::string_view text) {
    const auto deadline = steady_clock::now() + seconds(10);
    while (steady_clock::now() < deadline) {
      if (client.Command("STAT", 5).find(text) != std::string::npos) return true;
    }
    return false;
  }

  Harness harness_;
};

// ---- Replies on the control connection ----

TEST_F(FtpModernSessionTest, TheNewCommandsAnswerWithStandardCodes) {
  const std::string features =
      "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n MLST type*;size*;modify*;perm*;\r\n PASV\r\n"
      " REST STREAM\r\n SIZE\r\n UTF8\r\n211 End\r\n";
  const struct {
    const char* line;
    std::string reply;
    int lines;
  } cases[] = {
      {"SYST", "215 UNIX Type: L8\r\n", 1},
      {"FEAT", features, 10},
      {"TYPE I", "200 TYPE command successful\r\n", 1},
      {"TYPE A N", "200 TYPE command successful\r\n", 1},
      {"TYPE E", "550 TYPE failed\r\n", 1},
      {"PORT 127,0,0,1,8,72", "200 PORT command successful\r\n", 1},
      {"PORT 127,0,0,2,8,72", "550 PORT failed\r\n", 1},
      {"EPRT |1|127.0.0.1|2121|", "200 EPRT command successful\r\n", 1},
      {"EPRT |2|::1|2121|", "522 Network protocol not supported, use (1)\r\n", 1},
      {"EPRT |1|127.0.0.2|2121|", "550 EPRT failed\r\n", 1},
      {"EPRT |1|127.0.0.1|0|", "501 Argument not understood\r\n", 1},
      {"EPRT", "501 Argument not understood\r\n", 1},
      {"EPSV 2", "522 Network protocol not supported, use (1)\r\n", 1},
      {"EPSV 3", "501 Argument not understood\r\n", 1},
      {"SIZE version.txt", "213 6\r\n", 1},
      {"SIZE /pub/stored.bin", "213 100000\r\n", 1},
      {"SIZE pub/Dorvex/Updates/Image", "213 1206620\r\n", 1},
      {"SIZE pub", "550 SIZE failed\r\n", 1},
      {"SIZE password.txt", "550 SIZE failed\r\n", 1},  // the password entry is absent
      {"SIZE missing", "550 SIZE failed\r\n", 1},
      {"SIZE", "550 SIZE failed\r\n", 1},
      {"MDTM version.txt", "213 " + FactTime(0) + "\r\n", 1},
      {"MDTM pub/stored.bin", "213 " + FactTime(test::kSampleTimes.last_write_time) + "\r\n", 1},
      {"MDTM pub", "550 MDTM failed\r\n", 1},
      {"MDTM PASSWORD.TXT", "550 MDTM failed\r\n", 1},
      {"REST 100", "350 Restarting at 100\r\n", 1},
      {"REST 18446744073709551615", "350 Restarting at 18446744073709551615\r\n", 1},
      {"REST -1", "501 Argument not understood\r\n", 1},
      {"REST", "501 Argument not understood\r\n", 1},
      {"MLST version.txt",
       "250-Listing\r\n type=file;size=6;modify=" + FactTime(0) + ";perm=rl; version.txt\r\n"
       "250 End\r\n", 3},
      {"MLST", "250-Listing\r\n type=dir;perm=rl; /\r\n250 End\r\n", 3},
      {"MLST pub/Dorvex", "250-Listing\r\n type=dir;perm=rl; pub/Dorvex\r\n250 End\r\n", 3},
      {"MLST password.txt", "550 MLST failed\r\n", 1},
      {"MLST missing", "550 MLST failed\r\n", 1},
      {"OPTS MLST type;size;", "200 MLST OPTS type;size;modify;perm;\r\n", 1},
      {"OPTS UTF8 ON", "250 Okay!\r\n", 1},
      {"OPTS LANG x", kNotImplemented, 1},
      {"ABOR", "226 ABOR command successful\r\n", 1},
      {"STAT -la", kNotImplemented, 1},
      {"SITE x", kNotImplemented, 1},
      {"XYZ", kNotImplemented, 1},
      {"NOOP", kNoop, 1},
  };
  auto client = LoggedIn();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.reply, client->Command(c.line, c.lines));
  }
}

TEST_F(FtpModernSessionTest, FeatNeedsNoLoginTheOthersDo) {
  constexpr char kPleaseLogin[] = "530 Please login with USER and PASS\r\n";
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  EXPECT_EQ("211-Features:\r\n", client.Command("FEAT", 10).substr(0, 15));
  for (const char* line : {"SYST", "PASV", "EPSV", "EPRT |1|127.0.0.1|2121|", "SIZE version.txt",
                           "MDTM version.txt", "REST 1", "MLSD", "MLST", "STAT", "ABOR"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(kPleaseLogin, client.Command(line));
  }
}

TEST_F(FtpModernSessionTest, TheBannerIsOneMultiLineReplyInOneSend) {
  Client client(harness_.port());
  ASSERT_EQ(kGreeting, client.ReadLines(1));
  ASSERT_EQ("331 anonymous access allowed, send email name as PASS\r\n",
            client.Command("USER bob"));
  ASSERT_TRUE(client.Send("PASS x\r\n"));
  EXPECT_EQ(kModernBanner, client.ReceiveOnce());
}

TEST_F(FtpModernSessionTest, StatTellsTheClientTheUserAndWhereDataGoes) {
  auto client = LoggedIn("bob");
  const std::string begin = "211-Varnek FTP server status:\r\n Connected from 127.0.0.1\r\n"
                            " Logged in as bob\r\n Data connections: ";
  ASSERT_EQ("200 PORT command successful\r\n", client->Command("PORT 127,0,0,1,8,72"));
  EXPECT_EQ(begin + "active, to 127.0.0.1 port 2120\r\n211 End of status\r\n",
            client->Command("STAT", 5));
  const std::optional<uint16_t> port = OfferedPort(client->Command("EPSV"));
  ASSERT_TRUE(port.has_value());
  EXPECT_EQ(begin + "passive, listening on port " + std::to_string(*port) +
                "\r\n211 End of status\r\n",
            client->Command("STAT", 5));
}

TEST_F(FtpModernSessionTest, AnOverLongLineIsRefusedWholeAndLogged) {
  auto client = LoggedIn();
  const std::string fits = "RNFR " + std::string(250, 'x');  // 255 characters
  const std::string too_long = "NOOP " + std::string(251, 'x');
  for (bool byte_by_byte : {false, true}) {
    SCOPED_TRACE(byte_by_byte);
    const std::string bytes = too_long + "\r\n" + fits + "\r\nNOOP\r\n";
    ASSERT_TRUE(byte_by_byte ? client->SendByteByByte(bytes) : client->Send(bytes));
    EXPECT_EQ(std::string("500 Command line too long\r\n") +
                  "350 requested file action pending further information\r\n" + kNoop,
              client->ReadLines(3));
  }
  EXPECT_TRUE(harness_.sink().WaitFor("127.0.0.1 issued command 0 ' " + too_long.substr(0, 255) +
                                      " ' "));
  // With the user name the line is long enough for the short form of the outcome.
  EXPECT_TRUE(harness_.sink().WaitFor("command 0 (2long) has failed "));
}

TEST_F(FtpModernSessionTest, NewCommandsAreLoggedWithTheirNumbers) {
  auto client = LoggedIn();
  EXPECT_EQ("213 6\r\n", client->Command("SIZE version.txt"));
  EXPECT_EQ(kNoop, client->Command("NOOP"));
  EXPECT_TRUE(harness_.sink().WaitFor("127.0.0.1 issued command 39 ' SIZE version.txt ' "));
  EXPECT_TRUE(harness_.sink().WaitFor("anonymous command 39 ' SIZE version.txt ' was successful "));
}

// ---- Passive data connections ----

TEST_F(FtpModernSessionTest, PasvAndEpsvOfferAListenerOnTheAddressTheClientReached) {
  auto client = LoggedIn();
  for (const char* setup : {"PASV", "EPSV", "EPSV 1"}) {
    SCOPED_TRACE(setup);
    const std::string offer = client->Command(setup);
    const std::optional<uint16_t> port = OfferedPort(offer);
    ASSERT_TRUE(port.has_value()) << offer;
    const std::string expected =
        setup[0] == 'P' ? "227 Entering Passive Mode (127,0,0,1," + std::to_string(*port / 256) +
                              "," + std::to_string(*port % 256) + ").\r\n"
                        : "229 Entering Extended Passive Mode (|||" + std::to_string(*port) +
                              "|)\r\n";
    EXPECT_EQ(expected, offer);
    platform::UniqueSocket data = ConnectFrom(platform::kLoopback, *port);
    ASSERT_TRUE(data.valid());
    EXPECT_EQ(kRetrStarted, client->Command("RETR version.txt"));
    EXPECT_EQ("3.34\r\n", ReadSocketToEnd(data.get()));
    EXPECT_EQ(kComplete, client->ReadLines(1));
    // One listener per transfer: its port is closed again.
    EXPECT_FALSE(ConnectFrom(platform::kLoopback, *port).valid());
  }
  // Without a new PASV the next transfer is active again (to the client's control port, where
  // nothing listens).
  EXPECT_EQ("550 RETR failed\r\n", client->Command("RETR version.txt"));
}

TEST_F(FtpModernSessionTest, PassiveAddressIsWhatPasvOffersAndPassivePortsWhereItListens) {
  const uint16_t free_port = ClosedPort();
  ASSERT_NE(0, free_port);
  harness_.daemon().SetPassiveAddress(0x0A010203);  // 10.1.2.3, as a router forwards it
  harness_.daemon().SetPassivePorts(PortRange{free_port, free_port});
  auto client = LoggedIn();
  const std::string port_part =
      std::to_string(free_port / 256) + "," + std::to_string(free_port % 256);
  {
    // With the one port taken there is no listener to offer.
    platform::UniqueSocket blocker = platform::NewStreamSocket();
    ASSERT_TRUE(platform::Bind(blocker.get(), {platform::kLoopback, free_port}));
    ASSERT_TRUE(platform::Listen(blocker.get(), 1));
    EXPECT_EQ("425 Unable to open a passive listener\r\n", client->Command("PASV"));
    EXPECT_EQ("425 Unable to open a passive listener\r\n", client->Command("EPSV"));
  }
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const TransferResult result = PassiveTransfer(*client, "RETR /version.txt");
    EXPECT_EQ(std::string(kRetrStarted) + kComplete, result.replies);
    EXPECT_EQ("3.34\r\n", result.data.value_or("<none>"));
  }
  EXPECT_EQ("227 Entering Passive Mode (10,1,2,3," + port_part + ").\r\n", client->Command("PASV"));
  // A second offer replaces the first, on the same port.
  EXPECT_EQ("229 Entering Extended Passive Mode (|||" + std::to_string(free_port) + "|)\r\n",
            client->Command("EPSV"));
}

TEST_F(FtpModernSessionTest, APassiveConnectionFromAnotherAddressIsClosedAndTraced) {
  test::TraceCapture capture;
  ASSERT_TRUE(capture.ok());
  auto client = LoggedIn();
  const std::optional<uint16_t> port = OfferedPort(client->Command("PASV"));
  ASSERT_TRUE(port.has_value());
  // The thief comes first; the client's own connection after it.
  platform::UniqueSocket thief = ConnectFrom(kForeignHost, *port);
  ASSERT_TRUE(thief.valid());
  platform::UniqueSocket own = ConnectFrom(platform::kLoopback, *port);
  ASSERT_TRUE(own.valid());
  EXPECT_EQ(kRetrStarted, client->Command("RETR version.txt"));
  EXPECT_EQ("3.34\r\n", ReadSocketToEnd(own.get()));
  EXPECT_EQ(kComplete, client->ReadLines(1));
  EXPECT_EQ("", ReadSocketToEnd(thief.get()));
  ASSERT_EQ("221 Goodbye\r\n", client->Command("QUIT"));
  ASSERT_TRUE(harness_.sink().WaitFor("Disconnect!"));
  EXPECT_EQ(1, test::CountMessage(capture.FinishMessages(),
                                  "SingleClientListener: connection from 127.0.0.2 to port " +
                                      std::to_string(*port) + " refused"));
}

TEST_F(FtpModernSessionTest, AListenerNobodyConnectedToClosesAtItsExpiry) {
  harness_.daemon().SetPassiveExpiryMilliseconds(200);
  test::TraceCapture capture;
  ASSERT_TRUE(capture.ok());
  auto client = LoggedIn();
  const auto offered_at = steady_clock::now();
  const std::optional<uint16_t> port = OfferedPort(client->Command("EPSV"));
  ASSERT_TRUE(port.has_value());
  ASSERT_TRUE(StatusSays(*client, "passive, no client came"));
  EXPECT_GE(steady_clock::now() - offered_at, milliseconds(150));
  EXPECT_FALSE(ConnectFrom(platform::kLoopback, *port).valid());
  // The transfer that was to use it fails at once.
  EXPECT_EQ(std::string(kRetrStarted) + kNoData, client->Command("RETR version.txt", 2));
  ASSERT_EQ("221 Goodbye\r\n", client->Command("QUIT"));
  ASSERT_TRUE(harness_.sink().WaitFor("Disconnect!"));
  EXPECT_EQ(1, test::CountMessage(capture.FinishMessages(),
                                  "ModernFtpSession: passive listener on port " +
                                      std::to_string(*port) + " expired"));
}

TEST_F(FtpModernSessionTest, AConnectionThatCameBeforeTheExpiryServesTheNextTransfer) {
  harness_.daemon().SetPassiveExpiryMilliseconds(200);
  auto client = LoggedIn();
  const std::optional<uint16_t> port = OfferedPort(client->Command("PASV"));
  ASSERT_TRUE(port.has_value());
  platform::UniqueSocket data = ConnectFrom(platform::kLoopback, *port);
  ASSERT_TRUE(data.valid());
  ASSERT_TRUE(StatusSays(*client, "passive, the client connected"));
  EXPECT_EQ(kRetrStarted, client->Command("RETR pub/stored.bin"));
  EXPECT_TRUE(ReadSocketToEnd(data.get()) == StoredContent());
  EXPECT_EQ(kComplete, client->ReadLines(1));
}

TEST_F(FtpModernSessionTest, AClientThatNeverConnectsGetsA425AtTheExpiry) {
  harness_.daemon().SetPassiveExpiryMilliseconds(300);
  auto client = LoggedIn();
  ASSERT_TRUE(OfferedPort(client->Command("PASV")).has_value());
  const auto start = steady_clock::now();
  EXPECT_EQ(std::string(kOpening) + kNoData, client->Command("NLST", 2));
  EXPECT_GE(steady_clock::now() - start, milliseconds(200));
}

TEST_F(FtpModernSessionTest, DestroyingTheDaemonEndsASessionWaitingForItsDataConnection) {
  auto client = LoggedIn();
  ASSERT_TRUE(OfferedPort(client->Command("PASV")).has_value());
  EXPECT_EQ(kRetrStarted, client->Command("RETR version.txt"));
  const auto start = steady_clock::now();
  harness_.StopDaemon();
  EXPECT_LT(steady_clock::now() - start, seconds(5));
}

TEST_F(FtpModernSessionTest, EpsvAllLeavesEpsvTheOnlyWayToSetDataUp) {
  auto client = LoggedIn();
  EXPECT_EQ("200 EPSV ALL command successful\r\n", client->Command("EPSV ALL"));
  for (const char* line : {"PASV", "PORT 127,0,0,1,8,72", "EPRT |1|127.0.0.1|2121|"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ("503 EPSV ALL in effect\r\n", client->Command(line));
  }
  const TransferResult result = PassiveTransfer(*client, "NLST", "EPSV");
  EXPECT_EQ(std::string(kOpening) + kComplete, result.replies);
  EXPECT_EQ("pub\r\nversion.txt\r\nbad\r\nlong\r\n", result.data.value_or("<none>"));
}

TEST_F(FtpModernSessionTest, EprtSendsActiveDataToTheClientsPort) {
  auto client = LoggedIn();
  DataListener listener;
  ASSERT_TRUE(listener.ok());
  ASSERT_EQ("200 EPRT command successful\r\n",
            client->Command("EPRT |1|127.0.0.1|" + std::to_string(listener.port()) + "|"));
  EXPECT_EQ(kRetrStarted, client->Command("RETR version.txt"));
  EXPECT_EQ("3.34\r\n", listener.AcceptAndRead().value_or("<none>"));
  EXPECT_EQ(kComplete, client->ReadLines(1));
}

// ---- Restarts ----

TEST_F(FtpModernSessionTest, RetrRestartsStoredAndCompressedEntriesAtTheOffsetGiven) {
  const struct {
    const char* path;
    std::string content;
  } entries[] = {
      {"pub/stored.bin", StoredContent()},                    // stored
      {"pub/Dorvex/Updates/Image", test::SampleEntryContent()},  // compressed
      {"version.txt", std::string(test::kSampleVersion)},      // compressed, tiny
      {"pub/empty.txt", ""},
  };
  const char* setups[] = {"PASV", "EPSV"};
  auto client = LoggedIn();
  int round = 0;
  for (const auto& entry : entries) {
    const size_t size = entry.content.size();
    for (size_t offset : {size_t{0}, size / 2, size, size + 1}) {
      SCOPED_TRACE(testing::Message() << entry.path << " from " << offset);
      EXPECT_EQ("350 Restarting at " + std::to_string(offset) + "\r\n",
                client->Command("REST " + std::to_string(offset)));
      const TransferResult result = PassiveTransfer(
          *client, std::string("RETR ") + entry.path, setups[round++ % 2]);
      if (offset > size) {
        EXPECT_EQ("554 Restart position beyond the end of the file\r\n", result.replies);
        EXPECT_FALSE(result.data.has_value());
        continue;
      }
      EXPECT_EQ(std::string(kRetrStarted) + kComplete, result.replies);
      ASSERT_TRUE(result.data.has_value());
      EXPECT_EQ(size - offset, result.data->size());
      EXPECT_TRUE(*result.data == entry.content.substr(offset));
    }
    // The offset served one RETR: the next one sends the entry whole.
    const TransferResult whole = PassiveTransfer(*client, std::string("RETR ") + entry.path);
    EXPECT_TRUE(whole.data == entry.content);
  }
}

TEST_F(FtpModernSessionTest, ARestartIntoDamagedDataFailsAfterTheStart) {
  auto client = LoggedIn();
  ASSERT_EQ("350 Restarting at 150000\r\n", client->Command("REST 150000"));
  const TransferResult result = PassiveTransfer(*client, "RETR bad/damaged.bin");
  EXPECT_EQ(std::string(kRetrStarted) + "550 RETR failed\r\n", result.replies);
  // The record of liar.txt says 10 bytes: from 7 on, 3 are owed and none exist.
  ASSERT_EQ("350 Restarting at 7\r\n", client->Command("REST 7"));
  const TransferResult liar = PassiveTransfer(*client, "RETR bad/liar.txt");
  EXPECT_EQ(std::string(kRetrStarted) + "550 RETR failed\r\n", liar.replies);
}

// ---- Listings of a path ----

TEST_F(FtpModernSessionTest, ListingsNameADirectoryOrAFile) {
  const std::string at_noon = "dr-xr-xr--   1 owner    group               0 Jul  1 12:00 ";
  const std::string stored_line =
      "-r-xr-xr--   1 owner    group          100000 Apr 17 18:40 stored.bin\r\n";
  const std::string sample_time = FactTime(test::kSampleTimes.last_write_time);
  const struct {
    const char* command;
    std::string replies;
    std::string data;
  } cases[] = {
      {"LIST", std::string(kOpening) + kComplete,
       at_noon + "pub\r\n" +
           "-r-xr-xr--   1 owner    group               6 Oct  1  2008 version.txt\r\n" +
           at_noon + "bad\r\n" + at_noon + "long\r\n"},
      {"LIST -la pub/Dorvex", std::string(kOpening) + kComplete, at_noon + "Updates\r\n"},
      {"LIST -l -a /pub/stored.bin", std::string(kOpening) + kComplete, stored_line},
      {"NLST pub", std::string(kOpening) + kComplete,
       "Dorvex\r\nempty.txt\r\nstored.bin\r\npassword.txt\r\n"},
      {"NLST -a", std::string(kOpening) + kComplete, "pub\r\nversion.txt\r\nbad\r\nlong\r\n"},
      {"NLST pub/password.txt", std::string(kOpening) + kComplete, "password.txt\r\n"},
      {"MLSD", std::string(kOpening) + kComplete,
       "type=dir;perm=rl; pub\r\ntype=file;size=6;modify=" + FactTime(0) +
           ";perm=rl; version.txt\r\ntype=dir;perm=rl; bad\r\ntype=dir;perm=rl; long\r\n"},
      {"MLSD pub/Dorvex/Updates", std::string(kOpening) + kComplete,
       "type=file;size=1206620;modify=" + sample_time + ";perm=rl; Image\r\n"},
      {"LIST missing", "550 LIST failed\r\n", ""},
      {"LIST password.txt", "550 LIST failed\r\n", ""},
      {"NLST /PASSWORD.TXT", "550 NLST failed\r\n", ""},
      {"MLSD pub/stored.bin", "550 MLSD failed\r\n", ""},
  };
  auto client = LoggedIn();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const TransferResult result = PassiveTransfer(*client, c.command);
    EXPECT_EQ(c.replies, result.replies);
    EXPECT_EQ(c.data, result.data.value_or(""));
  }
}

// ---- The limit ----

TEST_F(FtpModernSessionTest, AClientOverTheLimitIsToldAtOnceAndClosed) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < net::TcpServer::MAX_CONNECTIONS; ++i) clients.push_back(LoggedIn());
  Client extra(harness_.port());
  ASSERT_TRUE(extra.connected());
  // Sending nothing: an FTP client waits for the server to speak.
  EXPECT_EQ("421 Too many connections\r\n", extra.ReadToEnd());
  EXPECT_TRUE(harness_.sink().WaitFor("(20) Max Connections Reached"));
  // The served sessions go on.
  EXPECT_EQ(kNoop, clients.back()->Command("NOOP"));
}

// ---- ABOR during a transfer ----

class FtpModernTransferTest : public FtpModernSessionTest {
 protected:
  FtpModernTransferTest() : FtpModernSessionTest(PackageWithABigEntry()) {}
};

TEST_F(FtpModernTransferTest, CommandsDuringATransferWaitForItAndAborEndsIt) {
  const struct {
    const char* what;
    const char* during;      // sent once the first data arrived
    bool close_data;         // then the client closes its end instead of reading on
    std::string replies;     // after the 150
    bool complete;
  } cases[] = {
      {"ABOR, reading on", "ABOR", false,
       "426 Transfer aborted\r\n226 ABOR command successful\r\n", false},
      {"ABOR, closing the data connection", "ABOR", true,
       "426 Transfer aborted\r\n226 ABOR command successful\r\n", false},
      {"ABOR after a Telnet interrupt", "\xFF\xF4\xFF\xF2" "ABOR", false,
       "426 Transfer aborted\r\n226 ABOR command successful\r\n", false},
      {"NOOP", "NOOP", false, std::string(kComplete) + kNoop, true},
  };
  auto client = LoggedIn();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<uint16_t> port = OfferedPort(client->Command("EPSV"));
    ASSERT_TRUE(port.has_value());
    platform::UniqueSocket data = ConnectFrom(platform::kLoopback, *port);
    ASSERT_EQ(kRetrStarted, client->Command("RETR big.bin"));
    char first[4096];
    const long got = platform::ReceiveSome(data.get(), first, sizeof first);
    ASSERT_GT(got, 0);
    ASSERT_TRUE(client->Send(std::string(c.during) + "\r\n"));
    if (c.close_data) {
      data.Reset();
    } else {
      const size_t received = static_cast<size_t>(got) + ReadSocketToEnd(data.get()).size();
      EXPECT_EQ(c.complete, received == kBigEntrySize) << received;
      EXPECT_LE(received, kBigEntrySize);
    }
    EXPECT_EQ(c.replies, client->ReadLines(2));
  }
  // The aborted RETR is logged as failed, the ABOR as a command of its own.
  EXPECT_TRUE(harness_.sink().WaitFor("anonymous command 14 ' RETR big.bin ' has failed "));
  EXPECT_TRUE(harness_.sink().WaitFor("127.0.0.1 issued command 22 ' ABOR ' "));
}

// ---- The classic mode ----

TEST(FtpClassicModeTest, EveryModernCommandIsStillRefusedAsBefore) {
  Harness harness{FixturePackage()};
  ASSERT_TRUE(harness.ok());
  ASSERT_EQ(FtpMode::kClassic, harness.daemon().mode());
  const struct {
    const char* line;
    int number;  // as logged
  } cases[] = {
      {"PASV", kPasv},          {"EPSV", 0},           {"EPSV ALL", 0},
      {"EPRT |1|127.0.0.1|2121|", 0}, {"SIZE version.txt", 0}, {"MDTM version.txt", 0},
      {"REST 0", kRest},        {"FEAT", 0},           {"MLSD", 0},
      {"MLST version.txt", 0},  {"SYST", kSyst},       {"STAT", kStat},
      {"ABOR", kAbor},          {"OPTS MLST type;", kOpts},
  };
  Client client(harness.port());
  ASSERT_TRUE(client.Login());  // the classic banner
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(kNotImplemented, client.Command(c.line));
    ASSERT_EQ(kNoop, client.Command("NOOP"));
    EXPECT_TRUE(harness.sink().WaitFor("anonymous command " + std::to_string(c.number) + " ' " +
                                       c.line + " ' has failed "));
  }
  // The replies the modern mode changes keep their classic codes.
  EXPECT_EQ("250 TYPE command successful\r\n", client.Command("TYPE I"));
  EXPECT_EQ("250 PORT command successful\r\n", client.Command("PORT 127,0,0,1,8,72"));
}

}  // namespace
}  // namespace kelvane::ftp::ftptest
