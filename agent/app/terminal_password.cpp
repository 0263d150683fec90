// Reading a password from /dev/tty with echo off.
#include "agent/app/terminal_password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "agent/service/site_passwords.h"

namespace hvm {

bool ReadTerminalPassword(std::string_view prompt, std::string& password, size_t maxBytes) {
  int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return false;
  termios saved{};
  bool quiet = tcgetattr(tty, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ICANON;
    quiet = tcsetattr(tty, TCSAFLUSH, &silent) == 0;
  }
  if (!quiet) {  // never read a password that would be shown
    close(tty);
    return false;
  }
  ssize_t ignored = write(tty, prompt.data(), prompt.size());
  std::string line;
  char c = 0;
  bool ended = false;
  ssize_t got = 0;
  while ((got = read(tty, &c, 1)) == 1) {
    if (c == '\n' || c == '\r') {
      ended = true;
      break;
    }
    if (line.size() < maxBytes) line += c;
  }
  tcsetattr(tty, TCSAFLUSH, &saved);
  ignored = write(tty, "\n", 1);
  (void)ignored;
  close(tty);
  bool given = ended || !line.empty();
  if (given) password = line;
  WipeMemory(line.data(), line.size());
  return given;
}

}  // namespace hvm
