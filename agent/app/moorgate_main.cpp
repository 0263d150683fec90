// moorgate: the agent. Runs once per user in the foreground: serves the
// driver's requests for every connected site until it is told to quit.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/app/connect_site.h"
#include "agent/app/instance_channel.h"
#include "agent/app/language.h"
#include "agent/app/program_settings.h"
#include "agent/app/shell_notify.h"
#include "agent/app/sites.h"
#include "agent/app/startup.h"
#include "agent/app/startup_main_loop.h"
#include "agent/app/terminal_password.h"
#ifdef HVM_HAVE_QT
#include "agent/app/qt/qt_front_end.h"
#endif
#include "agent/clients/ftp_client.h"
#include "agent/clients/http_listing_client.h"
#include "agent/clients/webdav_client.h"
#include "agent/offline/file_client.h"
#ifdef HVM_HAVE_SFTP
#include "agent/clients/sftp_client.h"
#endif
#include "agent/service/registration.h"
#include "agent/service/shared_section.h"
#include "agent/service/site_passwords.h"
#include "common/moorlib.h"
#include "platform/instance_lock.h"
#include "platform/wide_text.h"
#include "platform/ui.h"

namespace hvm {
namespace {

constexpr auto kQuitWait = std::chrono::seconds(60);

void PrintHelp() {
  std::printf(
      "Usage: moorgate [OPTION]... [SWITCH]...\n"
      "The Halvenmoor agent: connects your sites and serves their drives. It runs\n"
      "in the foreground, once per user; a second start hands its command to the\n"
      "running agent and ends.\n\n"
      "  (no arguments)        start and keep running; sites marked Auto that have a\n"
      "                        login are connected at once\n"
      "  --connect NAME        connect the site NAME (same as /con /name=NAME)\n"
      "  --disconnect NAME     disconnect the site NAME (/dis /name=NAME)\n"
      "  --refresh NAME        rebuild the drive of the connected site NAME (/ref /name=NAME)\n"
      "  --offline-connect NAME  connect the site NAME offline: its drive shows the\n"
      "                        site's offline cache (/off /name=NAME)\n"
      "  --sync NAME           synchronise the offline folders of the site NAME,\n"
      "                        connected online (/syn /name=NAME)\n"
      "  --settings            read the sites again after changes made with moorsites\n"
      "                        (/set); connected sites stay as they are\n"
      "  --sleep N             wait N seconds before starting (/sleep=N)\n"
      "  --quit                disconnect every site of the running agent and end it\n"
      "  --headless            no windows even with a display: questions go to the log,\n"
      "                        standard error and the answer file (HALVENMOOR_UI_ANSWERS)\n"
      "  --help                show this text\n\n"
      "Switches are also accepted as they stand: /con /dis /ref /name=NAME /set\n"
      "/sleep[=N] /min. A site name ends at the first blank (31 characters at most).\n"
      "Sites are kept with moorsites; --connect reads them again first. A\n"
      "connected site shows up as the link\n"
      "~/Halvenmoor/<drive letter> (the HKCU value DrivesFolder moves it).\n"
      "With a display (and without --headless) the agent shows its tray icon and\n"
      "site manager. A site that does not save its password asks for it: in a\n"
      "dialog, or on the terminal (without echo) for --connect.\n"
      "SIGTERM or SIGINT end the agent like --quit.\n");
}

struct Arguments {
  std::string commandLine;  // in the agent's switch form
  bool help = false;
  bool quit = false;
  bool headless = false;
  bool bad = false;
};

Arguments ParseArguments(int argc, char** argv) {
  Arguments a;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    bool hasValue = i + 1 < argc;
    if (word == "--help" || word == "-h") {
      a.help = true;
    } else if (word == "--quit") {
      a.quit = true;
    } else if (word == "--headless") {
      a.headless = true;
    } else if (word == "--settings") {
      words.push_back("/set");
    } else if ((word == "--connect" || word == "--disconnect" || word == "--refresh") && hasValue) {
      const char* command = word == "--connect" ? "/con" : word == "--disconnect" ? "/dis" : "/ref";
      words.push_back(command);
      words.push_back(std::string("/name=") + argv[++i]);
    } else if ((word == "--offline-connect" || word == "--sync") && hasValue) {
      words.push_back(word == "--sync" ? "/syn" : "/off");
      words.push_back(std::string("/name=") + argv[++i]);
    } else if (word == "--sleep" && hasValue) {
      words.push_back(std::string("/sleep=") + argv[++i]);
    } else if (word.size() > 1 && word[0] == '-') {
      a.bad = true;
    } else {
      words.push_back(word);
    }
  }
  for (const std::string& word : words) {
    if (!a.commandLine.empty()) a.commandLine += ' ';
    a.commandLine += word;
  }
  return a;
}

// Why a command handed to the running agent did not succeed.
void ReportCommandFailure(const InstanceMessage& message, uint32_t result) {
  std::string site(message.siteName, strnlen(message.siteName, sizeof message.siteName));
  const char* verb = message.message == kMessageConnect      ? "connected"
                     : message.message == kMessageDisconnect ? "disconnected"
                     : message.message == kMessageOfflineConnect ? "connected offline"
                     : message.message == kMessageSynchronize    ? "synchronised"
                                                                 : "refreshed";
  const char* why = "the site is not known, not in that state, or failed (see the agent's log)";
  if (result == kCommandFileOpen) why = "a file on its drive is open; close it and try again";
  if (result == kCommandDriveBusy) why = "its drive is in use and could not be removed";
  std::fprintf(stderr, "moorgate: %s was not %s: %s\n", site.c_str(), verb, why);
}

// A connect of a site that keeps no password asks for it on the terminal
// first; empty when none is needed or none was typed.
std::string TypedPassword(const InstanceMessage& message) {
  if (message.message != kMessageConnect) return {};
  struct Scratch {
    SiteTable sites;
  };
  auto scratch = std::make_unique<Scratch>();
  std::memset(scratch->sites, 0, sizeof(SiteTable));
  SiteStore store(scratch->sites);
  std::string name(message.siteName, strnlen(message.siteName, sizeof message.siteName));
  std::string password;
  if (store.ReadSites() > 0) {
    int index = store.Find(Utf8ToUtf16(name));
    const SiteRecord* r = index >= 0 && store.Name(index) == Utf8ToUtf16(name) ? &store.Record(index) : nullptr;
    if (r != nullptr && r->login[0] != 0 && r->dontSavePassword && r->password[0] == 0) {
      std::string login(r->login, strnlen(r->login, kSiteLoginChars));
      ReadTerminalPassword("Password of " + login + " for " + name + ": ", password, kHandOverPasswordBytes);
    }
  }
  WipeMemory(scratch->sites, sizeof(SiteTable));
  return password;
}

int HandOver(const std::string& commandLine) {
  int failures = 0;
  for (const InstanceMessage& message : HandOverMessages(commandLine)) {
    std::string password = TypedPassword(message);
    bool handed = password.empty() || SendInstancePassword(message.siteName, password);
    WipeMemory(password.data(), password.size());
    if (!handed) {
      std::fprintf(stderr, "moorgate: the running agent does not answer\n");
      return 1;
    }
    uint32_t result = 0;
    if (!SendInstanceMessage(message, &result)) {
      std::fprintf(stderr, "moorgate: the running agent does not answer\n");
      return 1;
    }
    bool isCommand = message.message == kMessageConnect || message.message == kMessageDisconnect ||
                     message.message == kMessageRefresh || message.message == kMessageOfflineConnect ||
                     message.message == kMessageSynchronize;
    if (isCommand && result != kCommandDone) {
      ReportCommandFailure(message, result);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

int QuitRunningAgent() {
  if (!InstanceLockHeld(kAgentInstanceName)) {
    std::fprintf(stderr, "moorgate: no agent is running\n");
    return 1;
  }
  if (!SendInstanceMessage(MakeInstanceMessage(kMessageQuit))) {
    std::fprintf(stderr, "moorgate: the running agent does not answer\n");
    return 1;
  }
  // The agent disconnects its sites before it lets go of the instance lock.
  auto deadline = std::chrono::steady_clock::now() + kQuitWait;
  while (InstanceLockHeld(kAgentInstanceName) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return InstanceLockHeld(kAgentInstanceName) ? 1 : 0;
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// The signals reach only this thread, which turns them into a quit.
void WatchStopSignals(AgentMainLoop& loop) {
  std::thread([&loop] {
    sigset_t set = StopSignals();
    int signal = 0;
    if (sigwait(&set, &signal) == 0) {
      WideDbgPrint(u"Signal %d: ending\n", signal);
      loop.Quit();
    }
  }).detach();
}

// The registry is read into private memory first: the shared block gets
// every field but the passwords, which the agent keeps to itself.
void ReadSiteTable(SharedUserBlock& block) {
  struct Scratch {
    SiteTable sites;
  };
  auto scratch = std::make_unique<Scratch>();
  std::memset(scratch->sites, 0, sizeof(SiteTable));
  SiteStore store(scratch->sites);
  int count = store.ReadSites();
  if (count <= 0) count = store.SeedFirstRun();
  for (size_t i = 0; i < kSiteCount; ++i) PublishSiteRecord(block.sites[i], scratch->sites[i]);
  WipeMemory(scratch->sites, sizeof(SiteTable));
  WideDbgPrint(u"Sites read: %d\n", count);
}

// Sites added or changed with moorsites while the agent runs; connected sites stay as they are.
int ReadSitesAgain(SharedUserBlock& block) {
  int count = RereadSites(block.sites);
  WideDbgPrint(u"Sites read again: %d\n", count);
  return count;
}

uint32_t HandleMessage(SiteConnector& connector, SharedUserBlock& block, const InstanceMessage& message) {
  switch (message.message) {
    case kMessageTrayNotify:
      std::fprintf(stderr, "moorgate: already running (pid %d)\n", static_cast<int>(getpid()));
      return 1;
    case kMessageSettings:
      return ReadSitesAgain(block) >= 0 ? 1 : 0;
    case kMessageConnect: {
      // A site that is not connected connects as the registry has it now.
      ReadSitesAgain(block);
      std::string name(message.siteName, strnlen(message.siteName, sizeof message.siteName));
      std::string password = TakeHandedPassword(name);
      int index = connector.Find(Utf8ToUtf16(name));
      if (!password.empty() && index >= 0 && block.sites[index].mappedDrive == 0)
        KeepSitePassword(block.sites[index], password);
      WipeMemory(password.data(), password.size());
      return connector.HandleCommand(message);
    }
    default:
      return connector.HandleCommand(message);
  }
}

// The first start's own command runs once the sites are up.
void RunOwnCommands(SiteConnector& connector, SharedUserBlock& block, const std::string& commandLine) {
  if (commandLine.empty()) return;
  for (const InstanceMessage& message : HandOverMessages(commandLine)) {
    if (message.message == kMessageSettings) continue;
    std::string password = TypedPassword(message);
    if (!password.empty()) StashHandedPassword(message.siteName, password);
    WipeMemory(password.data(), password.size());
    HandleMessage(connector, block, message);
  }
}

int RunAgent(const std::string& commandLine, bool headless) {
  if (uint32_t sleepMs = SleepMillisecondsOf(commandLine))
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));

  AgentSharedSection section;
  std::u16string reason;
  const std::string sectionName = SessionSharedSectionName();
  if (section.Attach(true, &reason, sectionName) != ERROR_SUCCESS) {
    std::u16string text = u"Error while creating shared memory";
    if (!reason.empty()) text += u"\n" + reason;
    CurrentUi().MessageBox(text, kAgentCaption, MB_OK | MB_ICONERROR);
    return 1;
  }
  ChooseLanguageLibrary(0);
  ReadSiteTable(*section.UserBlock());
  ApplyProxySettings(ReadProgramSettings());
  SetHalvenmoorName("Halvenmoor");
  if (!OpenDriver() || !DriverVersionAcceptable()) {
    StopPingThread();
    return 1;
  }
  if (StartsHidden(commandLine)) WideDbgPrint(u"Started hidden: %s\n", commandLine.c_str());
  RegisterWebDavClient();
  RegisterHttpListingClient();
  RegisterFtpClient();
  RegisterFileClient();
#ifdef HVM_HAVE_SFTP
  RegisterSftpClient();
#endif

  ConnectionTable table;
  table.Bind(section.UserBlock());
  SiteConnector connector(table);
  AgentMainLoop loop;
  WatchStopSignals(loop);
  AgentShellNotifyQueue().StartConsumer();
  InstanceChannelServer server;
  if (!server.Start([&loop](const InstanceMessage& m) { return loop.Send(m); }))
    WideDbgPrint(u"The instance socket cannot be made: %d\n", errno);

  std::fprintf(stderr, "moorgate: running (pid %d); end it with moorgate --quit\n",
               static_cast<int>(getpid()));
  SharedUserBlock& block = *section.UserBlock();
  auto handler = [&connector, &block](const InstanceMessage& m) { return HandleMessage(connector, block, m); };
#ifdef HVM_HAVE_QT
  if (!headless && DisplayAvailable()) {
    FrontEndSetup setup;
    setup.loop = &loop;
    setup.connector = &connector;
    setup.block = &block;
    setup.handler = handler;
    setup.startHidden = StartsHidden(commandLine);
    setup.openSettings = HasSwitch(commandLine, "set");
    setup.beforeRun = [&] {
      connector.ConnectAutoSites();
      RunOwnCommands(connector, block, commandLine);
    };
    RunQtFrontEnd(setup);
  } else
#endif
  {
    (void)headless;
    connector.ConnectAutoSites();
    RunOwnCommands(connector, block, commandLine);
    loop.Run(handler);
  }

  server.Stop();
  connector.DisconnectAllSites();
  StopHousekeeping();
  AgentShellNotifyQueue().StopConsumer();
  StopPingThread();
  // Nothing of this user's stays behind in /dev/shm once the agent has ended;
  // the mapping itself stays valid until the section is detached at the end.
  RemoveSharedSection(sectionName);
  ForgetAllSitePasswords();
  std::fprintf(stderr, "moorgate: ended\n");
  return 0;
}

}  // namespace
}  // namespace hvm

int main(int argc, char** argv) {
  using namespace hvm;
  Arguments args = ParseArguments(argc, argv);
  if (args.help || args.bad) {
    PrintHelp();
    return args.bad ? 2 : 0;
  }
  if (args.quit) return QuitRunningAgent();

  // Every thread made from here on leaves the stop signals to the watcher.
  sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  InstanceLock instance;
  bool first = instance.Acquire(kAgentInstanceName);
  debugIsAllowed = 2;
  if (!first) {
    if (instance.alreadyExists()) return HandOver(args.commandLine);
    std::fprintf(stderr, "moorgate: the instance lock cannot be made: %s\n",
                 instance.problem().c_str());
    return 1;
  }
  return RunAgent(args.commandLine, args.headless);
}
