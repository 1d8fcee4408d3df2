// The plug-in's one export: the server factory.
#include "core/common/assert.h"
#include "core/common/error.h"
#include "hvplug/virtualware.h"
#include "virtual_pc/server/server.h"

extern "C" __attribute__((visibility("default"))) void SafeOpenVirtualServer(
    Common::Error& result, int32_t type, Processor::AutoRef<VirtualWareRaw::SafeVirtualServer>& server) {
  if (type != VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC) {
    Common::ReportAssertion("type == VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC", "virtual_pc/dll/main", 29);
    result =
        Common::MakeError(Code::kOpenServerFailed, Msg::kOpenServerFailed, HV_SITE_AT("SafeOpenVirtualServer", 32));
    return;
  }
  try {
    auto created = VirtualPC::CreateServer();
    server = std::move(created);
    result = Common::Success();
  } catch (const Common::Error& error) {
    result = error;
  }
}
