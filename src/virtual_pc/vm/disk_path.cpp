#include "virtual_pc/vm/disk_path.h"

#include <vector>

#include "common/server/file_utils.h"
#include "core/common/error.h"
#include "hvplug/file.h"
#include "virtual_pc/vm/vm_layout.h"

namespace VirtualPC {
namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

std::u16string LastWindowsComponent(const std::u16string& path) {
  size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  size_t start = end;
  while (start > 0 && !IsSeparator(path[start - 1]) && path[start - 1] != u':') --start;
  return path.substr(start, end - start);
}

std::u16string ResolveRelative(const std::u16string& path, const std::u16string& vmcPath) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::u16string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (parts.empty()) {
        HV_THROW_ARGS(Code::kInvalidConfigFormat, Msg::kDiskPathOutside, "GetHardDisksOnBus", "fileName,path",
                      {vmcPath, path});
      }
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::u16string result;
  for (const auto& part : parts) result += (result.empty() ? u"" : u"/") + part;
  return result;
}

}  // namespace

bool IsWindowsAbsolute(const std::u16string& path) {
  if (path.size() >= 2 && path[1] == u':' &&
      ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')))
    return true;
  return !path.empty() && path[0] == u'\\';
}

std::u16string ResolveDiskPath(const Xml::Tag& location, ri_dir& machineDir, const std::u16string& vmcPath,
                               const char* function) {
  const std::optional<std::u16string> relative = ChildValue(location, "pathname.relative");
  const std::optional<std::u16string> absolute = ChildValue(location, "pathname.absolute");
  std::u16string resolved;
  if (relative && !relative->empty() && !IsWindowsAbsolute(*relative)) {
    resolved = relative->front() == u'/' ? *relative : ResolveRelative(*relative, vmcPath);
  } else {
    const std::u16string& given = relative && !relative->empty() ? *relative : absolute ? *absolute : u"";
    if (!given.empty() && given.front() == u'/') {
      resolved = given;
    } else if (!given.empty() && IsWindowsAbsolute(given)) {
      // The machine came from a Windows host; its disk travels beside it.
      resolved = LastWindowsComponent(given);
      if (resolved.empty() || !VirtualWareRaw::FileObjectExists(machineDir, resolved)) {
        HV_THROW_ARGS(Code::kAccessHardDiskFailed, Msg::kAccessHardDiskFailed, function, "fileName", {given});
      }
    } else if (!given.empty()) {
      resolved = ResolveRelative(given, vmcPath);
    }
  }
  if (resolved.empty())
    Common::Throw(Common::MakeError(Code::kInvalidConfigFormat, Msg::kInvalidConfigFormat, HV_SITE(function)));
  return resolved;
}

}  // namespace VirtualPC
