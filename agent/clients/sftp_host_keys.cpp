// The server's key against ~/.ssh/known_hosts: the questions about an unknown
// or changed key, and what an accepted answer writes. A changed key is taken
// only when the person says so; a connection without questions refuses it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "agent/clients/sftp_client.h"
#include "agent/clients/server_text.h"
#include "common/moorlib.h"
#include "platform/locale_language.h"
#include "platform/ui.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr DWORD kGerman = 7;

struct Question {
  const char16_t* english;
  const char16_t* german;
  std::u16string_view caption;
  DWORD buttons;
  int accept;
};

Question QuestionOf(HostKeyState state) {
  switch (state) {
    case HostKeyState::Unknown:
      return {u"The server is unknown, accept the changes?",
              u"Der Server ist unbekannt, sollte das Programm den Server akzeptieren?", kSftpUnknownCaption,
              MB_YESNO, IDYES};
    case HostKeyState::Changed:
      return {u"The server host has been changed, accept the changes?",
              u"Der Server Host hat sich ge\u00e4ndert, sollte das Programm die \u00c4nderungen akzeptieren?",
              kSftpChangedCaption, MB_OKCANCEL, IDOK};
    default:
      return {u"The server key has been changed, accept the changes?",
              u"Der Server Key hat sich ge\u00e4ndert, sollte das Programm die \u00c4nderungen akzeptieren?",
              kSftpOtherKeyCaption, MB_OKCANCEL, IDOK};
  }
}

// "SHA256:..." of the key the server showed, for the person to compare.
std::string Fingerprint(const LibSsh& ssh, ssh_session session) {
  ssh_key key = nullptr;
  if (ssh.get_server_publickey(session, &key) != SSH_OK || key == nullptr) return {};
  unsigned char* hash = nullptr;
  size_t length = 0;
  std::string text;
  if (ssh.get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0) {
    if (char* printable = ssh.get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length)) {
      text = printable;
      ssh.string_free_char(printable);
    }
    ssh.clean_pubkey_hash(&hash);
  }
  ssh.key_free(key);
  return text;
}

bool EnsureFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  return false;
}

}  // namespace

std::string SftpKnownHostsPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == 0) return {};
  std::string folder = std::string(home) + "/.ssh";
  if (!EnsureFolder(folder)) return {};
  std::string file = folder + "/known_hosts";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  close(fd);
  return file;
}

bool RemoveKnownHost(const LibSsh& ssh, const std::string& file, const std::string& hostName) {
  std::ifstream in(file);
  if (!in) return false;
  std::string copy = file + "cpy";
  int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string kept;
  std::string line;
  size_t removed = 0;
  while (std::getline(in, line)) {
    struct ssh_knownhosts_entry* entry = nullptr;
    // libssh's own matching: plain names, patterns and hashed names alike.
    bool names = ssh.known_hosts_parse_line(hostName.c_str(), line.c_str(), &entry) == SSH_OK;
    if (entry) ssh.knownhosts_entry_free(entry);
    if (names) {
      ++removed;
      continue;
    }
    kept += line;
    kept += '\n';
  }
  bool written = ::write(fd, kept.data(), kept.size()) == static_cast<ssize_t>(kept.size()) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written || rename(copy.c_str(), file.c_str()) != 0) {
    unlink(copy.c_str());
    return false;
  }
  WideDbgPrint(u"known_hosts: %d lines of %s removed\n", static_cast<int>(removed), hostName.c_str());
  return true;
}

HostKeyState SftpClient::CheckHostKey() {
  switch (ssh_->is_known_server(session_)) {
    case SSH_KNOWN_HOSTS_OK: return HostKeyState::Known;
    case SSH_KNOWN_HOSTS_CHANGED: return HostKeyState::Changed;
    case SSH_KNOWN_HOSTS_OTHER: return HostKeyState::OtherType;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND: return HostKeyState::Unknown;
    default: return HostKeyState::Error;
  }
}

bool SftpClient::AcceptHostKey(HostKeyState state, bool interactive) {
  if (state == HostKeyState::Known) return true;
  if (state == HostKeyState::Error) {
    lastError_ = ServerTextForUser(ssh_->get_error(session_), 512);
    ReportFailure("Open", "");
    return false;
  }
  Question question = QuestionOf(state);
  std::string hostName = KnownHostsName(address_);
  if (!interactive) {
    // Nobody is asked while reconnecting: an unknown or changed key is refused.
    lastError_ = "The server's key is not the one known for " + hostName + "; the connection was refused.";
    ReportFailure("Open", "");
    return false;
  }
  std::u16string text = LanguageFromLocale() == kGerman ? question.german : question.english;
  text += u"\n\n" + Utf8ToUtf16(hostName) + u" " + Utf8ToUtf16(Fingerprint(*ssh_, session_));
  int answer = CurrentUi().MessageBox(text, question.caption,
                                      question.buttons | MB_ICONERROR | MB_DEFAULT_DESKTOP_ONLY);
  if (answer != question.accept) {
    lastError_ = "The server's key was not accepted for " + hostName + ".";
    ReportFailure("Open", "");
    return false;
  }
  std::string file = SftpKnownHostsPath();
  if (state != HostKeyState::Unknown && !file.empty() && !RemoveKnownHost(*ssh_, file, hostName))
    WideDbgPrint(u"known_hosts: the old key of %s could not be removed\n", hostName.c_str());
  if (ssh_->update_known_hosts(session_) != SSH_OK) {
    // The key is trusted for this connection; the next one asks again.
    WideDbgPrint(u"known_hosts: %s\n", ssh_->get_error(session_));
  }
  return true;
}

}  // namespace hvm
