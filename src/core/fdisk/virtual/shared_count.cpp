#include "core/fdisk/virtual/shared_count.h"

#include "core/common/error_codes.h"

namespace Fdisk {

BadWeakPtr::BadWeakPtr()
    : Common::Error(
          Common::MakeError(Code::kWeakReferenceExpired, Msg::kWeakReferenceExpired, HV_SITE("SharedCount"))) {}

}  // namespace Fdisk
