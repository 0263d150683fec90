// libssh, loaded at run time by name and bound function by function. The
// agent builds and runs without it; an SFTP site then cannot connect. The
// declarations come from libssh's own headers (0.10), the addresses from
// dlsym: a missing entry point leaves its pointer null and the callers treat
// the call as failed.
#pragma once
#include <libssh/libssh.h>
#include <libssh/sftp.h>

namespace hvm {

struct LibSsh {
  decltype(&::ssh_new) new_session = nullptr;
  decltype(&::ssh_free) free_session = nullptr;
  decltype(&::ssh_options_set) options_set = nullptr;
  decltype(&::ssh_connect) connect = nullptr;
  decltype(&::ssh_disconnect) disconnect = nullptr;
  decltype(&::ssh_is_connected) is_connected = nullptr;
  decltype(&::ssh_get_error) get_error = nullptr;
  decltype(&::ssh_get_error_code) get_error_code = nullptr;
  decltype(&::ssh_session_is_known_server) is_known_server = nullptr;
  decltype(&::ssh_session_update_known_hosts) update_known_hosts = nullptr;
  decltype(&::ssh_known_hosts_parse_line) known_hosts_parse_line = nullptr;
  decltype(&::ssh_knownhosts_entry_free) knownhosts_entry_free = nullptr;
  decltype(&::ssh_get_server_publickey) get_server_publickey = nullptr;
  decltype(&::ssh_get_publickey_hash) get_publickey_hash = nullptr;
  decltype(&::ssh_get_fingerprint_hash) get_fingerprint_hash = nullptr;
  decltype(&::ssh_clean_pubkey_hash) clean_pubkey_hash = nullptr;
  decltype(&::ssh_key_free) key_free = nullptr;
  decltype(&::ssh_string_free_char) string_free_char = nullptr;
  decltype(&::ssh_userauth_none) userauth_none = nullptr;
  decltype(&::ssh_userauth_list) userauth_list = nullptr;
  decltype(&::ssh_userauth_publickey_auto) userauth_publickey_auto = nullptr;
  decltype(&::ssh_userauth_password) userauth_password = nullptr;
  decltype(&::ssh_userauth_kbdint) userauth_kbdint = nullptr;
  decltype(&::ssh_userauth_kbdint_getnprompts) userauth_kbdint_getnprompts = nullptr;
  decltype(&::ssh_userauth_kbdint_getprompt) userauth_kbdint_getprompt = nullptr;
  decltype(&::ssh_userauth_kbdint_setanswer) userauth_kbdint_setanswer = nullptr;
  decltype(&::ssh_get_issue_banner) get_issue_banner = nullptr;
  decltype(&::ssh_channel_write) channel_write = nullptr;
  decltype(&::ssh_channel_read_timeout) channel_read_timeout = nullptr;
  decltype(&::ssh_string_len) string_len = nullptr;
  decltype(&::ssh_string_data) string_data = nullptr;
  decltype(&::ssh_string_free) string_free = nullptr;
  decltype(&::sftp_new) sftp_new = nullptr;
  decltype(&::sftp_init) sftp_init = nullptr;
  decltype(&::sftp_free) sftp_free = nullptr;
  decltype(&::sftp_get_error) sftp_get_error = nullptr;
  // Optional: null when the library lacks it (the client then assumes no extension).
  decltype(&::sftp_extension_supported) extension_supported = nullptr;
  decltype(&::sftp_open) open = nullptr;
  decltype(&::sftp_close) close = nullptr;
  decltype(&::sftp_seek64) seek64 = nullptr;
  decltype(&::sftp_async_read_begin) async_read_begin = nullptr;
  decltype(&::sftp_async_read) async_read = nullptr;
  decltype(&::sftp_fstat) fstat = nullptr;
  decltype(&::sftp_stat) stat = nullptr;
  decltype(&::sftp_lstat) lstat = nullptr;
  decltype(&::sftp_setstat) setstat = nullptr;
  decltype(&::sftp_attributes_free) attributes_free = nullptr;
  decltype(&::sftp_opendir) opendir = nullptr;
  decltype(&::sftp_readdir) readdir = nullptr;
  decltype(&::sftp_dir_eof) dir_eof = nullptr;
  decltype(&::sftp_closedir) closedir = nullptr;
  decltype(&::sftp_mkdir) mkdir = nullptr;
  decltype(&::sftp_rmdir) rmdir = nullptr;
  decltype(&::sftp_unlink) unlink = nullptr;
  decltype(&::sftp_rename) rename = nullptr;

  // True when the module and every entry point the client cannot do without
  // were found.
  bool complete = false;
};

// The module name the agent asks for; HALVENMOOR_LIBSSH overrides it (tests
// point it at a missing file).
inline constexpr const char* kLibSshModule = "libssh.so.4";

// Loads the module once per process (later calls return the same binding);
// null when the module is missing or lacks an entry point the client needs.
const LibSsh* LoadLibSsh();

}  // namespace hvm
