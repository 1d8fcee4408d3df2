// The not-supported answer of the file layer's default operations.
#pragma once

#include <cstdint>

#include "core/common/error.h"
#include "hvplug/file.h"

namespace FileLayer {

// Stores the not-supported error unless a failure is already stored.
// Always false, for use as a return value.
bool StoreNotSupported(file_object& object, const Common::ErrorSite& site);

}  // namespace FileLayer
