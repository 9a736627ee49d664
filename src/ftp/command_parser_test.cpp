#include "ftp/command_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace zelm {
namespace {

struct ParseCase {
  const char* line;
  bool ok;
  FtpCommandId id;       // expected row (also on failure when a row matched)
  uint32_t error;        // expected error
  const char* argument;  // expected argument text ("" = none)
};

TEST(CommandParser, LinesParseAsTheTableSays) {
  const ParseCase cases[] = {
      {"user anonymous\r\n", true, kCmdUser, 0, "anonymous"},
      {" USER x\r\n", false, 0, 500, ""},
      {"NOOP   \r\n", true, kCmdNoop, 0, ""},
      {"NOOP x\r\n", false, kCmdNoop, 458, ""},
      {"PASVX\r\n", false, kCmdPasv, 458, ""},
      {"FEATURES\r\n", false, kCmdFeat, 458, ""},
      {"LIST   \r\n", true, kCmdList, 0, ""},
      {"LISTdir\r\n", true, kCmdList, 0, "dir"},
      {"RETR file  \r\n", true, kCmdRetr, 0, "file  "},
      {"CWD\r\n", true, kCmdCwd, 0, ""},
      {"CWDX\r\n", true, kCmdCwd, 0, "X"},
      {"RETR\r\n", false, kCmdRetr, 458, ""},
      {"RETR   \r\n", false, kCmdRetr, 458, ""},
      {"RETRfoo\r\n", false, kCmdRetr, 500, ""},
      {"USERX\r\n", false, kCmdUser, 500, ""},
      {"RETR   my file.txt\r\n", true, kCmdRetr, 0, "my file.txt"},
      {"PORT 10,0,0,1,4,1 x\r\n", false, kCmdPort, 457, ""},
      {"PORT 10,0,0,1,4,1\r\n", true, kCmdPort, 0, "10,0,0,1,4,1"},
      {"REST 100   \r\n", true, kCmdRest, 0, "100"},
      {"TYPE I\r\n", true, kCmdType, 0, "I"},
      {"type a\r\n", true, kCmdType, 0, "a"},
      {"TYPE I   \r\n", true, kCmdType, 0, "I"},
      {"TYPE A    N\r\n", true, kCmdType, 0, "A N"},
      {"TYPE A N\r\n", true, kCmdType, 0, "A N"},
      {"TYPE X\r\n", false, kCmdType, 457, ""},
      {"TYPE IX\r\n", false, kCmdType, 457, ""},
      {"TYPE L 8\r\n", false, kCmdType, 457, ""},
      {"TYPE\r\n", false, kCmdType, 458, ""},
      {"MODE s\r\n", true, kCmdMode, 0, "s"},
      {"MODE S X\r\n", false, kCmdMode, 457, ""},
      {"STRU R\r\n", true, kCmdStru, 0, "R"},
      {"STAT\r\n", false, 0, 500, ""},
      {"ALLO 10\r\n", false, 0, 500, ""},
      {"SMNT x\r\n", false, 0, 500, ""},
      {"MDTM f\r\n", false, 0, 500, ""},
      {"XRMD dir\r\n", true, kCmdXrmd, 0, "dir"},
      {"USER a\r\nPASS b\r\n", true, kCmdUser, 0, "a"},
      {"RETR a\rb\r\n", true, kCmdRetr, 0, "a\rb"},
      {"SITE  help me \r\n", true, kCmdSite, 0, "help me "},
      {"HELP\r\n", true, kCmdHelp, 0, ""},
      {"PASS\r\n", true, kCmdPass, 0, ""},
      {"NOOP", false, 0, 0, ""},
      {"NOOP\n", false, 0, 0, ""},
      {"", false, 0, 0, ""},
  };
  for (const ParseCase& c : cases) {
    CFtpCommand command;
    EXPECT_EQ(command.Parse(c.line), c.ok) << c.line;
    EXPECT_EQ(command.def.id, c.id) << c.line;
    EXPECT_EQ(command.error, c.error) << c.line;
    if (c.ok) {
      EXPECT_EQ(command.argument, c.argument) << c.line;
      EXPECT_EQ(command.HasArgument(), *c.argument != '\0') << c.line;
    }
  }
}

TEST(CommandParser, ArgumentOffsetAndLengthPointIntoTheLine) {
  CFtpCommand command;
  ASSERT_TRUE(command.Parse("STOR   a b\r\n"));
  EXPECT_EQ(command.argOffset, 7u);
  EXPECT_EQ(command.argLength, 3u);
  // The second TYPE parameter moves next to the first; the length keeps its value.
  ASSERT_TRUE(command.Parse("TYPE A    N\r\n"));
  EXPECT_EQ(command.argument, "A N");
  EXPECT_EQ(command.argLength, 6u);
}

TEST(CommandParser, LineIsReadUpToItsFirstNul) {
  CFtpCommand command;
  const std::string line("NOOP\0\r\n", 7);
  EXPECT_FALSE(command.Parse(line));
  EXPECT_EQ(command.error, 0u);
}

TEST(CommandParser, ReusedCommandForgetsThePreviousArgument) {
  CFtpCommand command;
  ASSERT_TRUE(command.Parse("RETR a\r\n"));
  command.line = "RETR a";
  ASSERT_TRUE(command.Parse("PWD\r\n"));
  EXPECT_FALSE(command.HasArgument());
  EXPECT_TRUE(command.argument.empty());
  EXPECT_FALSE(command.HasLine());
}

TEST(CommandParser, LookupFollowsTheTableOrder) {
  const struct {
    const char* text;
    FtpCommandId id;
  } cases[] = {{"CWD", kCmdCwd},   {"cwdx", kCmdCwd},  {"XPWD", kCmdXpwd},
               {"FEAT", kCmdFeat}, {"stat", 0},        {"", 0},
               {"MK", 0},          {"mkd x", kCmdMkd}, {"XCUP", kCmdXcup},
               {"PASV", kCmdPasv}, {"PWDX", kCmdPwd}};
  for (const auto& c : cases) EXPECT_EQ(LookupCommandId(c.text), c.id) << c.text;
  EXPECT_EQ(LookupCommandId(std::string_view()), 0u);
}

// The later RFCs' commands exist only with the switch on; without it their lines are unknown
// exactly as before (the original table is searched).
TEST(CommandParser, ExtensionRowsExistOnlyWithTheSwitch) {
  for (const char* line :
       {"EPSV\r\n", "EPRT |1|127.0.0.1|2000|\r\n", "MDTM f\r\n", "MFMT 20260101000000 f\r\n",
        "MLSD\r\n", "MLST f\r\n", "OPTS UTF8 ON\r\n"}) {
    CFtpCommand original;
    EXPECT_FALSE(original.Parse(line)) << line;
    EXPECT_EQ(original.error, kParseUnknownCommand) << line;
    CFtpCommand extended;
    EXPECT_TRUE(extended.Parse(line, true)) << line;
  }
  CFtpCommand feat;
  ASSERT_TRUE(feat.Parse("FEAT\r\n"));
  EXPECT_FALSE(feat.def.RunsBeforeLogin());
  EXPECT_TRUE(feat.def.RunsBeforeLogin(true));
  // FTPS exists while the service offers TLS, whatever "Extensions" says, before the login.
  for (const char* line : {"AUTH TLS\r\n", "PBSZ 0\r\n", "PROT P\r\n", "CCC\r\n"}) {
    for (const bool extensions : {false, true}) {
      CFtpCommand clear;
      EXPECT_FALSE(clear.Parse(line, extensions)) << line;
      EXPECT_EQ(clear.error, kParseUnknownCommand) << line;
      CFtpCommand tls;
      ASSERT_TRUE(tls.Parse(line, extensions, true)) << line;
      EXPECT_TRUE(tls.def.RunsBeforeLogin()) << line;
    }
  }
}

TEST(CommandParser, TableHas37OriginalRowsAndATerminator) {
  size_t rows = 0;
  size_t original = 0;
  for (; kFtpCommands[rows].id != 0; ++rows) {
    if ((kFtpCommands[rows].gates & (kGateExtension | kGateTls)) == 0) ++original;
  }
  EXPECT_EQ(original, 37u);
  // and EPRT, EPSV, MDTM, MFMT, MLSD, MLST, OPTS with "Extensions" on, AUTH, CCC, PBSZ, PROT
  // with TLS
  EXPECT_EQ(rows, 48u);
  EXPECT_STREQ(kFtpCommands[rows].name, "");
  EXPECT_EQ(kFtpCommands[rows].argOptional, 0u);
  EXPECT_EQ(kFtpCommands[rows].paramCount, 1u);
}

TEST(CommandParser, SyntaxTexts) {
  const struct {
    FtpCommandId id;
    const char* text;
  } cases[] = {
      {1, "Syntax: USER <sp> username"},
      {2, "Syntax: PASS <sp> password"},
      {3, "Syntax: ACCT (specify account)"},
      {4, "Syntax: REIN (reinitialize server state)"},
      {5, "Syntax: QUIT (terminate service)"},
      {6, "Syntax: PORT <sp> h1,h2,h3,h4,p1,p2"},
      {7, "Syntax: PASV (set server in passive mode)"},
      {8, "Syntax: TYPE <sp> [ A | E | I | L ]"},
      {9, "Syntax: STRU (specify file structure)"},
      {10, "Syntax: MODE (specify transfer mode)"},
      {11, "Syntax: RETR <sp> file-name"},
      {12, "Syntax: STOR <sp> file-name"},
      {13, "Syntax: APPE <sp> file-name"},
      {21, "Syntax: ALLO (allocate storage vacuously)"},
      {22, "Syntax: REST <sp> marker"},
      {23, "Syntax: RNFR <sp> file-name"},
      {24, "Syntax: RNTO <sp> file-name"},
      {25, "Syntax: ABOR (abort operation)"},
      {26, "Syntax: DELE <sp> file-name"},
      {27, "Syntax: LIST [ <sp> path-name ]"},
      {28, "Syntax: NLST [ <sp> path-name ]"},
      {29, "Syntax: SIZE (sp) file-name"},
      {30, "Syntax: SITE (site-specific commands)"},
      {31, "Syntax: STAT (get server status)"},
      {32, "Syntax: HELP [ <sp> <string>]"},
      {33, "Syntax: NOOP"},
      {34, "Syntax: CWD [ <sp> directory-name ]"},
      {35, "Syntax: XCWD [ <sp> directory-name ]"},
      {36, "Syntax: CDUP (change to parent directory)"},
      {37, "Syntax: XCUP (change to parent directory)"},
      {38, "Syntax: PWD (return current directory)"},
      {39, "Syntax: PWD (return current directory)"},
      {40, "Syntax: SMNT <sp> pathname"},
      {41, "Syntax: STOU (store unique file)"},
      {42, "Syntax: RMD <sp> path-name"},
      {43, "Syntax: XRMD <sp> path-name"},
      {44, "Syntax: MKD <sp> path-name"},
      {45, "Syntax: MKD <sp> path-name"},
      {46, "Syntax: SYST (get operating system type)"},
  };
  for (const auto& c : cases) {
    std::string text;
    EXPECT_TRUE(GetCommandSyntax(c.id, text)) << c.id;
    EXPECT_EQ(text, c.text);
  }
  for (FtpCommandId id : {0u, 14u, 17u, 20u, 47u, 59u}) {
    std::string text = "unchanged";
    EXPECT_FALSE(GetCommandSyntax(id, text)) << id;
    EXPECT_EQ(text, "unchanged");
  }
}

}  // namespace
}  // namespace zelm
