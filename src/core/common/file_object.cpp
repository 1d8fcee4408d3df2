// The base of every file, directory and iterator: the stored error and the
// answer to control requests nobody handles.
#include "core/common/error.h"
#include "hvplug/file.h"

file_object::~file_object() = default;

bool file_object::IOCTL(void*) {
  if (Failed()) return false;
  SetError(Common::MakeError(Code::kNotSupported, Msg::kOperationNotSupported, HV_SITE("IOCTL")));
  return false;
}
