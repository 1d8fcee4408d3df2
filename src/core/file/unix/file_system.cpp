// Facts about the host's file systems: type names and appliance detection.
#include <unistd.h>

#include <cstdint>
#include <mutex>

#include "core/file/unix/posix_dir.h"

namespace FileLayer {

namespace {

struct TypeName {
  uint64_t type;
  const char* name;
};

constexpr TypeName kTypeNames[] = {
    {0xADF5, "adfs"},          {0xADFF, "affs"},     {0x42465331, "befs"},   {0x1BADFACE, "bfs"},
    {0x9123683E, "btrfs"},     {0xFF534D42, "cifs"}, {0x73757245, "coda"},   {0x012FF7B7, "coh"},
    {0x28CD3D45, "cramfs"},    {0x1373, "devfs"},    {0x00414A53, "efs"},    {0x137D, "ext2"},
    {0xEF51, "ext2"},          {0xEF53, "ext2"},     {0x4244, "hfs"},        {0xF995E849, "hpfs"},
    {0x958458F6, "hugetlbfs"}, {0x9660, "isofs"},    {0x72B6, "jffs2"},      {0x137F, "minix"},
    {0x138F, "minix"},         {0x2468, "minix"},    {0x2478, "minix"},      {0x6969, "nfs"},
    {0x9FA1, "openprom"},      {0x9FA0, "procfs"},   {0x002F, "qnx4fs"},     {0x52654973, "reiserfs"},
    {0x7275, "romfs"},         {0x517B, "smbfs"},    {0x012FF7B5, "sysvfs"}, {0x012FF7B6, "sysvfs"},
    {0x01021994, "tmpfs"},     {0x15013346, "udf"},  {0x00011954, "ufs"},    {0x9FA2, "usbfs"},
    {0x4D44, "vfat"},          {0xA501FCF5, "vxfs"}, {0x012FF7B4, "xenix"},  {0x58465342, "xfs"},
    {0x012FD16D, "xiafs"},     {0x3153464A, "jfs"},  {0x564C, "ncpfs"},      {0x5346544E, "ntfs"},
};

}  // namespace

const char* FileSystemTypeName(uint64_t type) {
  // f_type is a signed word on some systems: compare the low 32 bits.
  const uint64_t key = type & 0xFFFFFFFFu;
  for (const auto& entry : kTypeNames)
    if (entry.type == key) return entry.name;
  return "";
}

bool IsAppliance() {
  static std::once_flag once;
  static bool appliance = false;
  std::call_once(once, [] {
    appliance = access("/etc/virtual_appliance.conf", F_OK) == 0 || access("/etc/esx_appliance.conf", F_OK) == 0;
  });
  return appliance;
}

}  // namespace FileLayer
