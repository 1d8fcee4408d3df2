#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "command.h"
#include "core/common/error.h"

namespace Hvdisk {

int RunCreate(const Args& input) {
  Args args = input;
  bool fixed = TakeFlag(args, "--fixed");
  auto sectorText = TakeOption(args, "--sector-size");
  Require(args.size() == 2, "create");
  const uint32_t sectorSize = sectorText ? static_cast<uint32_t>(ParseSize(*sectorText)) : 512;
  Require(sectorSize == 512 || sectorSize == 4096, "create");
  const std::string& path = args[0];
  uint64_t size = ParseSize(args[1]);
  // Whole logical sectors, within the format's 64 TB limit.
  if (size == 0 || size % sectorSize != 0 || size > (64ull << 40))
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxInvalidDiskSize, "RunCreate", "size",
                  {Common::Utf8ToUtf16(args[1])});

  std::shared_ptr<Vhdx::CoreFile> core = OpenHostFile(path, O_RDWR | O_CREAT | O_EXCL, 0644);
  Common::Error error = Vhdx::CreateDiskFile(std::move(core), {size, sectorSize, fixed});
  if (error) {
    ::unlink(path.c_str());  // no half-made disk is left behind
    Common::Throw(error);
  }
  std::printf("created %s: %s, %llu bytes\n", path.c_str(), fixed ? "fixed" : "dynamic",
              static_cast<unsigned long long>(size));
  return 0;
}

}  // namespace Hvdisk
