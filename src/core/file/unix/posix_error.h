// Errors of failed system calls: errno picks the code and message for the
// common causes, otherwise the operation's own code and message stand.
#pragma once

#include <string>

#include "core/common/error.h"

namespace FileLayer {

// The error carries the path as "path" (when not empty) or both paths as
// "path1" and "path2", and errnum as its POSIX cause.
Common::Error MakePosixFileError(int errnum, uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                                 const std::string& path = std::string());
Common::Error MakePosixFileError(int errnum, uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                                 const std::string& path1, const std::string& path2);

// An error without errno, carrying the path when it is not empty.
Common::Error MakeFileError(uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                            const std::string& path = std::string());

}  // namespace FileLayer
