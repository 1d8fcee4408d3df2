// Little-endian loads and stores at explicit offsets of a byte buffer, under
// the engine's namespace.
#pragma once

#include "core/common/byte_order.h"

namespace Vhdx {

using Common::LoadLe16;
using Common::LoadLe32;
using Common::LoadLe64;
using Common::StoreLe16;
using Common::StoreLe32;
using Common::StoreLe64;

}  // namespace Vhdx
