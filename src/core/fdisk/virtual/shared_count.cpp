#include "core/fdisk/virtual/shared_count.h"

namespace Fdisk {

BadWeakPtr::BadWeakPtr()
    : Common::Error(Common::MakeError(0x100C01, Msg::kWeakReferenceExpired, HV_SITE("SharedCount"))) {}

}  // namespace Fdisk
