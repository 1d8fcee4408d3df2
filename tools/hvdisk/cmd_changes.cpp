// hvdisk changes FILE --since ID [--tracker DIR]: the sectors changed since a
// change ID, one "start length" pair of sectors a line. "*" needs no tracker
// and counts every allocated sector. The file is opened read-only.
#include <cstdio>

#include "command.h"
#include "disk_io.h"
#include "hvplug/file_tracker.h"

namespace Hvdisk {

int RunChanges(const Args& input) {
  Args args = input;
  auto since = TakeOption(args, "--since");
  auto trackerDir = TakeOption(args, "--tracker");
  Require(args.size() == 1 && since.has_value(), "changes");
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker;
  if (trackerDir) {
    if (Common::Error error = HvCreateFileTracker(Common::Utf8ToUtf16(*trackerDir), tracker)) Common::Throw(error);
  }
  auto disk = Vhdx::OpenDisk(args[0], false, tracker);
  const Vhdx::DiskGeometry geometry = disk->GetGeometry();
  auto print = Vhd::MakeFunctionCollector<Vhd::DiskArea>([](const Vhd::DiskArea& area) {
    std::printf("%llu %llu\n", area.start, area.length);
    return true;
  });
  disk->GetChanges(Common::Utf8ToUtf16(*since), {0, geometry.virtualSize / geometry.logicalSectorSize}, print);
  return 0;
}

}  // namespace Hvdisk
