#include "core/file/unix/posix_error.h"

#include <cerrno>

#include "core/common/error_codes.h"
#include "core/file/file_errors.h"
#include "core/file/unix/file_name.h"

namespace FileLayer {

namespace {

struct Mapped {
  uint32_t code;
  Common::MessageId message;
};

Mapped MapErrno(int errnum, uint32_t code, Common::MessageId message) {
  switch (errnum) {
    case EPERM:
    case EACCES:
    case ETXTBSY:
      return {code == Code::kFileLock ? Code::kFileLock : Code::kAccessDenied, Msg::kFileAccessDenied};
    case ENOENT:
      return {Code::kFileNotFound, Msg::kFileNotFound};
    case ENOMEM:
      return {Code::kFileNoMemory, Msg::kFileNoMemory};
    case EBUSY:
    case ENODEV:
    case ENOMEDIUM:
      return {Code::kFileNotReady, Msg::kDriveNotReady};
    case EEXIST:
      return {Code::kFileExists, Msg::kFileAlreadyExists};
    case ENOSPC:
      return {Code::kDiskFull, Msg::kDiskFull};
    case EROFS:
      return {Code::kFileReadOnly, Msg::kFileReadOnly};
    case EOPNOTSUPP:
      return {Code::kNotSupported, Msg::kOperationNotSupported};
    default:
      return {code, message};
  }
}

}  // namespace

Common::Error MakeFileError(uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                            const std::string& path) {
  if (path.empty()) return Common::MakeError(code, message, site);
  return Common::MakeErrorWithArgs(code, message, site, "path", {FileNameFromSystem(path)});
}

Common::Error MakePosixFileError(int errnum, uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                                 const std::string& path) {
  const Mapped mapped = MapErrno(errnum, code, message);
  Common::Error error = MakeFileError(mapped.code, mapped.message, site, path);
  Common::AddPosixError(error, errnum);
  return error;
}

Common::Error MakePosixFileError(int errnum, uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                                 const std::string& path1, const std::string& path2) {
  const Mapped mapped = MapErrno(errnum, code, message);
  Common::Error error = Common::MakeErrorWithArgs(mapped.code, mapped.message, site, "path1,path2",
                                                  {FileNameFromSystem(path1), FileNameFromSystem(path2)});
  Common::AddPosixError(error, errnum);
  return error;
}

}  // namespace FileLayer
