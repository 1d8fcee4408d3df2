// The engine's host file over a file of the file layer (rio_file).
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/core_file.h"
#include "hvplug/file.h"

namespace Vhdx {

// Takes ownership; the file's stored errors become thrown Common::Errors.
std::shared_ptr<CoreFile> MakeRioCoreFile(std::unique_ptr<rio_file> file);

}  // namespace Vhdx
