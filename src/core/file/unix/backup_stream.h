// The backup stream of one directory entry ("BKUP" writes it, "RSTR" reads
// it back). All numbers are little-endian.
//
// Header, 16 bytes:
//    0  4  magic "HVBK"
//    4  4  version, 1
//    8  4  entry type (entry_type: 0 file, 1 char device, 2 block device,
//          3 FIFO, 5 symbolic link, 128 directory; sockets are refused)
//   12  4  reserved, 0
// Then items, each a 16-byte head and its payload:
//    0  4  tag, four letters
//    4  4  reserved, 0
//    8  8  payload length
// Items in stream order:
//   "ATTR" once, first, 64 bytes:
//       0 4 st_mode   4 4 uid   8 4 gid   12 4 reserved
//      16 8 size of the contents (regular files, else 0)
//      24 8 device number (device nodes, else 0)
//      32 8 access time, seconds (signed)        40 4 nanoseconds  44 4 reserved
//      48 8 modification time, seconds (signed)  56 4 nanoseconds  60 4 reserved
//   "LINK" symbolic links only, once, before any "XATR": the target, 1 to 4096 bytes
//   "XATR" any number: 4-byte name length n (1 to 255), the name, then the value
//          (at most 65536 bytes)
//   "DATA" regular files only: the contents in order, at most 1 MiB per item,
//          together exactly the size in "ATTR"
//   "END " last, empty
//
// A restore builds non-directories under a temporary name beside the target
// and renames it into place only when the whole stream has been read, so a
// damaged stream leaves the existing entry as it was. Owner, mode and times
// are applied last.
#pragma once

#include <string>

#include "core/common/error.h"
#include "hvplug/file.h"

namespace FileLayer {

// path in the system's encoding.
Common::Error WriteBackupStream(const std::string& path, o_file* stream);
Common::Error RestoreBackupStream(const std::string& path, i_file* stream);
// Reads a whole stream and checks it against the rules above without
// touching the file system.
Common::Error CheckBackupStream(i_file* stream);

}  // namespace FileLayer
