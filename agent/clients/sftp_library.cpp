// Binding libssh by name. Loaded once and never unloaded: sessions of every
// SFTP site of the agent share it.
#include "agent/clients/sftp_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

#include "common/moorlib.h"

namespace hvm {
namespace {

template <typename F>
bool Bind(void* module, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(module, name));
  if (slot == nullptr) WideDbgPrint(u"libssh: no entry point %s\n", name);
  return slot != nullptr;
}

LibSsh* Load() {
  const char* name = std::getenv("HALVENMOOR_LIBSSH");
  if (name == nullptr || *name == 0) name = kLibSshModule;
  void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    WideDbgPrint(u"libssh: %s\n", dlerror());
    return nullptr;
  }
  static LibSsh ssh;
  bool ok = true;
  ok &= Bind(module, "ssh_new", ssh.new_session);
  ok &= Bind(module, "ssh_free", ssh.free_session);
  ok &= Bind(module, "ssh_options_set", ssh.options_set);
  ok &= Bind(module, "ssh_connect", ssh.connect);
  ok &= Bind(module, "ssh_disconnect", ssh.disconnect);
  ok &= Bind(module, "ssh_is_connected", ssh.is_connected);
  ok &= Bind(module, "ssh_get_error", ssh.get_error);
  ok &= Bind(module, "ssh_get_error_code", ssh.get_error_code);
  ok &= Bind(module, "ssh_session_is_known_server", ssh.is_known_server);
  ok &= Bind(module, "ssh_session_update_known_hosts", ssh.update_known_hosts);
  ok &= Bind(module, "ssh_known_hosts_parse_line", ssh.known_hosts_parse_line);
  ok &= Bind(module, "ssh_knownhosts_entry_free", ssh.knownhosts_entry_free);
  ok &= Bind(module, "ssh_get_server_publickey", ssh.get_server_publickey);
  ok &= Bind(module, "ssh_get_publickey_hash", ssh.get_publickey_hash);
  ok &= Bind(module, "ssh_get_fingerprint_hash", ssh.get_fingerprint_hash);
  ok &= Bind(module, "ssh_clean_pubkey_hash", ssh.clean_pubkey_hash);
  ok &= Bind(module, "ssh_key_free", ssh.key_free);
  ok &= Bind(module, "ssh_string_free_char", ssh.string_free_char);
  ok &= Bind(module, "ssh_userauth_none", ssh.userauth_none);
  ok &= Bind(module, "ssh_userauth_list", ssh.userauth_list);
  ok &= Bind(module, "ssh_userauth_publickey_auto", ssh.userauth_publickey_auto);
  ok &= Bind(module, "ssh_userauth_password", ssh.userauth_password);
  ok &= Bind(module, "ssh_userauth_kbdint", ssh.userauth_kbdint);
  ok &= Bind(module, "ssh_userauth_kbdint_getnprompts", ssh.userauth_kbdint_getnprompts);
  ok &= Bind(module, "ssh_userauth_kbdint_getprompt", ssh.userauth_kbdint_getprompt);
  ok &= Bind(module, "ssh_userauth_kbdint_setanswer", ssh.userauth_kbdint_setanswer);
  ok &= Bind(module, "ssh_get_issue_banner", ssh.get_issue_banner);
  ok &= Bind(module, "ssh_channel_write", ssh.channel_write);
  ok &= Bind(module, "ssh_channel_read_timeout", ssh.channel_read_timeout);
  ok &= Bind(module, "ssh_string_len", ssh.string_len);
  ok &= Bind(module, "ssh_string_data", ssh.string_data);
  ok &= Bind(module, "ssh_string_free", ssh.string_free);
  ok &= Bind(module, "sftp_new", ssh.sftp_new);
  ok &= Bind(module, "sftp_init", ssh.sftp_init);
  ok &= Bind(module, "sftp_free", ssh.sftp_free);
  ok &= Bind(module, "sftp_get_error", ssh.sftp_get_error);
  ok &= Bind(module, "sftp_open", ssh.open);
  ok &= Bind(module, "sftp_close", ssh.close);
  ok &= Bind(module, "sftp_seek64", ssh.seek64);
  ok &= Bind(module, "sftp_async_read_begin", ssh.async_read_begin);
  ok &= Bind(module, "sftp_async_read", ssh.async_read);
  ok &= Bind(module, "sftp_fstat", ssh.fstat);
  ok &= Bind(module, "sftp_stat", ssh.stat);
  ok &= Bind(module, "sftp_lstat", ssh.lstat);
  ok &= Bind(module, "sftp_setstat", ssh.setstat);
  ok &= Bind(module, "sftp_attributes_free", ssh.attributes_free);
  ok &= Bind(module, "sftp_opendir", ssh.opendir);
  ok &= Bind(module, "sftp_readdir", ssh.readdir);
  ok &= Bind(module, "sftp_dir_eof", ssh.dir_eof);
  ok &= Bind(module, "sftp_closedir", ssh.closedir);
  ok &= Bind(module, "sftp_mkdir", ssh.mkdir);
  ok &= Bind(module, "sftp_rmdir", ssh.rmdir);
  ok &= Bind(module, "sftp_unlink", ssh.unlink);
  ok &= Bind(module, "sftp_rename", ssh.rename);
  Bind(module, "sftp_extension_supported", ssh.extension_supported);  // optional
  ssh.complete = ok;
  return &ssh;
}

}  // namespace

const LibSsh* LoadLibSsh() {
  static std::once_flag once;
  static LibSsh* loaded = nullptr;
  std::call_once(once, [] { loaded = Load(); });
  return loaded != nullptr && loaded->complete ? loaded : nullptr;
}

}  // namespace hvm
