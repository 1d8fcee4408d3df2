// Helpers for the machine tests: the template from the built plug-in,
// machines created and opened as the server does, and checks of errors.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/server/server_testutil.h"
#include "core/common/error.h"
#include "hvplug/configuration.h"
#include "hvplug/virtualware.h"
#include "virtual_pc/vm/vm.h"

namespace VmTest {

using Processor::AutoRef;
using namespace VirtualWareRaw;

#define HV_OK(expression)                                                          \
  do {                                                                             \
    const ::Common::Error hvOkError = (expression);                                \
    ASSERT_TRUE(hvOkError.IsSuccess()) << ::Common::DescribeErrorChain(hvOkError); \
  } while (0)

// The codes of an error chain from the outermost record in.
std::vector<uint32_t> Codes(const Common::Error& error);

AutoRef<SafeVM> Create(const VirtualPC::HostAccess& host, const std::u16string& location, const std::u16string& name);
AutoRef<SafeVM> Open(const VirtualPC::HostAccess& host, const std::u16string& path);

std::u16string Property(const AutoRef<SafeVM>& vm, const std::u16string& name);
Common::Error SetProperty(const AutoRef<SafeVM>& vm, const std::u16string& name, const std::u16string& value);
Common::Error Close(const AutoRef<SafeVM>& vm);
Common::Error SetAccess(const AutoRef<SafeVM>& vm, uint32_t flags);

struct DiskInfo {
  std::u16string file;
  uint32_t bus, controller, device;
  bool operator==(const DiskInfo&) const = default;
};
std::vector<DiskInfo> ListDisks(const AutoRef<SafeVM>& vm, Common::Error* error = nullptr);

// The machine's disk at a place in its list.
AutoRef<SafeHardDisk> DiskAt(SafeVM& vm, uint32_t index);

// The sector disk of a machine disk, through its raw disk.
std::shared_ptr<VirtualMachineDiskEx> SectorDisk(const AutoRef<SafeHardDisk>& disk);

// UTF-8 text as UTF-16LE bytes, after the byte order mark if asked for.
std::string Utf16Le(const std::string& utf8, bool byteOrderMark = true);

// A configuration's value at a path, or the named attribute there; none where absent.
std::optional<std::u16string> ValueAt(Configuration& config, const std::string& path, const char* attribute = nullptr);

// A byte pattern that differs per sector and per seed.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);

}  // namespace VmTest
