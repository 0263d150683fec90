// The person's side of a connection: connecting a site (asking for a password
// that is not kept), disconnecting, refreshing, opening the drive in the file
// manager, the start-up connections and the disconnect of everything at the
// end. The mapping itself is the request service's (registration.h).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/app/instance_channel.h"
#include "agent/service/registration.h"

namespace hvm {

// What opening a drive runs: xdg-open on the drive link where a display is
// there; empty without a display (the path is printed instead).
std::vector<std::string> FileManagerCommand(char letter, bool hasDisplay);
// The special name whose open suspends every Connection of this user.
std::string SuspendPath();

class SiteConnector {
 public:
  explicit SiteConnector(ConnectionTable& table) : table_(table) {}

  // The index of the site with this exact name, or -1.
  int Find(std::u16string_view name) const;

  // MapSite / UnmapSite: the request service's map and disconnect.
  int MapSite(int index, bool offline);
  int UnmapSite(int index, bool askOpenFiles, bool keepRegistration);

  // True when the site is connected afterwards.
  bool ConnectSite(int index, bool openExplorer);
  // The site manager's "Offline connect": the drive serves the site's offline cache.
  bool OfflineConnectSite(int index);
  // The site manager's "Synchronize" for a site connected online: 0 when
  // done, -3 when the site is not connected online, else the run's result.
  int SynchronizeSiteNow(int index);
  // The disconnect's result (kDisconnectDone, kDisconnectCancelled, kDisconnectDriveBusy).
  int DisconnectSite(int index, bool askOpenFiles);
  // Drops and rebuilds the drive of a connected site; false when refused.
  bool RefreshSite(int index);
  void OpenSiteInExplorer(int index, bool show);
  // Every Auto site with a login that is not connected yet; the count connected.
  int ConnectAutoSites();
  void DisconnectAllSites();

  // A command handed over by a second start (or the first start's own).
  // Returns 1 when the command was carried out, 0 otherwise.
  uint32_t HandleCommand(const InstanceMessage& message);

  // A disconnect waits this long before it starts (file managers let go).
  uint32_t disconnectDelayMs = 1000;

 private:
  SiteRecord* Record(int index) const;
  int IndexOfLetter(char letter) const;

  ConnectionTable& table_;
};

}  // namespace hvm
