// The reference management server: for now it only tells how it will be used.
#include <cstdio>

int main(int argc, char** argv) {
  std::fputs(
      "Usage: zelm-mserver\n"
      "\n"
      "A reference management server for ZelmFTP: accounts, logins and session reports.\n"
      "It is not part of this build yet.\n",
      argc > 1 ? stderr : stdout);
  (void)argv;
  return argc > 1 ? 2 : 0;
}
