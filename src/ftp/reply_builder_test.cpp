#include "ftp/reply_builder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ftp/command_parser.h"

namespace zelm {
namespace {

// A parsed command whose received line is set the way the control session sets it.
std::unique_ptr<CFtpCommand> Cmd(const std::string& text) {
  static std::vector<std::string> lines;  // keeps the lines alive for the test's duration
  auto command = std::make_unique<CFtpCommand>();
  lines.push_back(text);
  command->Parse(lines.back() + "\r\n");
  command->line = lines.back();
  return command;
}

TEST(ReplyLayout, AddLines) {
  const struct {
    uint32_t code;
    const char* text;
    const char* expected;
  } cases[] = {
      {220, "", "220 \r\n"},
      {226, "Transfer complete.", "226 Transfer complete.\r\n"},
      {250, "a\r\nb", "250-a\r\n250 b\r\n"},
      {250, "a\r\nb\r\n", "250-a\r\n250 b\r\n"},
      {250, "a\r\n b\r\nc", "250-a\r\n b\r\n250 c\r\n"},
      {250, "a\r\n b", "250-a\r\n250  b\r\n"},
      {5, "x", "005 x\r\n"},
      {250, "\r\n", "250 \r\n"},
      {250, "a\r\n\r\nb", "250-a\r\n250-\r\n250 b\r\n"},
  };
  for (const auto& c : cases) {
    CFtpReply reply;
    EXPECT_TRUE(reply.AddLines(c.code, c.text));
    EXPECT_EQ(reply.Text(), c.expected) << c.text;
    EXPECT_EQ(reply.Length(), std::string(c.expected).size());
  }
}

TEST(ReplyLayout, HelpReplyIs42Lines) {
  CFtpReply reply;
  ASSERT_TRUE(reply.BuildPositive(214, nullptr, ""));
  const char* commands[] = {"ABOR", "ACCT", "ALLO", "APPE", "CDUP", "CWD ", "DELE", "HELP",
                            "LIST", "MDTM", "MKD ", "MODE", "NLST", "NOOP", "PASS", "PASV",
                            "PORT", "PWD ", "QUIT", "REIN", "REST", "RETR", "RMD ", "RNFR",
                            "RNTO", "SITE", "SIZE", "SMNT", "STAT", "STOR", "STOU", "STRU",
                            "SYST", "TYPE", "USER", "XCUP", "XCWD", "XMKD", "XPWD"};
  std::string expected = "214-The following  commands are recognized(* ==>'s unimplemented).\r\n";
  for (const char* name : commands) expected += std::string("   ") + name + " \r\n";
  expected += "   XRMD\r\n214 HELP command successful.\r\n";
  EXPECT_EQ(reply.Text(), expected);
  size_t lines = 0;
  for (size_t at = 0; (at = reply.Text().find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, 42u);
}

struct BuildCase {
  uint32_t code;
  const char* command;  // null: no command
  const char* extra;
  const char* expected;  // "" = nothing built
};

void Check(const BuildCase& c, bool positive) {
  std::unique_ptr<CFtpCommand> command = c.command ? Cmd(c.command) : nullptr;
  CFtpReply reply;
  const bool built = positive ? reply.BuildPositive(c.code, command.get(), c.extra)
                              : reply.BuildError(c.code, command.get(), c.extra);
  EXPECT_EQ(reply.Text(), c.expected) << c.code << " " << (c.command ? c.command : "-");
  EXPECT_EQ(built, *c.expected != '\0') << c.code;
}

TEST(ReplyBuilder, PositiveRows) {
  const BuildCase cases[] = {
      {125, "RETR f", "", "125 Data connection already open; Transfer starting\r\n"},
      {150, "RETR f.txt", "IMAGE", "150 Opening IMAGE mode data connection for f.txt.\r\n"},
      {150, "RETR f.txt", "", ""},
      {150, "LIST", "ASCII", "150 Opening ASCII mode data connection for /bin/ls.\r\n"},
      {150, "NLST x", "ASCII", "150 Opening ASCII mode data connection for /bin/ls.\r\n"},
      {150, nullptr, "ASCII", "150 Opening ASCII mode data connection for /bin/ls.\r\n"},
      {150, nullptr, "", ""},
      {200, "PORT 127,0,0,1,4,1", "", "200 PORT command successful.\r\n"},
      {200, "TYPE I", "I", "200 Type set to I.\r\n"},
      {200, "TYPE I", "", "200 Type set to A.\r\n"},
      {200, "NOOP", "", "200 'NOOP': Command okay.\r\n"},
      {225, "ABOR", "", "225 'ABOR': Command okay.\r\n"},
      {226, nullptr, "", "226 Transfer complete.\r\n"},
      {227, "PASV", "127,0,0,1,5,220", "227 Entering Passive Mode (127,0,0,1,5,220).\r\n"},
      {227, "PASV", "", ""},
      {230, "PASS x", "bob", "230 bob user logged in.\r\n"},
      {230, "PASS x", "", ""},
      {250, "CWD d", "", "250 'CWD': Command okay.\r\n"},
      {257, "PWD", "/pub", "257 \"/pub\" is the current directory.\r\n"},
      {257, "XPWD", "/", "257 \"/\" is the current directory.\r\n"},
      {257, "MKD new", "", "257 \"new\" Directory created successfully\r\n"},
      // A quote in the name is doubled, so the reply keeps the whole name (RFC 959).
      {257, "PWD", "/a \"q\" b", "257 \"/a \"\"q\"\" b\" is the current directory.\r\n"},
      {257, "MKD \"x", "", "257 \"\"\"x\" Directory created successfully\r\n"},
      {331, "USER bob", "bob", "331 Password required for user bob\r\n"},
      {331, "USER bob", "", ""},
      {350, "RNFR old", "", "350 old File exists, ready for destination name\r\n"},
      {350, "REST 5", "", ""},
      {421, nullptr, "", "421 Terminating connection.\r\n"},
      {805, "SITE HELP", "",
       "214-The following SITE  commands are recognized(* ==>'s unimplemented).\r\n"
       "   CKM      \r\n   DIRSTYLE \r\n   HELP     \r\n   STATS    \r\n"
       "214 HELP command successful.\r\n"},
      {806, "HELP cwd", "", "214 Syntax: CWD [ <sp> directory-name ]\r\n"},
      {806, "HELP xpwd", "", "214 Syntax: PWD (return current directory)\r\n"},
      {806, "HELP FEAT", "", "501 Unknown command HELP FEAT\r\n"},
      {806, "HELP bogus", "", "501 Unknown command HELP BOGUS\r\n"},
      {811, "USER anonymous", "",
       "331 Anonymous access allowed, send identity (e-mail name) as password.\r\n"},
      {999, "DELE f", "", "250 'DELE': Command okay.\r\n"},
      {999, nullptr, "", "250 Command okay.\r\n"},
  };
  for (const BuildCase& c : cases) Check(c, true);
}

TEST(ReplyBuilder, ErrorRows) {
  const BuildCase cases[] = {
      {425, "RETR f", "", "425 Can't open data connection.\r\n"},
      {426, "RETR f", "", "426 Connection closed; transfer aborted.\r\n"},
      {450, "RETR f", "", "450 File action failed.\r\n"},
      {451, "RETR f", "", "451 File action failed.\r\n"},
      {452, "STOR f", "", "452 File action failed.\r\n"},
      {505, "STOR f", "", "505 File action failed.\r\n"},
      {457, "TYPE X", "", "500 'TYPE X': Command syntax error in parameters or arguments\r\n"},
      {458, "NOOP x", "", "500 'NOOP x': Invalid number of parameters\r\n"},
      // A bare CR LF quotes an empty line, never a literal placeholder.
      {500, "", "", "500 '': Command syntax error in parameters or arguments\r\n"},
      {501, "RETR X", "", "501 Unknown command RETR X\r\n"},
      {501, "HELP list", "", "214 Syntax: LIST [ <sp> path-name ]\r\n"},
      {502, "ACCT x", "", "502 ACCT x Command not imlemented\r\n"},
      {503, "PASS x", "", "503 Login with USER first.\r\n"},
      {503, "RNTO b", "", "503 RNTO b Bad command sequence\r\n"},
      {504, "TYPE E", "", "504 TYPE E not implemented.\r\n"},
      {530, "LIST", "", "530 Please login with USER and PASS.\r\n"},
      {530, "PASS x", "bob", "530 User (bob) is invalid, or incorrect password\r\n"},
      {530, "PASS x", "", ""},
      {530, nullptr, "", ""},
      {530, nullptr, "bob", "530 User (bob) is invalid, or incorrect password\r\n"},
      {550, "RETR nope", "", "550 nope Cannot find specified directory of file name.\r\n"},
      {550, "CDUP", "", "550 %s Cannot find specified directory of file name.\r\n"},
      {552, "STOR f", "", "552 Command aborted; exceeded max storage allowed.\r\n"},
      {553, "RNTO a*b", "", "550 'a*b': File name or directory name is invalid\r\n"},
      {800, "MKD d", "", "550 'd' cannot be created because it is already exist.\r\n"},
      {801, "DELE f", "", "550 DELE f: Access denied.\r\n"},
      {802, "DELE f", "", "550 DELE f: Action cannot be performed; system error.\r\n"},
      {803, "RETR f", "Permission denied", "550 'RETR f': Permission denied\r\n"},
      {803, "RETR f", "", "550 RETR f: Action cannot be performed; system error.\r\n"},
      {804, "TYPE L", "", "504 Byte size must be 8.\r\n"},
      {807, "STOR f", "", "452 File action failed.\r\n"},
      {808, "PORT 1,2", "", "500 'PORT 1,2': Invalid PORT address.\r\n"},
      {808, nullptr, "", "500 Invalid PORT Command \r\n"},
      {809, nullptr, "",
       "421-Sorry.. \r\n421-This server has reached the maximum connections allowed at this "
       "moment!\r\n421 Please try connecting again later.\r\n"},
      {810, "PASS x", "bob", "530 User 'bob' cannot log in because of max session filter.\r\n"},
      {810, "PASS x", "", ""},
      {812, "USER anonymous", "", "530 Anonymous access is not allowed in this server.\r\n"},
      {813, nullptr, "",
       "530-Sorry!\r\n530-No more Anonymous access available at this moment.\r\n530 You may try "
       "again later.\r\n"},
      {500, "XYZ", "", "500 'XYZ': Command syntax error in parameters or arguments\r\n"},
      {811, "USER a", "", "500 'USER a': Command syntax error in parameters or arguments\r\n"},
      {500, nullptr, "", "500 File action failed.\r\n"},
  };
  for (const BuildCase& c : cases) Check(c, false);
}

TEST(ReplyBuilder, ErrorQuotesTheArgumentWhenNoLineWasSet) {
  CFtpCommand command;
  ASSERT_TRUE(command.Parse("DELE secret.txt\r\n"));
  CFtpReply reply;
  reply.BuildError(801, &command, "");
  EXPECT_EQ(reply.Text(), "550 secret.txt: Access denied.\r\n");
}

TEST(ReplyBuilder, PercentInClientTextIsNotAFormat) {
  CFtpReply reply;
  reply.BuildError(550, Cmd("RETR %s%n%x").get(), "");
  EXPECT_EQ(reply.Text(), "550 %s%n%x Cannot find specified directory of file name.\r\n");
}

TEST(ReplyBuilder, BuildingAgainReplacesThePreviousReply) {
  CFtpReply reply;
  reply.BuildPositive(226, nullptr, "");
  EXPECT_FALSE(reply.BuildPositive(227, nullptr, ""));
  EXPECT_TRUE(reply.IsEmpty());
  EXPECT_EQ(reply.Length(), 0u);
}

TEST(ReplyTexts, UnknownIdLeavesTheReplyEmpty) {
  CFtpReply reply;
  reply.AddLines(200, "x");
  LoadReplyText(reply, 200, 106, "arg");
  EXPECT_TRUE(reply.IsEmpty());
  EXPECT_EQ(GetReplyText(146 - 40), nullptr);
  EXPECT_STREQ(GetReplyText(147), "Thank you for using Zelmar FTP Service");
  EXPECT_STREQ(GetReplyText(145), "Invalid PORT Command ");
}

}  // namespace
}  // namespace zelm
