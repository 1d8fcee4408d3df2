// Loads the built plug-in as an agent does (dlopen, one resolved symbol) and
// checks on the way out that it unloads and leaves no thread behind.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/common/error.h"
#include "hvplug/entry.h"
#include "hvplug/file_services.h"
#include "hvplug/resource_api.h"
#include "hvplug/virtual_machine_disk.h"

namespace PluginTesting {

inline std::string Describe(const Common::Error& error) { return Common::DescribeErrorChain(error); }

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

inline int ThreadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUILLON_SAFE_ASSERT", "quiet", 1);
    char pattern[] = "/tmp/hvagentXXXXXX";
    dir_ = ::mkdtemp(pattern);
    threadsBefore_ = ThreadCount();
    const char* libDir = std::getenv("HVPLUG_LIB_DIR");
    module_ = dlopen((std::string(libDir ? libDir : "build/lib") + "/libhvplug.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    open_ = reinterpret_cast<SafeOpenVirtualServerFn>(dlsym(module_, "SafeOpenVirtualServer"));
    ASSERT_NE(open_, nullptr);
  }
  void TearDown() override {
    ResourceApi::SetLanguage("en");
    if (module_) {
      EXPECT_EQ(dlclose(module_), 0);
    }
    EXPECT_EQ(ThreadCount(), threadsBefore_);
    std::filesystem::remove_all(dir_);
  }

  // A server with the given services (none: file services never set).
  Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> OpenServer(
      const Processor::AutoRef<VirtualWareRaw::FileServices>& services = {}) {
    Common::Error result;
    Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> server;
    open_(result, VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC, server);
    EXPECT_FALSE(result.IsFailure()) << Describe(result);
    if (server && services) {
      const Common::Error set = server.Query<VirtualWareRaw::FileServicesClient>()->SetFileServices(services);
      EXPECT_FALSE(set.IsFailure()) << Describe(set);
    }
    return server;
  }

  // The sector disk behind a machine disk.
  static std::shared_ptr<VirtualMachineDiskEx> OpenDisk(const Processor::AutoRef<VirtualWareRaw::SafeHardDisk>& disk) {
    Processor::AutoRef<VirtualWareRaw::SafeRawHardDisk> raw;
    std::shared_ptr<VirtualMachineDiskEx> opened;
    Common::Error error = disk->GetRawDisk(raw);
    if (!error) error = raw->GetDisk(opened);
    EXPECT_FALSE(error.IsFailure()) << Describe(error);
    return opened;
  }

  std::string dir_;
  void* module_ = nullptr;
  SafeOpenVirtualServerFn open_ = nullptr;
  int threadsBefore_ = 0;
};

}  // namespace PluginTesting

#define ASSERT_OK(expression)                                              \
  do {                                                                     \
    const Common::Error error_ = (expression);                             \
    ASSERT_FALSE(error_.IsFailure()) << ::PluginTesting::Describe(error_); \
  } while (0)
