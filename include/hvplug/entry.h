// Signature of the plug-in's export, for hosts that load it with dlopen.
#pragma once

#include "hvplug/virtualware.h"

using SafeOpenVirtualServerFn = void (*)(Common::Error& result, int32_t type,
                                         Processor::AutoRef<VirtualWareRaw::SafeVirtualServer>& server);
