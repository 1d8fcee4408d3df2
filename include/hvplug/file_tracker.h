// The agent's file tracker: change IDs and the byte ranges of files written
// since a change ID. Both sides compile against this header; the declaration
// order below is the slot order (slots 0 and 1 repeat GetMetaClass and
// QueryInterface as in every VirtualWareRaw interface).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hvplug/error.h"
#include "hvplug/host_api.h"
#include "hvplug/interface_ids.h"
#include "hvplug/processor.h"

namespace VirtualWareRaw {

// [start, end) byte offsets of a file.
using ByteRange = std::pair<uint64_t, uint64_t>;

// The changes of one file since a change ID.
class ChangedFile : public virtual Processor::Interface {
 public:
  static constexpr uint32_t kInterfaceId = 0x4F1A7E12;
  virtual Processor::MetaClass* GetMetaClass() override = 0;                  // 0
  virtual Processor::InterfacePair QueryInterface(uint32_t id) override = 0;  // 1
  // true: treat the whole file as changed.
  virtual Common::Error IsWholeFileChanged(bool& whole) = 0;  // 2
  virtual Common::Error GetSize(uint64_t& size) = 0;          // 3
  // The changed ranges within [offset, offset + length), increasing.
  virtual Common::Error GetChangedRanges(uint64_t offset, uint64_t length,
                                         std::vector<ByteRange>& ranges) = 0;  // 4
};

class FileTracker : public virtual Processor::Interface {
 public:
  static constexpr uint32_t kInterfaceId = InterfaceIds::FileTracker;
  virtual Processor::MetaClass* GetMetaClass() override = 0;                  // 0
  virtual Processor::InterfacePair QueryInterface(uint32_t id) override = 0;  // 1
  virtual Common::Error GetCurrentChangeId(std::u16string& changeId) = 0;     // 2
  virtual Common::Error GetChangedFile(const std::u16string& changeId, const std::u16string& path,
                                       Processor::AutoRef<ChangedFile>& file) = 0;  // 3
  virtual Common::Error IsTracked(const std::u16string& path, bool& tracked) = 0;   // 4
};

}  // namespace VirtualWareRaw

// The host's tracker stand-in, keeping its state in the folder stateDir
// (created when absent). Each change ID it hands out is a snapshot of every
// tracked file; changed ranges come from comparing a snapshot with the file.
HVHOST_API Common::Error HvCreateFileTracker(const std::u16string& stateDir,
                                             Processor::AutoRef<VirtualWareRaw::FileTracker>& tracker);
// Starts tracking path (an absolute or working-directory-relative file name).
HVHOST_API Common::Error HvTrackFile(const std::u16string& stateDir, const std::u16string& path);
// Removes the snapshots of every change ID but those in keep, and files a
// killed run left half written. Only for the state's sole user (a backup
// holding its repository's lock): change IDs are never handed out again.
HVHOST_API Common::Error HvForgetChangeIds(const std::u16string& stateDir, const std::vector<std::u16string>& keep);
