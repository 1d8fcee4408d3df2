#include "core/fdisk/virtual/vhdx/disk_impl.h"

#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "core/common/error.h"
#include "core/common/trace.h"
#include "core/fdisk/virtual/vhd/union.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/collector.h"
#include "core/fdisk/virtual/vhdx/hierarchy.h"

namespace Vhdx {

namespace {

// Differencing chains deeper than this are refused; it also stops a chain
// whose locators loop.
constexpr int kMaxChainDepth = 16;

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void CheckFolder(const std::string &path) {
  std::u16string name = Common::Utf8ToUtf16(path);
  struct stat info;
  if (::stat(FolderOf(path).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    int errnum = errno;
    Common::Error error = Common::MakeErrorWithArgs(Code::kOpenVhdxDirectoryFailed, Msg::kOpenVhdxDirectoryFailed,
                                                    HV_SITE("OpenDisk"), "fileName", {name});
    Common::AddPosixError(error, errnum ? errnum : ENOTDIR);
    Common::Throw(error);
  }
}

std::shared_ptr<DiskFile> OpenOneFile(const std::string &path, std::shared_ptr<CoreFile> core, bool writable) {
  try {
    if (!core) core = DescriptorCoreFile::Open(path, writable);
    auto extra = MakePage83MetadataConsumer();
    std::shared_ptr<DiskFile> file = writable ? OpenDiskFileWritable(core, extra) : OpenDiskFileReadOnly(core, extra);
    return std::make_shared<FileHoldingDiskFile>(std::move(file), std::move(core));
  } catch (const Common::Error &inner) {
    Common::Throw(Common::Wrap(Common::MakeErrorWithArgs(Code::kOpenVhdxFileFailed, Msg::kOpenVhdxFileFailed,
                                                         HV_SITE("OpenDisk"), "fileName", {Common::Utf8ToUtf16(path)}),
                               inner));
  }
}

std::shared_ptr<DiskFile> OpenOneFile(const std::string &path, bool writable) {
  CheckFolder(path);
  return OpenOneFile(path, nullptr, writable);
}

const std::u16string *FindEntry(const ParentLocatorEntries &entries, std::u16string_view key) {
  for (const auto &[k, v] : entries) {
    if (k == key) return &v;
  }
  return nullptr;
}

std::shared_ptr<DiskFileHierarchy> OpenChain(const std::string &path, std::shared_ptr<DiskFile> file, int depth,
                                             const ParentOpener &openParent);

std::shared_ptr<DiskFileHierarchy> OpenParentOf(const std::string &childPath, DiskFile &child, int depth,
                                                const ParentOpener &openParent) {
  ParentLocatorEntries entries = child.GetParentLocatorEntries();
  const std::u16string *linkage = FindEntry(entries, u"parent_linkage");
  if (!linkage) HV_THROW(Code::kParentLinkageUndefined, Msg::kParentLinkageUndefined, "OpenParent");
  std::u16string text = *linkage;
  if (text.size() >= 2 && text.front() == u'{' && text.back() == u'}') text = text.substr(1, text.size() - 2);
  std::optional<Common::Guid> linkageGuid = Common::ParseGuid(std::u16string_view(text));

  std::vector<std::u16string> locators;
  for (std::u16string_view key : {u"relative_path", u"volume_path", u"absolute_win32_path"}) {
    for (const auto &[k, v] : entries) {
      if (k == key) locators.push_back(v);
    }
  }
  if (locators.empty()) HV_THROW(Code::kParentEntriesAbsent, Msg::kParentEntriesAbsent, "OpenParent");
  if (depth >= kMaxChainDepth) HV_THROW(Code::kParentChainTooDeep, Msg::kParentChainTooDeep, "OpenParent");

  Common::Error lastError;
  std::set<std::string> tried;
  for (const std::u16string &locator : locators) {
    for (const std::string &candidate : ParentPathCandidates(FolderOf(childPath), locator)) {
      if (!tried.insert(candidate).second) continue;
      struct stat info;
      if (!openParent && (::stat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode))) continue;
      try {
        std::shared_ptr<DiskFile> parent =
            openParent ? OpenOneFile(candidate, openParent(candidate), false) : OpenOneFile(candidate, false);
        if (!linkageGuid || !(parent->GetWriteGuids().dataWriteGuid == *linkageGuid)) {
          HV_THROW(Code::kParentLinkageMismatch, Msg::kParentLinkageMismatch, "OpenParent");
        }
        if (parent->GetGeometry().logicalSectorSize != child.GetGeometry().logicalSectorSize) {
          HV_THROW(Code::kInvalidDiskGeometry, Msg::kInvalidDiskGeometry, "OpenParent");
        }
        return OpenChain(candidate, std::move(parent), depth + 1, openParent);
      } catch (const Common::Error &error) {
        if (error.Code() == Code::kParentChainTooDeep) throw;
        lastError = error;
      }
    }
  }
  Common::Error notFound = Common::MakeError(Code::kParentNotFound, Msg::kParentNotFound, HV_SITE("OpenParent"));
  if (lastError) notFound = Common::Wrap(notFound, lastError);
  Common::Throw(notFound);
}

std::shared_ptr<DiskFileHierarchy> OpenChain(const std::string &path, std::shared_ptr<DiskFile> file, int depth,
                                             const ParentOpener &openParent) {
  std::shared_ptr<DiskFileHierarchy> parent;
  if (file->GetKind() == kDiskDifferencing) parent = OpenParentOf(path, *file, depth, openParent);
  return std::make_shared<DiskFileHierarchy>(std::move(file), Common::Utf8ToUtf16(path), std::move(parent));
}

class DiskImpl final : public Disk {
 public:
  DiskImpl(std::shared_ptr<DiskFileHierarchy> top, bool writable,
           Processor::AutoRef<VirtualWareRaw::FileTracker> tracker)
      : top_(std::move(top)), writable_(writable), tracker_(std::move(tracker)) {}
  ~DiskImpl() override {
    try {
      Flush();
    } catch (const Common::Error &error) {
      // Nobody is left to tell; the trace keeps it.
      Common::TraceError(2, error);
    }
  }

  DiskGeometry GetGeometry() const override { return top_->GetGeometry(); }

  void Read(uint64_t firstSector, uint8_t *buffer, uint64_t count) override {
    auto needed = Vhd::CreateBitmap(count, true);
    top_->ReadSectors(firstSector, *needed, buffer);
    if (needed->FindFirst(true) < count) {
      HV_THROW(Code::kNotAllSectorsRead, Msg::kNotAllSectorsRead, "Read");
    }
  }
  void Write(uint64_t firstSector, const uint8_t *buffer, uint64_t count) override {
    top_->WriteSectors(firstSector, count, buffer);
  }
  void Flush() override {
    if (!writable_) return;
    top_->GetParts().files->RawFile()->Flush();
    if (firstFill_) {
      top_->GetParts().files->SetDataBarriers(true);
      firstFill_ = false;
    }
  }
  void BeginFirstFill() override {
    if (!writable_) return;
    top_->GetParts().files->SetDataBarriers(false);
    firstFill_ = true;
  }
  bool InFirstFill() const override { return firstFill_; }
  void GetMetadata(MetadataConsumer &consumer) override { top_->GetMetadata(consumer); }
  void SetMetadata(MetadataProvider &provider) override { top_->SetMetadata(provider); }

  std::u16string GetCurrentChangeId() override {
    if (!tracker_) HV_THROW(Code::kFileTrackerNotFound, Msg::kFileTrackerNotFound, "GetCurrentChangeId");
    std::u16string id;
    if (Common::Error error = tracker_->GetCurrentChangeId(id)) Common::Throw(error);
    return id;
  }

  void GetChanges(const std::u16string &changeId, const Vhd::DiskArea &sectors,
                  Vhd::Collector<Vhd::DiskArea> &collector) override {
    auto cached = cache_.find(changeId);
    if (cached == cache_.end()) cached = cache_.emplace(changeId, ComputeChanges(changeId)).first;
    cached->second->Intersect(sectors, collector);
  }

  const std::shared_ptr<DiskFileHierarchy> &Top() const { return top_; }

 private:
  std::shared_ptr<Vhd::CollectingDiskAreaIntersection> ComputeChanges(const std::u16string &changeId) {
    std::shared_ptr<Vhd::ChangedFileMap> map;
    if (changeId == u"*") {
      map = std::make_shared<Vhd::FullChangedFileMap>();
    } else {
      if (!tracker_) HV_THROW(Code::kFileTrackerNotFound, Msg::kFileTrackerNotFound, "GetChanges");
      map = std::make_shared<Vhd::CheckingChangedFileMap>(
          std::make_shared<Vhd::TrackerAwareTrackChecker>(tracker_),
          std::make_shared<Vhd::TrackedChangedFileMap>(tracker_, changeId));
    }
    // Merge everything; stop once one merged interval covers the whole disk.
    Vhd::Union merged;
    ThreshouldCheckingCollector<Vhd::DiskArea> wholeDisk({0, top_->SectorCount()});
    FirstRefusedEnumerator<Vhd::DiskArea> covering(merged, wholeDisk);
    SingleValueSaturableCollectorFactory<Vhd::DiskArea> factory;
    EnumeratorSaturationChecker<Vhd::DiskArea> full(covering, factory);
    SaturationCheckingCollector<Vhd::DiskArea> checking(full, merged);
    Vhd::SaturationPreserver<Vhd::DiskArea> pipeline(checking);
    for (DiskFileHierarchy *file = top_.get(); file; file = file->Parent().get()) {
      std::shared_ptr<Vhd::ChangedFile> changes = map->Get(file->Path());
      file->CollectChangedAreas(*changes, pipeline);
      if (pipeline.IsSaturated()) break;
    }
    auto result = std::make_shared<Vhd::CollectingDiskAreaIntersection>();
    merged.Enumerate(*result);
    return result;
  }

  std::shared_ptr<DiskFileHierarchy> top_;
  bool writable_;
  bool firstFill_ = false;
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker_;
  std::map<std::u16string, std::shared_ptr<Vhd::CollectingDiskAreaIntersection>> cache_;
};

}  // namespace

std::vector<std::string> ParentPathCandidates(const std::string &childFolder, const std::u16string &locatorPath) {
  std::string path = Common::Utf16ToUtf8(locatorPath);
  for (char &c : path) {
    if (c == '\\') c = '/';
  }
  // "//?/Volume{...}/dir/file" and "C:/dir/file": keep the part below the
  // volume.
  if (path.rfind("//?/", 0) == 0 || path.rfind("//./", 0) == 0) {
    size_t next = path.find('/', 4);
    path = next == std::string::npos ? std::string() : path.substr(next);
  } else if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    path = path.substr(2);
  }
  std::vector<std::string> out;
  if (path.empty()) return out;
  if (path.front() != '/') {
    out.push_back(childFolder + "/" + path);
  } else {
    out.push_back(childFolder + path);
    out.push_back(path);
  }
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!name.empty() && name != "." && name != "..") out.push_back(childFolder + "/" + name);
  return out;
}

std::shared_ptr<Disk> OpenDisk(const std::string &path, bool writable,
                               Processor::AutoRef<VirtualWareRaw::FileTracker> tracker) {
  std::shared_ptr<DiskFile> top = OpenOneFile(path, writable);
  return std::make_shared<DiskImpl>(OpenChain(path, std::move(top), 0, nullptr), writable, std::move(tracker));
}

std::shared_ptr<Disk> OpenDisk(const std::string &path, std::shared_ptr<CoreFile> top, bool writable,
                               Processor::AutoRef<VirtualWareRaw::FileTracker> tracker, ParentOpener openParent) {
  std::shared_ptr<DiskFile> file = OpenOneFile(path, std::move(top), writable);
  return std::make_shared<DiskImpl>(OpenChain(path, std::move(file), 0, openParent), writable, std::move(tracker));
}

std::vector<std::pair<std::string, std::shared_ptr<DiskFile>>> GetDiskChain(const Disk &disk) {
  std::vector<std::pair<std::string, std::shared_ptr<DiskFile>>> chain;
  const auto &impl = dynamic_cast<const DiskImpl &>(disk);
  for (std::shared_ptr<DiskFileHierarchy> file = impl.Top(); file; file = file->Parent()) {
    chain.emplace_back(Common::Utf16ToUtf8(file->Path()), file);
  }
  return chain;
}

}  // namespace Vhdx
