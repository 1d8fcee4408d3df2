// The host's own definitions of the interface bases. An agent compiles the
// contract header into its own library; these copies stay inside this one
// (hidden), so the plug-in never calls into them and they never call into it.
#include "host_error.h"
#include "hvplug/file.h"

namespace {

bool NotSupported(file_object& object, const char* function) {
  if (!object.Failed()) object.SetError(Contract::HostError(Contract::kNotSupportedCode, function));
  return false;
}

}  // namespace

file_object::~file_object() = default;
bool file_object::IOCTL(void*) { return NotSupported(*this, "IOCTL"); }

sized_file::~sized_file() = default;
raccess_file::~raccess_file() = default;
i_file::~i_file() = default;
o_file::~o_file() = default;
i_dir::iterator::~iterator() = default;

bool raccess_file::Unlock(uint64_t, uint64_t) { return NotSupported(*this, "Unlock"); }

bool raccess_file::Rewind() {
  if (Failed()) return false;
  Seek(0);
  return !Failed();
}

uint64_t raccess_file::GetSize() {
  if (Failed()) return 0;
  const int64_t position = SeekRelative(0);
  const int64_t end = SeekEnd(0);
  Seek(position);
  return Failed() || end < 0 ? 0 : static_cast<uint64_t>(end);
}

bool ri_file::LockShared(uint64_t, uint64_t, bool) { return NotSupported(*this, "LockShared"); }
bool o_file::Flush() { return !Failed(); }
bool ro_file::LockExclusive(uint64_t, uint64_t, bool) { return NotSupported(*this, "LockExclusive"); }

bool i_dir::ResolveSymLinks(const std::u16string&, std::u16string& resolved) {
  resolved.clear();
  return NotSupported(*this, "ResolveSymLinks");
}

bool i_dir::GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) {
  total = free = available = 0;
  return NotSupported(*this, "GetDriveSize");
}

bool i_dir::GetVolumeLabel(std::u16string& label) {
  label.clear();
  return NotSupported(*this, "GetVolumeLabel");
}

bool i_dir::EnableNotification(std::shared_ptr<dir_notification_handler>) {
  return NotSupported(*this, "EnableNotification");
}

std::unique_ptr<rio_dir> ri_dir::OpenSpecialDir(uint32_t) {
  NotSupported(*this, "OpenSpecialDir");
  return nullptr;
}

bool o_dir::SetDOSAttributes(const std::u16string&, uint32_t) { return NotSupported(*this, "SetDOSAttributes"); }
bool o_dir::SetAccessRights(const std::u16string&, const void*, size_t) {
  return NotSupported(*this, "SetAccessRights");
}

the_identifier::the_identifier() : the_identifier(std::u16string()) {}
the_identifier::the_identifier(std::u16string name, std::vector<uint8_t> data)
    : block_(std::make_shared<const block>(block{std::move(name), std::move(data)})) {}
const std::u16string& the_identifier::GetName() const { return block_->name; }
const std::vector<uint8_t>& the_identifier::GetData() const { return block_->data; }
bool the_identifier::operator==(const the_identifier& other) const {
  return block_ == other.block_ || (block_->name == other.block_->name && block_->data == other.block_->data);
}
