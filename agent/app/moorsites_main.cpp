// moorsites: the site manager on the command line, for a user without a
// display. It works on the user's registry file as the agent's site manager
// does; a running agent reads the changes at `moorgate --settings` or its next connect.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/app/drive_letters.h"
#include "agent/app/site_manager.h"
#include "agent/app/sites.h"
#include "agent/app/sites_values.h"
#include "platform/ui.h"
#include "platform/ui_headless.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "Usage: moorsites COMMAND [ARGUMENTS]\n"
    "\n"
    "Manages the Halvenmoor sites of the current user (the user's registry file).\n"
    "A user without sites first gets the machine's seed site or two examples.\n"
    "A running agent takes the changes at 'moorgate --settings' or its next --connect.\n"
    "\n"
    "Commands:\n"
    "  list                      the sites: name, drive letter, URL, connect at start\n"
    "  show NAME                 every setting of one site\n"
    "  add NAME --url URL [OPTIONS]\n"
    "                            a new site; the drive letter is proposed from X down\n"
    "                            unless --drive gives one\n"
    "  set NAME OPTIONS          changes settings of a site\n"
    "  rename OLD NEW            renames a site (its offline cache moves with it)\n"
    "  clone NAME [NEW]          copies a site as \"Copy of NAME\", or as NEW\n"
    "  delete NAME               removes a site (not the last one)\n"
    "\n"
    "Options of add and set:\n"
    "  --url URL                 http://, https://, ftp://, ftps://, sftp:// or file:/\n"
    "  --login LOGIN             user name, at most 59 bytes\n"
    "  --password-stdin          the password is the first line of standard input\n"
    "                            (at most 59 bytes); it is saved enciphered\n"
    "  --no-save-password        keep no password; it is asked when connecting\n"
    "  --drive X                 the drive letter (a link X in the drives folder)\n"
    "  --auto 0|1                connect when the agent starts\n"
    "  --resolve SECONDS         name-resolution time-out (default 60, 1 to 120)\n"
    "  --connect SECONDS         connection time-out (default 60, 1 to 120)\n"
    "  --send SECONDS            send time-out (default 60, 1 to 120)\n"
    "  --receive SECONDS         receive time-out (default 60, 1 to 120)\n"
    "  --retry N                 retry count (default 1)\n"
    "  --passive 0|1             HTTP range reads / FTP passive mode (default 1)\n"
    "  --refresh MINUTES         refresh period (default 5)\n"
    "  --ignore-cert 0|1         accept server certificates that fail validation\n"
    "  --active-refresh 0|1      refresh the last listed folder periodically\n"
    "  --propfind-get 0|1        list folders from HTML pages instead of PROPFIND\n"
    "  --sync-on-connect 0|1     synchronise the offline cache when connecting\n"
    "  --sync-on-disconnect 0|1  synchronise the offline cache when disconnecting\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed, 2 wrong usage.\n";

void Fail(const std::string& text) { std::fprintf(stderr, "moorsites: %s\n", text.c_str()); }

// Message boxes become lines on standard error; questions get their safe default.
class ConsoleUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) override {
    std::string line = Utf16ToUtf8(text);
    if (!caption.empty() && caption != kProductName && caption != u"Error") {
      line += " (" + Utf16ToUtf8(caption) + ")";
    }
    Fail(line);
    shown = true;
    return SafeDefaultAnswer(style);
  }
  bool AskPassword(std::u16string_view, std::string&) override { return false; }
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view title) override {
    return HeadlessFrontEnd().OpenProgress(title);
  }
  bool ChooseFile(std::u16string_view, std::u16string_view, std::string&) override { return false; }

  bool shown = false;
};

// What one add or set asks to change.
struct SiteEdits {
  std::optional<std::u16string> url;
  std::optional<std::string> login;
  std::optional<std::string> password;
  std::optional<bool> dontSavePassword;
  std::optional<char> drive;
  std::vector<std::pair<const char16_t*, DWORD>> options;
};

struct CommandOption {
  const char* flag;
  const char16_t* valueName;
  bool boolean;
  uint32_t syncBit;  // SynByCon / SynByDiscon: written as the options dialog writes them
};

constexpr CommandOption kCommandOptions[] = {
    {"--auto", u"Auto", true, 0},
    {"--resolve", u"Resolve", false, 0},
    {"--connect", u"Connect", false, 0},
    {"--send", u"Send", false, 0},
    {"--receive", u"Receive", false, 0},
    {"--retry", u"Retry", false, 0},
    {"--passive", u"Passive", true, 0},
    {"--refresh", u"Refresh", false, 0},
    {"--ignore-cert", u"ignoreCertificateWarning", true, 0},
    {"--active-refresh", u"ActiveRefresh", true, 0},
    {"--propfind-get", u"PropfindGet", true, 0},
    {"--sync-on-connect", u"SynByCon", true, kSiteSynByCon},
    {"--sync-on-disconnect", u"SynByDiscon", true, kSiteSynByDiscon},
};

bool ParseNumber(const std::string& text, DWORD& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (parsed > 0xFFFFFFFFull) return false;
  value = static_cast<DWORD>(parsed);
  return true;
}

bool ReadPasswordLine(std::string& password) {
  if (!std::getline(std::cin, password) && password.empty()) return false;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

bool ParseOption(const std::string& flag, const std::string& value, SiteEdits& edits) {
  for (const CommandOption& option : kCommandOptions) {
    if (flag != option.flag) continue;
    DWORD number = 0;
    if (!ParseNumber(value, number) || (option.boolean && number > 1)) {
      Fail(flag + (option.boolean ? " takes 0 or 1" : " takes a whole number") + ", not '" + value +
           "'");
      return false;
    }
    if (option.syncBit != 0) number = kSyncUserSet | (number != 0 ? option.syncBit : 0);
    edits.options.emplace_back(option.valueName, number);
    return true;
  }
  Fail("unknown option " + flag + " (see moorsites --help)");
  return false;
}

// Reads the options from args[from..]; false after a printed usage error.
bool ParseEdits(const std::vector<std::string>& args, size_t from, SiteEdits& edits) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--password-stdin") {
      std::string password;
      if (!ReadPasswordLine(password)) {
        Fail("--password-stdin: no password on standard input");
        return false;
      }
      edits.password = password;
      continue;
    }
    if (flag == "--no-save-password") {
      edits.dontSavePassword = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      Fail(flag.rfind("--", 0) == 0 ? flag + " needs a value" : "unexpected argument " + flag);
      return false;
    }
    const std::string& value = args[++i];
    if (flag == "--url") {
      edits.url = Utf8ToUtf16(value);
    } else if (flag == "--login") {
      edits.login = value;
    } else if (flag == "--drive") {
      char letter = value.size() == 1 ? value[0] : '\0';
      if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
      if (letter < 'A' || letter > 'Z') {
        Fail("--drive takes one letter A to Z, not '" + value + "'");
        return false;
      }
      edits.drive = letter;
    } else if (!ParseOption(flag, value, edits)) {
      return false;
    }
  }
  return true;
}

class Command {
 public:
  Command(SiteStore& store, SiteManager& manager, ConsoleUi& ui)
      : store_(store), manager_(manager), ui_(ui) {}

  int Run(const std::vector<std::string>& args);

 private:
  int List();
  int Show(const std::string& name);
  int Add(const std::vector<std::string>& args);
  int Set(const std::vector<std::string>& args);
  int Rename(const std::string& from, const std::string& to);
  int Clone(const std::string& name, const std::string* newName);
  int Delete(const std::string& name);

  int SiteIndex(const std::string& name);
  bool CheckEdits(const SiteEdits& edits, int self);
  int ApplyEdits(int index, const SiteEdits& edits);
  int Outcome(SiteResult result, const std::string& what);

  SiteStore& store_;
  SiteManager& manager_;
  ConsoleUi& ui_;
};

// The exit status of a result; prints its reason unless a box already said it.
int Command::Outcome(SiteResult result, const std::string& what) {
  if (result == SiteResult::kDone || result == SiteResult::kUnchanged) return kExitOk;
  if (!ui_.shown) Fail(what + ": " + SiteResultText(result));
  return kExitRefused;
}

int Command::SiteIndex(const std::string& name) {
  int index = store_.Find(Utf8ToUtf16(name));
  if (index < 0) Fail("no site named '" + name + "' (see moorsites list)");
  return index;
}

int Command::List() {
  for (int i = 0; i < store_.Count(); ++i) {
    const SiteRecord& record = store_.Record(i);
    std::printf("%-30s %c  %s%s\n", Utf16ToUtf8(store_.Name(i)).c_str(),
                record.drive[0] != '\0' ? record.drive[0] : '-',
                Utf16ToUtf8(WideField(record.url, kSiteUrlChars)).c_str(),
                record.autoConnect ? "  (auto)" : "");
  }
  return kExitOk;
}

int Command::Show(const std::string& name) {
  int index = SiteIndex(name);
  if (index < 0) return kExitRefused;
  const SiteRecord& r = store_.Record(index);
  auto flag = [&](uint32_t bit) { return (r.flags & bit) != 0 ? 1 : 0; };
  const char* password = r.dontSavePassword      ? "not saved"
                         : r.password[0] != '\0' ? "saved"
                                                 : "none";
  std::printf("Name:                     %s\n", Utf16ToUtf8(store_.Name(index)).c_str());
  std::printf("Url:                      %s\n",
              Utf16ToUtf8(WideField(r.url, kSiteUrlChars)).c_str());
  std::printf("Login:                    %s\n",
              std::string(NarrowField(r.login, kSiteLoginChars)).c_str());
  std::printf("Password:                 %s\n", password);
  std::printf("Drive:                    %s\n",
              r.drive[0] != '\0' ? std::string(1, r.drive[0]).c_str() : "-");
  std::printf("Auto:                     %u\n", r.autoConnect);
  std::printf("Resolve:                  %u\n", r.resolveTimeout);
  std::printf("Connect:                  %u\n", r.connectTimeout);
  std::printf("Send:                     %u\n", r.sendTimeout);
  std::printf("Receive:                  %u\n", r.receiveTimeout);
  std::printf("Retry:                    %u\n", r.retryCount);
  std::printf("Passive:                  %u\n", r.passive);
  std::printf("Refresh:                  %u\n", r.refreshMinutes);
  std::printf("ignoreCertificateWarning: %u\n", r.ignoreCertificateWarning);
  std::printf("ActiveRefresh:            %d\n", flag(kSiteActiveRefresh));
  std::printf("PropfindGet:              %d\n", flag(kSitePropfindGet));
  std::printf("SynByCon:                 %d\n", flag(kSiteSynByCon));
  std::printf("SynByDiscon:              %d\n", flag(kSiteSynByDiscon));
  return kExitOk;
}

// Limits and letters, checked before anything is written.
bool Command::CheckEdits(const SiteEdits& edits, int self) {
  if (edits.url && edits.url->size() > kSiteUrlMaxChars) {
    Fail("the URL is longer than 259 characters");
    return false;
  }
  if (edits.url && !CheckSiteUrl(*edits.url)) return false;
  if (edits.login && edits.login->size() > kSiteLoginMaxBytes) {
    Fail("the login is longer than 59 bytes");
    return false;
  }
  if (edits.password && edits.password->size() > kSitePasswordMaxBytes) {
    Fail("the password is longer than 59 bytes");
    return false;
  }
  if (!edits.drive) return true;
  if (self >= 0 && store_.Record(self).drive[0] == *edits.drive) return true;
  for (int i = 0; i < store_.Count(); ++i) {
    if (i != self && store_.Record(i).drive[0] == *edits.drive) {
      Fail(std::string("drive letter ") + *edits.drive + " is taken by the site '" +
           Utf16ToUtf8(store_.Name(i)) + "'");
      return false;
    }
  }
  if (DriveLetterInUse(*edits.drive)) {
    Fail(std::string("drive letter ") + *edits.drive + " is taken (" + DriveLinkPath(*edits.drive) +
         " exists)");
    return false;
  }
  return true;
}

int Command::ApplyEdits(int index, const SiteEdits& edits) {
  SiteResult result = SiteResult::kDone;
  auto step = [&](SiteResult next) {
    if (result == SiteResult::kDone) result = next;
  };
  if (edits.url) step(manager_.SetUrl(index, *edits.url));
  if (edits.login) step(manager_.SetLogin(index, *edits.login));
  if (edits.dontSavePassword) step(manager_.SetDontSavePassword(index, *edits.dontSavePassword));
  if (edits.password) {
    if (!edits.dontSavePassword) step(manager_.SetDontSavePassword(index, false));
    step(manager_.SetPassword(index, *edits.password));
  }
  if (edits.drive) step(manager_.SetDrive(index, *edits.drive));
  for (const auto& [valueName, value] : edits.options) {
    step(manager_.SetOption(index, valueName, value));
  }
  return Outcome(result, "set " + Utf16ToUtf8(store_.Name(index)));
}

int Command::Add(const std::vector<std::string>& args) {
  const std::string& name = args[1];
  SiteEdits edits;
  if (!ParseEdits(args, 2, edits)) return kExitUsage;
  if (!edits.url) {
    Fail("add needs --url URL");
    return kExitUsage;
  }
  if (!CheckEdits(edits, -1)) return kExitRefused;

  SiteRecord fields{};
  ApplyNewSiteDefaults(fields);
  CopyWide(fields.url, kSiteUrlChars, *edits.url);
  if (edits.drive) fields.drive[0] = *edits.drive;
  int index = -1;
  int status = Outcome(manager_.AddSite(Utf8ToUtf16(name), fields, &index), "add " + name);
  if (status != kExitOk) return status;
  edits.url.reset();
  edits.drive.reset();
  return ApplyEdits(index, edits);
}

int Command::Set(const std::vector<std::string>& args) {
  SiteEdits edits;
  if (!ParseEdits(args, 2, edits)) return kExitUsage;
  int index = SiteIndex(args[1]);
  if (index < 0) return kExitRefused;
  if (!CheckEdits(edits, index)) return kExitRefused;
  return ApplyEdits(index, edits);
}

int Command::Rename(const std::string& from, const std::string& to) {
  int index = SiteIndex(from);
  if (index < 0) return kExitRefused;
  return Outcome(manager_.RenameSite(index, Utf8ToUtf16(to)), "rename " + from);
}

int Command::Clone(const std::string& name, const std::string* newName) {
  int index = SiteIndex(name);
  if (index < 0) return kExitRefused;
  if (newName != nullptr) {
    // Checked first, so that a refused name leaves no "Copy of" behind.
    SiteResult check = manager_.CheckName(Utf8ToUtf16(*newName), -1);
    if (check != SiteResult::kDone) return Outcome(check, "clone " + name + " as " + *newName);
  }
  int status = Outcome(manager_.CloneSite(index), "clone " + name);
  if (status != kExitOk || newName == nullptr) return status;
  return Outcome(manager_.RenameSite(store_.Count() - 1, Utf8ToUtf16(*newName)),
                 "rename the copy to " + *newName);
}

int Command::Delete(const std::string& name) {
  int index = SiteIndex(name);
  if (index < 0) return kExitRefused;
  return Outcome(manager_.DeleteSite(index), "delete " + name);
}

int Command::Run(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  const size_t count = args.size();
  auto wants = [&](size_t low, size_t high) {
    if (count >= low && count <= high) return true;
    Fail("wrong number of arguments for " + command + " (see moorsites --help)");
    return false;
  };
  if (command == "list") return wants(1, 1) ? List() : kExitUsage;
  if (command == "show") return wants(2, 2) ? Show(args[1]) : kExitUsage;
  if (command == "add") return wants(2, 64) ? Add(args) : kExitUsage;
  if (command == "set") return wants(2, 64) ? Set(args) : kExitUsage;
  if (command == "rename") return wants(3, 3) ? Rename(args[1], args[2]) : kExitUsage;
  if (command == "clone") {
    if (!wants(2, 3)) return kExitUsage;
    return Clone(args[1], count == 3 ? &args[2] : nullptr);
  }
  if (command == "delete") return wants(2, 2) ? Delete(args[1]) : kExitUsage;
  Fail("unknown command '" + command + "' (see moorsites --help)");
  return kExitUsage;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  ConsoleUi ui;
  SetCurrentUi(&ui);
  // The table lives in a private block: this program connects nothing.
  auto block = std::make_unique<SharedUserBlock>();
  std::memset(block.get(), 0, sizeof(SharedUserBlock));
  SiteStore store(block->sites);
  int read = store.ReadSites();
  if (read < 0) return kExitRefused;
  if (read == 0) store.SeedFirstRun();
  ui.shown = false;
  SiteManager manager(store);
  Command command(store, manager, ui);
  int status = command.Run(args);
  SetCurrentUi(nullptr);
  return status;
}

}  // namespace
}  // namespace hvm

int main(int argc, char** argv) { return hvm::Main(argc, argv); }
