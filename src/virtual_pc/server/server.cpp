// MSVirtualPCImpl: the Virtual PC installation as a virtualization server.
// Until the machine layer exists, operations that need it answer with a
// coded error.
#include "virtual_pc/server/server.h"

#include "core/common/error.h"
#include "processor/runtime.h"

namespace VirtualPC {

namespace {

using Common::Error;
using VirtualWareRaw::TextList;

class MSVirtualPCImpl final : public virtual VirtualWareRaw::SafeVirtualServer,
                              public virtual VirtualWareRaw::ObjectManager,
                              public virtual VirtualWareRaw::PropertySet,
                              public virtual VirtualWareRaw::VirtualWorkstation,
                              public virtual VirtualWareRaw::FileServicesClient {
 public:
  Processor::MetaClass* GetMetaClass() override {
    return Processor::InterfaceMetaClass<VirtualWareRaw::SafeVirtualServer>::Instance();
  }

  Processor::InterfacePair QueryInterface(uint32_t id) override {
    namespace Ids = VirtualWareRaw::InterfaceIds;
    switch (id) {
      case Ids::SafeVirtualServer:
        return Processor::AnswerInterface<VirtualWareRaw::SafeVirtualServer>(this);
      case Ids::ObjectManager:
        return Processor::AnswerInterface<VirtualWareRaw::ObjectManager>(this);
      case Ids::PropertySet:
        return Processor::AnswerInterface<VirtualWareRaw::PropertySet>(this);
      case Ids::VirtualWorkstation:
        return Processor::AnswerInterface<VirtualWareRaw::VirtualWorkstation>(this);
      case Ids::FileServicesClient:
        return Processor::AnswerInterface<VirtualWareRaw::FileServicesClient>(this);
      default:
        return {};
    }
  }

  // SafeVirtualServer
  Error Reserved1() override { return Common::Success(); }
  Error CreateVM(const std::u16string&, const std::u16string&, uint32_t,
                 Processor::AutoRef<VirtualWareRaw::SafeVM>&) override {
    return NotReady("CreateVM");
  }
  Error RemoveVM(const std::u16string&) override { return NotReady("RemoveVM"); }
  Error GetRegisteredVMs(Processor::AutoRef<VirtualWareRaw::SafeVMCollection>&) override {
    return NotReady("GetRegisteredVMs");
  }
  Error GetRegisteredVM(const std::u16string&, Processor::AutoRef<VirtualWareRaw::SafeVM>&) override {
    return NotReady("GetRegisteredVM");
  }
  Error GetServerName(std::u16string& name) override {
    name = u"Microsoft Virtual PC";
    return Common::Success();
  }
  Error Reserved2() override { return Common::Success(); }
  Error GetDefaultVMFolders(TextList&) override { return NotReady("GetDefaultVMFolders"); }
  Error GetServerType(uint32_t& type) override {
    type = VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC;
    return Common::Success();
  }

  // ObjectManager
  Error CreateObject(const std::u16string&, const std::u16string&,
                     Processor::AutoRef<Processor::Interface>&) override {
    return NotReady("CreateObject");
  }
  Error GetObject(const std::u16string&, Processor::AutoRef<Processor::Interface>&) override {
    return NotReady("GetObject");
  }

  // PropertySet
  Error GetProperty(const std::u16string&, std::u16string&) override { return NotReady("GetProperty"); }
  Error GetProperty(const std::u16string&, TextList&) override { return NotReady("GetProperty"); }
  Error SetProperty(const std::u16string&, const std::u16string&) override { return NotReady("SetProperty"); }
  Error SetProperty(const std::u16string&, const TextList&) override { return NotReady("SetProperty"); }
  Error GetPropertyNames(TextList&) override { return NotReady("GetPropertyNames"); }

  // VirtualWorkstation
  Error CreateVM(const std::u16string&, const Common::Credentials&, const std::u16string&, uint32_t,
                 Processor::AutoRef<VirtualWareRaw::SafeVM>&) override {
    return NotReady("CreateVM");
  }
  Error RemoveVM(const std::u16string&, const Common::Credentials&) override { return NotReady("RemoveVM"); }
  Error GetRegisteredVM(const std::u16string&, const Common::Credentials&,
                        Processor::AutoRef<VirtualWareRaw::SafeVM>&) override {
    return NotReady("GetRegisteredVM");
  }
  Error GetRegisteredVMs(const std::u16string&, const Common::Credentials&, const std::u16string&,
                         Processor::AutoRef<VirtualWareRaw::SafeVMCollection>&) override {
    return NotReady("GetRegisteredVMs");
  }

  // FileServicesClient
  Error SetFileServices(const Processor::AutoRef<VirtualWareRaw::FileServices>& services) override {
    services_ = services;
    return Common::Success();
  }

 private:
  static Error NotReady(const char* function) {
    return Common::MakeError(0x100401, Msg::kCodeNotImplemented, HV_SITE(function));
  }

  Processor::AutoRef<VirtualWareRaw::FileServices> services_;
};

}  // namespace

Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> CreateServer() {
  return Processor::MakeRef<VirtualWareRaw::SafeVirtualServer, MSVirtualPCImpl>();
}

}  // namespace VirtualPC
