#include "driver/fuse_session.h"

#include <signal.h>

#include <mutex>
#include <string>
#include <vector>

#include "agent/service/channel_records.h"
#include "driver/control_codes.h"
#include "driver/fuse_glue.h"
#include "driver/trace.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
void OpInit(void*, fuse_conn_info* conn) {
  // Up to 1 MiB a request; a Connection of 64 KiB pieces gets it in pieces.
  conn->max_read = kWidePieceSize;
  conn->max_write = kWidePieceSize;
  conn->max_readahead = kWidePieceSize;
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // every listing carries attributes
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;   // the driver purges itself
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;   // writes reach the agent before they return
  conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;    // O_TRUNC arrives as a size change
  conn->want &= ~FUSE_CAP_EXPORT_SUPPORT;
}

fuse_lowlevel_ops MakeOps() {
  fuse_lowlevel_ops ops{};
  ops.init = OpInit;
  ops.lookup = OpLookup;
  ops.forget = OpForget;
  ops.forget_multi = OpForgetMulti;
  ops.getattr = OpGetattr;
  ops.setattr = OpSetattr;
  ops.mkdir = OpMkdir;
  ops.unlink = OpUnlink;
  ops.rmdir = OpRmdir;
  ops.rename = OpRename;
  ops.open = OpOpen;
  ops.create = OpCreate;
  ops.read = OpRead;
  ops.write = OpWrite;
  ops.flush = OpFlush;
  ops.release = OpRelease;
  ops.fsync = OpFsync;
  ops.opendir = OpOpendir;
  ops.readdirplus = OpReaddirplus;
  ops.releasedir = OpReleasedir;
  ops.statfs = OpStatfs;
  ops.getxattr = OpGetxattr;
  ops.listxattr = OpListxattr;
  ops.copy_file_range = OpCopyFileRange;
  return ops;
}

// The shell notification: the kernel forgets the entry and attributes of a path.
NTSTATUS InvalidatePath(uid_t uid, const std::u16string& connection, const std::u16string& path) {
  std::u16string fullName = kFullNamePrefix + connection;
  if (!path.empty() && path != u"\\") fullName += (path[0] == u'\\' ? u"" : u"\\") + path;
  while (fullName.size() > 1 && fullName.back() == u'\\') fullName.pop_back();
  uint64_t ino = 0, parent = 0;
  std::string name;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().FindByFullName(uid, fullName);
    if (node == nullptr) return STATUS_SUCCESS;  // nothing cached
    node->attrTime = {};
    ino = node->ino;
    parent = node->parent;
    name = node->name;
  }
  ForgetEntry(parent, name);
  PurgeInode(ino);
  return STATUS_SUCCESS;
}
}  // namespace

int ServeMount(const std::string& mountPoint, bool serveAllUsers) {
  std::string options = "fsname=quenlode,subtype=quenlode,max_read=" + std::to_string(kWidePieceSize);
  if (serveAllUsers) options += ",allow_other,default_permissions";
  std::vector<std::string> argvText = {"quenlode", "-o", options};
  std::vector<char*> argv;
  for (auto& text : argvText) argv.push_back(text.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_lowlevel_ops ops = MakeOps();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (session == nullptr) return 1;
  int result = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, mountPoint.c_str()) == 0) {
      StartPurgeThread(session);
      SetInvalidateHook(InvalidatePath);
      // Only this thread takes the stop signals, so the loop notices them.
      sigset_t stopSignals;
      sigemptyset(&stopSignals);
      sigaddset(&stopSignals, SIGTERM);
      sigaddset(&stopSignals, SIGINT);
      sigaddset(&stopSignals, SIGHUP);
      pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, 32);
      result = fuse_session_loop_mt(session, config);
      fuse_loop_cfg_destroy(config);
      SetInvalidateHook(nullptr);
      StopPurgeThread();
      Trace("Unload\n");
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  return result < 0 ? 1 : 0;
}

}  // namespace hvm::driver
