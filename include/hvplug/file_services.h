// The agent's file services (stand-in): the source of the root directory
// that the agent hands the plug-in through FileServicesClient.
#pragma once

#include "hvplug/host_api.h"
#include "hvplug/virtualware.h"

// A new file services object (count 1, owned by the caller) whose GetRootDir
// answers a directory object on root_path ("/" by default), in the
// system's encoding.
HVHOST_API Processor::AutoRef<VirtualWareRaw::FileServices> HostCreateFileServices(const char* root_path = "/");
