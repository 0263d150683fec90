// Choosing the agent's language and loading its library from the program's
// own library folder.
#include "agent/app/language.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/locale_language.h"
#include "platform/runtime_paths.h"

namespace hvm {
namespace {

std::atomic<DWORD> g_language{LANG_ENGLISH};
std::atomic<const LanguageModule*> g_module{nullptr};

// Modules once chosen stay loaded for the program's lifetime: error texts
// handed out earlier point into them.
std::vector<std::unique_ptr<LanguageModule>>& KeptModules() {
  static auto* modules = new std::vector<std::unique_ptr<LanguageModule>>();
  return *modules;
}
std::mutex g_keptLock;

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The folder of the file that holds this code: the program itself when the
// code is linked in statically, else the shared object.
std::string OwnFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LanguageLibraryName), &info) != 0 &&
      info.dli_fname != nullptr) {
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr) return FolderOf(resolved);
  }
  // dladdr names the main program as it was started, which may be a bare name.
  return ProgramFolder();
}

void* OpenLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

}  // namespace

std::string LanguageLibraryName(DWORD language) {
  switch (language) {
    case LANG_GERMAN: return "libmoorlangde.so";
    case LANG_FRENCH: return "libmoorlangfr.so";
    case LANG_HUNGARIAN: return "libmoorlanghu.so";
    case LANG_ITALIAN: return "libmoorlangit.so";
    case LANG_DUTCH: return "libmoorlangnl.so";
    default: return {};
  }
}

std::unique_ptr<LanguageModule> LanguageModule::Load(DWORD language) {
  std::string name = LanguageLibraryName(language);
  if (name.empty()) return nullptr;
  void* handle = nullptr;
  std::string folder = OwnFolder();
  if (!folder.empty()) {
    handle = OpenLibrary(folder + "/../lib/" + name);
    if (handle == nullptr) handle = OpenLibrary(folder + "/" + name);
  }
  if (handle == nullptr) handle = OpenLibrary(name);
  return std::unique_ptr<LanguageModule>(new LanguageModule(language, handle));
}

std::unique_ptr<LanguageModule> LanguageModule::LoadFile(DWORD language, const std::string& path) {
  return std::unique_ptr<LanguageModule>(new LanguageModule(language, OpenLibrary(path)));
}

LanguageModule::~LanguageModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* LanguageModule::FindExport(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

DWORD ChooseLanguageLibrary(DWORD language) {
  if (language == 0) language = LanguageFromLocale();
  g_language = language;
  std::unique_ptr<LanguageModule> module = LanguageModule::Load(language);
  const LanguageModule* chosen = module.get();
  if (module != nullptr) {
    std::lock_guard<std::mutex> hold(g_keptLock);
    KeptModules().push_back(std::move(module));
  }
  g_module = chosen;
  return language;
}

DWORD CurrentLanguage() { return g_language; }

const LanguageModule* CurrentLanguageModule() { return g_module; }

}  // namespace hvm
