// hvdisk track FILE --tracker DIR: lets the tracker stand-in follow the file
// and every parent of its chain, then prints a new change ID.
#include <cstdio>

#include "command.h"
#include "disk_io.h"
#include "hvplug/file_tracker.h"

namespace Hvdisk {

int RunTrack(const Args& input) {
  Args args = input;
  auto trackerDir = TakeOption(args, "--tracker");
  Require(args.size() == 1 && trackerDir.has_value(), "track");
  const std::u16string state = Common::Utf8ToUtf16(*trackerDir);
  {
    auto disk = Vhdx::OpenDisk(args[0], false);
    for (const auto& [path, file] : Vhdx::GetDiskChain(*disk)) {
      if (Common::Error error = HvTrackFile(state, Common::Utf8ToUtf16(path))) Common::Throw(error);
    }
  }
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker;
  if (Common::Error error = HvCreateFileTracker(state, tracker)) Common::Throw(error);
  std::u16string id;
  if (Common::Error error = tracker->GetCurrentChangeId(id)) Common::Throw(error);
  std::printf("%s\n", Common::Utf16ToUtf8(id).c_str());
  return 0;
}

}  // namespace Hvdisk
