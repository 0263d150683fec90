// moorproxy URL: prints the proxies libproxy names for URL, one a line, as
// the library decides in this process's environment. The agent starts it
// with an environment that names an automatic configuration script.
#include <cstdio>
#include <string>
#include <vector>

#include "agent/clients/webdav_auto_proxy.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: moorproxy URL\n");
    return 2;
  }
  std::vector<std::string> entries;
  if (!hvm::AskLibProxy(argv[1], entries)) {
    std::fprintf(stderr, "moorproxy: libproxy is not installed or the look-up failed\n");
    return 1;
  }
  for (const std::string& entry : entries) std::printf("%s\n", entry.c_str());
  return 0;
}
