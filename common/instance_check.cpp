// Whether the agent runs: it holds its instance lock for its lifetime.
#include "common/moorlib.h"
#include "platform/instance_lock.h"

namespace hvm {

int CheckIfTheHalvenmoorIsThere(const char* instanceName) {
  // The probe only looks: it never takes the lock, so it leaves nothing behind
  // that could make a starting agent believe another one runs.
  const bool held = instanceName != nullptr && InstanceLockHeld(instanceName);
  WideDbgPrint(u"Is Halvenmoor here ? %ws\n", held ? u"True" : u"False");
  return held ? 1 : 0;
}

int CheckIfTheHalvenmoorIsThere() { return CheckIfTheHalvenmoorIsThere(kAgentInstanceName); }

}  // namespace hvm
