// The workstation server object handed out by SafeOpenVirtualServer.
#pragma once

#include "hvplug/virtualware.h"

namespace VirtualPC {

// A new server with a reference count of 1, owned by the caller.
Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> CreateServer();

}  // namespace VirtualPC
