// MSVirtualPCImpl: the Virtual PC installation as a virtualization server.
// It keeps no list of machines: every machine is addressed by the path of its
// configuration file, and every call starts from the file system.
#include "virtual_pc/server/server.h"

#include <mutex>

#include "common/server/file_utils.h"
#include "common/server/shared_access_helper.h"
#include "common/server/vm_default_folder.h"
#include "common/server/vm_utils.h"
#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/common/trace.h"
#include "hvplug/file.h"
#include "hvplug/file_tracker.h"
#include "processor/runtime.h"
#include "virtual_pc/server/dummy_support.h"
#include "virtual_pc/server/server_properties.h"
#include "virtual_pc/vm/vm.h"

namespace VirtualPC {

namespace {

using Common::Error;
using Processor::AutoRef;
using VirtualWareRaw::TextList;

class EmptyVMCollectionImpl final : public virtual VirtualWareRaw::SafeVMCollection {
 public:
  Processor::MetaClass* GetMetaClass() override {
    return Processor::InterfaceMetaClass<VirtualWareRaw::SafeVMCollection>::Instance();
  }
  Processor::InterfacePair QueryInterface(uint32_t id) override {
    if (id == VirtualWareRaw::InterfaceIds::SafeVMCollection)
      return Processor::AnswerInterface<VirtualWareRaw::SafeVMCollection>(this);
    return {};
  }
  Error GetCount(uint32_t& count) override {
    count = 0;
    return Common::Success();
  }
  Error GetItem(uint32_t, AutoRef<VirtualWareRaw::SafeVM>&) override {
    return Common::MakeError(0x530023, Msg::kBadVMIndex, HV_SITE("GetItem"));
  }
};

Error PropertyNotSupported(const Common::ErrorSite& site, const std::u16string& name) {
  return Common::MakeErrorWithArgs(0x53002C, Msg::kPropertyNotSupported, site, "PropertyName", {name});
}

template <class F>
Error Wrapped(Error outer, F&& body) {
  try {
    body();
    return Common::Success();
  } catch (const Error& inner) {
    return Common::Wrap(std::move(outer), inner);
  }
}

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
  Error CreateVM(const std::u16string& location, const std::u16string& name, uint32_t flag,
                 AutoRef<VirtualWareRaw::SafeVM>& vm) override {
    return CreateVM(location, Common::Credentials{}, name, flag, vm);
  }
  Error RemoveVM(const std::u16string& path) override { return RemoveVM(path, Common::Credentials{}); }
  Error GetRegisteredVMs(AutoRef<VirtualWareRaw::SafeVMCollection>& collection) override {
    try {
      collection = Processor::MakeRef<VirtualWareRaw::SafeVMCollection, EmptyVMCollectionImpl>();
      return Common::Success();
    } catch (const Error& error) {
      return error;
    }
  }
  Error GetRegisteredVM(const std::u16string& path, AutoRef<VirtualWareRaw::SafeVM>& vm) override {
    return GetRegisteredVM(path, Common::Credentials{}, vm);
  }
  Error GetServerName(std::u16string& name) override {
    name = u"Microsoft Virtual PC";
    return Common::Success();
  }
  Error Reserved2() override { return Common::Success(); }
  Error GetDefaultVMFolders(TextList& folders) override {
    try {
      folders = VirtualWareRaw::GetVMDefaultFolders(*TakeHost().root);
      return Common::Success();
    } catch (const Error& error) {
      return error;
    }
  }
  Error GetServerType(uint32_t& type) override {
    type = VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC;
    return Common::Success();
  }

  // ObjectManager
  Error CreateObject(const std::u16string& type, const std::u16string& description,
                     AutoRef<Processor::Interface>& object) override {
    try {
      return Support()->CreateObject(type, description, object);
    } catch (const Error& error) {
      return error;
    }
  }
  Error GetObject(const std::u16string& name, AutoRef<Processor::Interface>& object) override {
    try {
      return Support()->GetObject(name, object);
    } catch (const Error& error) {
      return error;
    }
  }

  // PropertySet
  Error GetProperty(const std::u16string& name, std::u16string& value) override {
    std::optional<std::u16string> found = ServerProperty(name);
    if (!found) return PropertyNotSupported(HV_SITE_AT("GetProperty", 257), name);
    value = std::move(*found);
    return Common::Success();
  }
  Error GetProperty(const std::u16string& name, TextList& values) override {
    std::optional<TextList> found = ServerListProperty(name);
    if (!found) return PropertyNotSupported(HV_SITE("GetProperty"), name);
    values = std::move(*found);
    return Common::Success();
  }
  Error SetProperty(const std::u16string& name, const std::u16string&) override {
    return PropertyNotSupported(HV_SITE("SetProperty"), name);
  }
  Error SetProperty(const std::u16string& name, const TextList&) override {
    return PropertyNotSupported(HV_SITE("SetProperty"), name);
  }
  Error GetPropertyNames(TextList& names) override {
    names = ServerPropertyNames();
    return Common::Success();
  }

  // VirtualWorkstation
  Error CreateVM(const std::u16string& location, const Common::Credentials& credentials, const std::u16string& name,
                 uint32_t flag, AutoRef<VirtualWareRaw::SafeVM>& vm) override {
    Common::Trace(2, 0x53, 0, Msg::kTraceCreatingVM, {name, location});
    Error outer = Common::MakeErrorWithArgs(0x530013, Msg::kCreateVMFailed, HV_SITE("CreateVM"), "FullPath,FileName",
                                            {location, name});
    return Wrapped(std::move(outer), [&] {
      const HostAccess host = TakeHost();
      std::u16string where = location;
      if (where.empty()) {
        const TextList folders = VirtualWareRaw::GetVMDefaultFolders(*host.root);
        if (folders.empty()) {
          HV_ASSERT_TEXT("!tmp.empty()");
          HV_THROW(0x530040, Msg::kInternalError, "CreateVM");
        }
        where = folders.front();
      } else if (!credentials.Empty()) {
        VirtualWareRaw::SetAccessCredentialsHelper(*host.root, where, credentials);
      }
      vm = CreateMSVirtualPCVirtualMachine(host, where, name, flag);
    });
  }

  Error RemoveVM(const std::u16string& path, const Common::Credentials& credentials) override {
    try {
      Processor::RefPtr<MSVPCDummyVMSupport> support = Support();
      if (support->FindVM(path)) return support->RemoveVM(path);
    } catch (const Error& error) {
      return error;
    }
    Common::Trace(2, 0x53, 0, Msg::kTraceRemovingVM, {path});
    return Wrapped(Common::MakeError(0x53002E, Msg::kDeleteVMFailed, HV_SITE("RemoveVM")), [&] {
      const HostAccess host = TakeHost();
      if (!credentials.Empty()) VirtualWareRaw::SetAccessCredentialsHelper(*host.root, path, credentials);
      TextList files;
      {
        // Closed before its files go.
        AutoRef<VirtualWareRaw::SafeVM> vm = OpenMSVirtualPCVM(host, path);
        files = VirtualWareRaw::GetVMFiles(*vm);
      }
      const std::u16string directory = VirtualWareRaw::GetParentPath(path);
      for (const std::u16string& file : files) {
        const std::u16string full = file.starts_with(u'/') ? file : VirtualWareRaw::JoinPath(directory, file);
        if (!VirtualWareRaw::FileExists(*host.root, full)) continue;
        if (!host.root->Remove(full)) Common::Throw(host.root->TakeError());
      }
    });
  }

  Error GetRegisteredVM(const std::u16string& path, const Common::Credentials& credentials,
                        AutoRef<VirtualWareRaw::SafeVM>& vm) override {
    try {
      if (AutoRef<VirtualWareRaw::SafeVM> dummy = Support()->FindVM(path)) {
        vm = std::move(dummy);
        return Common::Success();
      }
    } catch (const Error& error) {
      return error;
    }
    Common::Trace(2, 0x53, 0, Msg::kTraceOpeningVM, {path});
    Error outer = Common::MakeErrorWithArgs(0x530016, Msg::kOpenVMFailed, HV_SITE("GetRegisteredVM"), "VmId", {path});
    return Wrapped(std::move(outer), [&] {
      const HostAccess host = TakeHost();
      if (!credentials.Empty()) VirtualWareRaw::SetAccessCredentialsHelper(*host.root, path, credentials);
      vm = OpenMSVirtualPCVM(host, path);
    });
  }

  Error GetRegisteredVMs(const std::u16string& location, const Common::Credentials& credentials,
                         const std::u16string& name, AutoRef<VirtualWareRaw::SafeVMCollection>& collection) override {
    Error outer = Common::MakeError(0x530004, Msg::kGetRegisteredVMsFailed, HV_SITE("GetRegisteredVMs"));
    return Wrapped(std::move(outer), [&] {
      const std::u16string folder = MakeVMFileSystemName(name);
      const std::u16string path =
          VirtualWareRaw::JoinPath(VirtualWareRaw::JoinPath(location, folder), folder + u".vmc");
      AutoRef<VirtualWareRaw::SafeVM> vm;
      if (Error error = GetRegisteredVM(path, credentials, vm)) Common::Throw(error);
      collection = VirtualWareRaw::MakeVMCollection({std::move(vm)});
    });
  }

  // FileServicesClient
  Error SetFileServices(const AutoRef<VirtualWareRaw::FileServices>& services) override {
    try {
      if (!services) HV_THROW(0x530040, Msg::kInternalError, "SetFileServices");
      std::shared_ptr<rio_dir> root;
      if (Error error = services->GetRootDir(root)) return error;
      if (!root) HV_THROW(0x530040, Msg::kInternalError, "SetFileServices");
      AutoRef<VirtualWareRaw::FileTracker> tracker = services.Query<VirtualWareRaw::FileTracker>();
      std::lock_guard<std::mutex> lock(mutex_);
      services_ = services;
      root_ = std::move(root);
      tracker_ = std::move(tracker);
      return Common::Success();
    } catch (const Error& error) {
      return error;
    }
  }

 private:
  // A root of its own for each operation: directory objects keep an error
  // state, so they must not be shared between threads, and machines keep
  // their root. The kept root serves the dummy-machine support alone.
  HostAccess TakeHost() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!root_) Common::Throw(Common::MakeError(0x530040, Msg::kInternalError, HV_SITE_AT("GetRootDir", 476)));
    std::shared_ptr<rio_dir> root;
    if (Error error = services_->GetRootDir(root)) Common::Throw(error);
    if (!root) Common::Throw(Common::MakeError(0x530040, Msg::kInternalError, HV_SITE_AT("GetRootDir", 476)));
    return {std::move(root), tracker_};
  }

  // The process-wide dummy-machine support, bound to this server's root when
  // it has none yet; it uses that root under its own lock only.
  Processor::RefPtr<MSVPCDummyVMSupport> Support() {
    return GetDummyVMSupport([this] {
      std::lock_guard<std::mutex> lock(mutex_);
      return root_;
    });
  }

  std::mutex mutex_;  // guards the three fields below
  AutoRef<VirtualWareRaw::FileServices> services_;
  std::shared_ptr<rio_dir> root_;
  AutoRef<VirtualWareRaw::FileTracker> tracker_;
};

}  // namespace

Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> CreateServer() {
  return Processor::MakeRef<VirtualWareRaw::SafeVirtualServer, MSVirtualPCImpl>();
}

}  // namespace VirtualPC
