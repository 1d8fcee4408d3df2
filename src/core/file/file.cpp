// Shared code of the file and directory interfaces: defaults of the optional
// operations, random-access size and rewind, file identifiers.
#include "core/file/file_errors.h"

namespace FileLayer {

bool StoreNotSupported(file_object& object, const Common::ErrorSite& site) {
  if (!object.Failed()) object.SetError(Common::MakeError(kNotSupportedCode, Msg::kOperationNotSupported, site));
  return false;
}

}  // namespace FileLayer

using FileLayer::StoreNotSupported;

sized_file::~sized_file() = default;
raccess_file::~raccess_file() = default;
i_file::~i_file() = default;
o_file::~o_file() = default;
i_dir::iterator::~iterator() = default;

bool raccess_file::Unlock(uint64_t, uint64_t) { return StoreNotSupported(*this, HV_SITE("Unlock")); }

bool raccess_file::Rewind() {
  if (Failed()) return false;
  Seek(0);
  return !Failed();
}

uint64_t raccess_file::GetSize() {
  if (Failed()) return 0;
  const int64_t position = SeekRelative(0);
  if (Failed()) return 0;
  const int64_t size = SeekEnd(0);
  if (Failed()) return 0;
  Seek(position);
  if (Failed() || size < 0) return 0;
  return static_cast<uint64_t>(size);
}

bool ri_file::LockShared(uint64_t, uint64_t, bool) { return StoreNotSupported(*this, HV_SITE("LockShared")); }

bool o_file::Flush() { return !Failed(); }

bool ro_file::LockExclusive(uint64_t, uint64_t, bool) { return StoreNotSupported(*this, HV_SITE("LockExclusive")); }

bool i_dir::GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) {
  total = free = available = 0;
  return StoreNotSupported(*this, HV_SITE("GetDriveSize"));
}

bool i_dir::GetVolumeLabel(std::u16string& label) {
  label.clear();
  return StoreNotSupported(*this, HV_SITE("GetVolumeLabel"));
}

bool i_dir::ResolveSymLinks(const std::u16string&, std::u16string& resolved) {
  resolved.clear();
  return StoreNotSupported(*this, HV_SITE("ResolveSymLinks"));
}

bool i_dir::EnableNotification(std::shared_ptr<dir_notification_handler>) {
  return StoreNotSupported(*this, HV_SITE("EnableNotification"));
}

std::unique_ptr<rio_dir> ri_dir::OpenSpecialDir(uint32_t) {
  StoreNotSupported(*this, HV_SITE("OpenSpecialDir"));
  return nullptr;
}

bool o_dir::SetDOSAttributes(const std::u16string&, uint32_t) {
  return StoreNotSupported(*this, HV_SITE("SetDOSAttributes"));
}

bool o_dir::SetAccessRights(const std::u16string&, const void*, size_t) {
  return StoreNotSupported(*this, HV_SITE("SetAccessRights"));
}

// Identifiers ----------------------------------------------------------------

the_identifier::the_identifier() : the_identifier(std::u16string()) {}

the_identifier::the_identifier(std::u16string name, std::vector<uint8_t> data)
    : block_(std::make_shared<const block>(block{std::move(name), std::move(data)})) {}

const std::u16string& the_identifier::GetName() const { return block_->name; }

const std::vector<uint8_t>& the_identifier::GetData() const { return block_->data; }

bool the_identifier::operator==(const the_identifier& other) const {
  return block_ == other.block_ || (block_->name == other.block_->name && block_->data == other.block_->data);
}
