// Directory operations beyond the shared interface slots, on any file layer:
// the capability is asked for through IOCTL, and a file layer that does not
// offer it (an agent's, compiled against the contract alone) is served by a
// fallback over the shared operations.
//
//   std::unique_ptr<rio_dir> machine = FileLayer::OpenDir(root, u"vms/web");
//   if (!machine) return root->TakeError();
#pragma once

#include <memory>
#include <string>

#include "hvplug/file.h"

namespace FileLayer {

// A subdirectory of base (name relative to it, or absolute) as a directory
// object, or null with the error stored in base. Without "ODIR" the result
// reaches its entries through base by relative names and shares base.
std::unique_ptr<rio_dir> OpenDir(const std::shared_ptr<rio_dir>& base, const std::u16string& name);
// The same for a base that outlives the result.
std::unique_ptr<rio_dir> OpenDir(rio_dir& base, const std::u16string& name);

// The identifier of an iterator's current entry: its "GTID" answer, else the
// name with the device and inode numbers of its attributes. A failure is
// stored in the iterator.
the_identifier IdentifierOf(i_dir::iterator& entry);

// name taken as a plain name by GetIterator even when it holds wildcard
// characters (the last component escaped).
std::u16string LookupPattern(const std::u16string& name);

}  // namespace FileLayer
