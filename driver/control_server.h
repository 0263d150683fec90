// The control socket "qlode": one accepting thread, one reader thread per
// connection (and a writer while answers wait). Each frame is one device
// control call. The accepting thread outlives running out of descriptors
// (it backs off and tries again); a uid may hold at most 64 connections
// (QUENLODE_MAX_CONNECTIONS_PER_USER), more are refused with
// ERROR_TOO_MANY_OPEN_FILES.
//
// Input is held within a budget per uid: the frames of a uid whose input is
// on the way in or being handled announce at most kControlInputPerUser bytes
// together; the reader of a further frame waits until earlier ones are done
// (a peer that stops in the middle of a frame keeps only its own uid's
// budget). A frame never waits when its uid holds nothing, so every frame up
// to kMaxControlBuffer gets through. After a frame is handled its reader
// keeps at most kKeptInputBytes of room, or the room of a wide frame while
// the readers of its uid keep no more than kKeptInputPerUser of such rooms
// (an agent's request loops then take their wide answers without clearing a
// new megabyte for each).
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace hvm::driver {

inline constexpr size_t kControlInputPerUser = 8u << 20;
inline constexpr size_t kKeptInputBytes = 16u << 10;
inline constexpr size_t kKeptInputPerUser = 8u << 20;

// What the readers of a uid hold now: bytes of input announced by its frames
// that are not yet handled, how many of its frames wait for room, and the
// rooms above kKeptInputBytes its idle readers keep.
struct ControlInputUse {
  size_t bytes = 0;
  size_t waiting = 0;
  size_t kept = 0;
};
ControlInputUse ControlInputOf(uid_t uid);

class ControlServer {
 public:
  // Listens at path; false with errno when the socket cannot be created.
  bool Start(const std::string& path);
  // Stops accepting, ends every connection and removes the socket.
  void Stop();
};

}  // namespace hvm::driver
