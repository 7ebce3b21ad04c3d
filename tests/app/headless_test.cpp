// app/headless_test.cpp -- the headless front end's terminal questions, port prompts,
// password and status lines. (The whole of stdout and stderr is checked on the real program.)
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/headless_front_end.h"
#include "support/fixture_package.h"

namespace kelvane::app {
namespace {

// Captures a stream in a file of a temporary folder (std::tmpfile would write to the drive's
// root on Windows, which an ordinary user may not).
struct Capture {
  explicit Capture(const kelvane::test::TempDir& dir, const char* name)
      : file(std::fopen(dir.File(name).c_str(), "w+b")) {
    EXPECT_NE(nullptr, file);
  }
  ~Capture() {
    if (file != nullptr) std::fclose(file);
  }
  std::string Text() {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }
  std::FILE* file;
};

// A headless front end whose stdin is |input| from a file: not a terminal, whatever
// |interactive| pretends, and ending where |input| ends.
struct Headless {
  Headless(const std::string& input, bool interactive,
           std::optional<std::string> password = std::nullopt)
      : input_file(std::fopen(dir.Write("input.txt", input).c_str(), "rb")) {
    EXPECT_NE(nullptr, input_file);
    HeadlessIo io;
    io.out = out.file;
    io.err = err.file;
    io.input_fd = input_file != nullptr ? fileno(input_file) : -1;
    io.interactive = interactive;
    io.password = std::move(password);
    front_end = std::make_unique<HeadlessFrontEnd>(std::move(io));
  }
  ~Headless() {
    front_end.reset();
    if (input_file != nullptr) std::fclose(input_file);
  }

  kelvane::test::TempDir dir;
  Capture out{dir, "out.txt"}, err{dir, "err.txt"};
  std::FILE* input_file;
  std::unique_ptr<HeadlessFrontEnd> front_end;
};

TEST(HeadlessTest, QuestionsAreAnsweredOnTheTerminalOrNo) {
  const struct {
    const char* input;
    bool interactive;
    bool yes;
  } cases[] = {
      {"y\n", true, true}, {"Yes\n", true, true}, {"n\n", true, false},
      {"\n", true, false}, {"", true, false},     {"y\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.input) + (c.interactive ? " on a terminal" : " from a pipe"));
    Headless h(c.input, c.interactive);
    EXPECT_EQ(c.yes, h.front_end->AskYesNo("Question?"));
    EXPECT_EQ(0u, h.err.Text().find("Question?\n"));
  }
}

TEST(HeadlessTest, PortPromptsCheckEachFieldAndKeepItsValueOnEnter) {
  const struct {
    const char* input;
    bool interactive;
    bool ok;
    uint32_t ftp, http;
    std::vector<std::string> messages;
  } cases[] = {
      {"2121\n8080\n", true, true, 2121, 8080, {}},
      {"\n\n", true, true, 21, 80, {}},  // Enter keeps the filled-in value
      {"abc\n0\n 2121 \n\n",
       true,
       true,
       2121,
       80,
       {"Please enter a positive integer.", "Please enter an integer between 1 and 65535."}},
      {"2121\n", true, false, 21, 80, {}},  // input ends: cancelled, nothing changes
      {"2121\n8080\n", false, false, 21, 80, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Headless h(c.input, c.interactive);
    uint32_t ftp = 21, http = 80;
    EXPECT_EQ(c.ok, h.front_end->EditPorts(&ftp, &http));
    EXPECT_EQ(c.ftp, ftp);
    EXPECT_EQ(c.http, http);
    const std::string err = h.err.Text();
    for (const std::string& message : c.messages)
      EXPECT_NE(std::string::npos, err.find(message + "\n"));
  }
}

TEST(HeadlessTest, PasswordComesFromTheTerminalOrOnceFromTheEnvironment) {
  {
    Headless h("", false, "Secret");
    std::string typed;
    EXPECT_TRUE(h.front_end->AskPassword(1, &typed));
    EXPECT_EQ("Secret", typed);
    EXPECT_FALSE(h.front_end->AskPassword(2, &typed));
    EXPECT_EQ("", h.err.Text());  // a wrong variable is told by the caller, not here
  }
  {
    // Without a terminal and without the variable: one line says what is needed.
    Headless h("", false);
    std::string typed;
    EXPECT_FALSE(h.front_end->AskPassword(1, &typed));
    const std::string err = h.err.Text();
    EXPECT_EQ(0u, err.find("Password required: "));
    EXPECT_NE(std::string::npos, err.find("KELVANE_PASSWORD"));
    EXPECT_EQ(err.size() - 1, err.find('\n'));
    EXPECT_EQ("", h.out.Text());
  }
  {
    Headless h("first\r\nsecond\n", true);
    std::string typed;
    EXPECT_TRUE(h.front_end->AskPassword(1, &typed));
    EXPECT_EQ("first", typed);
    EXPECT_TRUE(h.front_end->AskPassword(2, &typed));
    EXPECT_EQ("second", typed);
    EXPECT_FALSE(h.front_end->AskPassword(3, &typed));  // end of input cancels
    const std::string err = h.err.Text();
    EXPECT_EQ(0u, err.find("This software package is password protected."));
    EXPECT_EQ(err.find("protected."), err.rfind("protected."));  // the explanation once
  }
}

TEST(HeadlessTest, StatusTextsAndMessagesAreLinesOnStderrNeverInTheLog) {
  Headless h("", false);
  h.front_end->ShowStatus("Unable to open log file /x/ftp07122024.log (No such file)!");
  h.front_end->ShowMessage("first line\nsecond line");
  h.front_end->SetCaption("FTP Server v2.0");
  h.front_end->ShowPackageCheck("Damaged entry: fw/image.bin (Adler-32 mismatch)");
  h.front_end->ShowPackageCheck("Package verified: 3 entries, 1206632 bytes, 1 damaged");
  EXPECT_EQ(
      "Unable to open log file /x/ftp07122024.log (No such file)!\n"
      "first line\nsecond line\n"
      "Caption: FTP Server v2.0\n"
      "Damaged entry: fw/image.bin (Adler-32 mismatch)\n"
      "Package verified: 3 entries, 1206632 bytes, 1 damaged\n",
      h.err.Text());
  EXPECT_EQ("", h.out.Text());
}

}  // namespace
}  // namespace kelvane::app
