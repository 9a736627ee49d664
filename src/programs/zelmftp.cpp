// The FTP service: for now it only tells how it will be used.
#include <cstdio>
#include <cstring>

namespace {

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: zelmftp [--help]\n"
      "\n"
      "ZelmFTP for Linux, the FTP server of an internet cafe.\n"
      "Accounts live on a management server; the FTP server asks it about every login.\n"
      "\n"
      "This build carries the protocol core (command parsing, replies, management packets);\n"
      "the listener is not part of it yet.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0) {
    std::fprintf(stderr, "zelmftp: unknown argument '%s'\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
  }
  PrintUsage(stdout);
  return 0;
}
