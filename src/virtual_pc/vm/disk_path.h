// Where the disk of a location lives, from the paths a machine file gives:
// its own relative and absolute paths and those of Windows hosts.
#pragma once

#include <string>

#include "core/xml/tag.h"

class ri_dir;

namespace VirtualPC {

// The disk file of location relative to the machine directory (or an
// absolute POSIX path). "pathname.relative" wins over "pathname.absolute";
// backslashes separate components; a relative path never leaves the
// machine directory; a Windows absolute path names the file of its last
// component in the machine directory, which must exist. Throws 0x53003f when
// neither path is given or a path leads out, 0x530017 for a Windows path
// whose file is not in the machine directory.
std::u16string ResolveDiskPath(const Xml::Tag& location, ri_dir& machineDir, const std::u16string& vmcPath,
                               const char* function);

// True for "C:\...", "C:/...", "\\server\..." and "\...".
bool IsWindowsAbsolute(const std::u16string& path);

}  // namespace VirtualPC
