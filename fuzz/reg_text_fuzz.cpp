// A ".reg" file someone else wrote: the parse must stay in bounds, and what
// the registry writes back must read back as the same tree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  hvm::RegistryTree tree;
  std::string problem;
  if (!hvm::ParseRegText(text, "fuzz.reg", u"HKEY_CURRENT_USER", tree, problem)) {
    HVM_FUZZ_CHECK(problem.rfind("fuzz.reg:", 0) == 0);
    return 0;
  }
  std::string written = hvm::FormatRegText(tree, u"HKEY_CURRENT_USER");
  hvm::RegistryTree again;
  bool reread = hvm::ParseRegText(written, "written.reg", u"HKEY_CURRENT_USER", again, problem);
  if (!reread) std::fprintf(stderr, "%s\n", problem.c_str());
  HVM_FUZZ_CHECK(reread);
  HVM_FUZZ_CHECK(again.size() == tree.size());
  for (auto a = tree.begin(), b = again.begin(); a != tree.end(); ++a, ++b) {
    HVM_FUZZ_CHECK(a->second.path == b->second.path);
    HVM_FUZZ_CHECK(a->second.values.size() == b->second.values.size());
    for (size_t i = 0; i < a->second.values.size(); ++i) {
      const hvm::RegValue& x = a->second.values[i];
      const hvm::RegValue& y = b->second.values[i];
      HVM_FUZZ_CHECK(x.name == y.name && x.type == y.type && x.data == y.data);
    }
  }
  HVM_FUZZ_CHECK(hvm::FormatRegText(again, u"HKEY_CURRENT_USER") == written);
  return 0;
}
