// The agent's file services (stand-in): the source of the root directory
// that the agent hands the plug-in through FileServicesClient.
//
// Tracker delivery: a services object may also answer QueryInterface for
// InterfaceIds::FileTracker with the agent's file tracker. The server asks
// for it when it receives the services, and every disk opened through that
// server's machines reports change IDs and changed sectors through it. A
// services object without a tracker answers the null pair; its disks then
// know no change IDs and answer changed sectors only for "*".
#pragma once

#include "hvplug/file_tracker.h"
#include "hvplug/host_api.h"
#include "hvplug/virtualware.h"

// A new file services object (count 1, owned by the caller) whose GetRootDir
// answers a new directory object on root_path ("/" by default), in the
// system's encoding, on every call. When tracker is set, QueryInterface for
// the FileTracker id answers it.
HVHOST_API Processor::AutoRef<VirtualWareRaw::FileServices> HostCreateFileServices(
    const char* root_path = "/", Processor::AutoRef<VirtualWareRaw::FileTracker> tracker = {});
