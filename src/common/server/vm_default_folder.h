// The folders in which machines are created when the caller names none.
#pragma once

#include "hvplug/virtualware.h"

namespace VirtualWareRaw {

// On an appliance the directories the root lists; elsewhere the file layer's
// special directory 143 (the POSIX layer answers "/var/lib"). Computed once
// per process; throws the file layer's error when it cannot be computed.
TextList GetVMDefaultFolders(rio_dir& root);

// The same without the cache, for the given kind of host.
TextList ComputeVMDefaultFolders(rio_dir& root, bool appliance);

// True when "/etc/virtual_appliance.conf" or "/etc/esx_appliance.conf"
// exists (tested once per process).
bool IsAppliance();

}  // namespace VirtualWareRaw
