// A writer killed at random moments of large unaligned writes: the file
// opens afterwards and every sector reads its old or its new content.
// HV_CRASH_KEEP=DIR keeps a copy of each crashed dynamic disk there, for
// independent checkers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/durability_testutil.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::Thrown;

using namespace VhdxTest;

constexpr uint64_t kBlock = kImageSectorsPerBlock;
constexpr uint64_t kSectors = 8 * kBlock;

Request NthRequest(uint32_t seed, uint32_t n) {
  std::mt19937 random(seed * 7919 + n);
  const uint64_t count = 1 + random() % (2 * kBlock + 100);
  return {random() % (kSectors - count), count};
}

class CrashTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::vector<uint8_t> top = MakeDiskImage(kSectors * 512);
    if (GetParam()) MakeStampedParent(dir_.path, kSectors, top);
    WriteWholeFile(Top(), top);
  }
  std::string Top() const { return dir_ / (GetParam() ? "top.avhdx" : "top.vhdx"); }

  // Stamps of every sector; fails the test when the disk does not open or read.
  std::vector<uint32_t> Stamps() {
    std::vector<uint32_t> stamps(kSectors);
    std::vector<uint8_t> data(kSectors * 512);
    Common::Error error = Thrown([&] { OpenDisk(Top(), false)->Read(0, data.data(), kSectors); });
    EXPECT_FALSE(error) << CodeAndMessage(error);
    for (uint64_t s = 0; s < kSectors; ++s) {
      stamps[s] = StampOf(&data[s * 512]);
      uint32_t number;
      std::memcpy(&number, &data[s * 512 + 4], 4);
      if (stamps[s] && number != s) ADD_FAILURE() << "sector " << s << " holds sector " << number;
    }
    return stamps;
  }

  // Runs a writer of the seed's requests until it is killed after delay;
  // returns how many requests it completed.
  uint32_t RunAndKill(uint32_t seed, std::chrono::microseconds delay) {
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(fds[0]);
      try {
        auto disk = OpenDisk(Top(), true);
        std::vector<uint8_t> data;
        for (uint32_t n = 0;; ++n) {
          const Request request = NthRequest(seed, n);
          data.resize(request.count * 512);
          FillStamped(data.data(), request.first, request.count, seed << 16 | (n + 1));
          disk->Write(request.first, data.data(), request.count);
          if (::write(fds[1], "x", 1) != 1) ::_exit(2);
        }
      } catch (...) {
        ::_exit(3);
      }
    }
    ::close(fds[1]);
    ::usleep(static_cast<useconds_t>(delay.count()));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: status " << status;
    uint32_t completed = 0;
    char buffer[256];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) completed += static_cast<uint32_t>(got);
    ::close(fds[0]);
    return completed;
  }

  TempDir dir_;
};

TEST_P(CrashTest, KilledWriterLeavesEverySectorOldOrNew) {
  std::mt19937 random(GetParam() ? 11 : 12);
  std::vector<uint32_t> model = Stamps();
  const char* keep = std::getenv("HV_CRASH_KEEP");
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    const uint32_t completed = RunAndKill(seed, std::chrono::microseconds(2000 + random() % 60000));
    for (uint32_t n = 0; n < completed; ++n) {
      const Request request = NthRequest(seed, n);
      std::fill_n(model.begin() + request.first, request.count, seed << 16 | (n + 1));
    }
    const Request torn = NthRequest(seed, completed);
    const std::vector<uint32_t> stamps = Stamps();
    for (uint64_t s = 0; s < kSectors; ++s) {
      const bool inTorn = s >= torn.first && s < torn.first + torn.count;
      ASSERT_TRUE(stamps[s] == model[s] || (inTorn && stamps[s] == (seed << 16 | (completed + 1))))
          << "run " << seed << " after " << completed << " requests: sector " << s << " reads " << std::hex << stamps[s]
          << " instead of " << model[s];
    }
    model = stamps;
    if (keep && !GetParam()) {
      std::filesystem::copy_file(Top(), std::string(keep) + "/crash" + std::to_string(seed) + ".vhdx",
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Differencing" : "Dynamic"; });

}  // namespace
}  // namespace Vhdx
