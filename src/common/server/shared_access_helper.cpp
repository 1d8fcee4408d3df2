#include "common/server/shared_access_helper.h"

#include "core/common/error.h"
#include "core/common/trace.h"
#include "core/file/file_errors.h"
#include "hvplug/file.h"

namespace VirtualWareRaw {

void SetAccessCredentialsHelper(rio_dir& root, const std::u16string& location, const Common::Credentials& credentials) {
  dir_ioctl_credentials request;
  request.location = location.c_str();
  request.credentials = &credentials;
  if (root.IOCTL(&request)) return;
  const Common::Error error = root.TakeError();
  // Local file layers need no credentials and say so.
  if (error.Code() == Code::kNotSupported) return;
  Common::Trace(3, 0x53, 0x16, Msg::kSetCredentialsFailed, {location});
  Common::TraceError(3, error);
}

}  // namespace VirtualWareRaw
