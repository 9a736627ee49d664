// The operator's command-line tool: for now it only tells how it will be used.
#include <cstdio>

int main(int argc, char** argv) {
  std::fputs(
      "Usage: zelmftpctl settings list | get NAME | set-dword NAME N | set-string NAME TEXT |"
      " unset NAME\n"
      "\n"
      "The settings store is not part of this build yet.\n",
      argc > 1 ? stderr : stdout);
  (void)argv;
  return argc > 1 ? 2 : 0;
}
