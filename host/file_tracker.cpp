// Stand-in for the agent's file tracker. It does not watch writes; it
// compares. A change ID is a snapshot of every tracked file: one 64-bit hash
// per 64 KiB range. The changed ranges of a file since a change ID are the
// ranges whose hash differs now, plus everything past the snapshot's size.
//
// State folder layout:
//   "tracked"        the tracked files, one absolute path a line (UTF-8)
//   "next"           the number of the next change ID, decimal text
//   "change-N.snap"  the snapshot behind change ID "N":
//       8 bytes  "HVSNAP01"
//       4 bytes  file count (u32, little-endian), then for each file:
//         4 bytes  path length in bytes (u32), the UTF-8 path
//         8 bytes  file size in bytes (u64)
//         8 bytes  hash count = ceil(size / 65536) (u64)
//         8 bytes  per hash (u64), range i covering [i * 65536, (i + 1) * 65536)
#include "hvplug/file_tracker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "processor/runtime.h"

namespace {

using Common::Error;
using VirtualWareRaw::ByteRange;

constexpr uint64_t kRangeSize = 64 * 1024;
constexpr char kMagic[8] = {'H', 'V', 'S', 'N', 'A', 'P', '0', '1'};
// A snapshot larger than this is refused as damaged (about 16 TB of files).
constexpr uint64_t kMaxHashes = 1ull << 28;
constexpr uint32_t kStateInvalid = 0x3C0056, kUnknownChangeId = 0x3C0057, kIoFailed = 0x3C0058;

[[noreturn]] void Fail(uint32_t code, Common::MessageId message, const char* function, const std::string& what,
                       int errnum = 0) {
  Error error = Common::MakeErrorWithArgs(code, message, HV_SITE(function), "name", {Common::Utf8ToUtf16(what)});
  if (errnum) Common::AddPosixError(error, errnum);
  Common::Throw(error);
}

// Mixes eight bytes at a time; collisions between two versions of one range
// are what matters, and 64 bits make them negligible.
uint64_t HashRange(const uint8_t* data, size_t size) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  for (; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  h ^= h >> 29;
  return h * 0xC4CEB9FE1A85EC53ull;
}

struct FileSnapshot {
  uint64_t size = 0;
  std::vector<uint64_t> hashes;
};

std::string Absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

FileSnapshot TakeSnapshot(const std::string& path) {
  FileSnapshot snapshot;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return snapshot;  // a missing file has no content yet
  std::vector<uint8_t> buffer(kRangeSize * 16);
  for (;;) {
    ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(snapshot.size));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int errnum = errno;
      ::close(fd);
      Fail(kIoFailed, Msg::kTrackerIoFailed, "TakeSnapshot", path, errnum);
    }
    if (got == 0) break;
    for (ssize_t off = 0; off < got; off += static_cast<ssize_t>(kRangeSize)) {
      size_t piece = std::min<size_t>(kRangeSize, static_cast<size_t>(got - off));
      snapshot.hashes.push_back(HashRange(buffer.data() + off, piece));
    }
    snapshot.size += static_cast<uint64_t>(got);
    // A short read in the middle of a range would misalign the hashes: only
    // the file's end may end a range early.
    if (static_cast<size_t>(got) % kRangeSize) break;
  }
  ::close(fd);
  return snapshot;
}

class TrackerState {
 public:
  explicit TrackerState(std::string folder) : folder_(std::move(folder)) {}

  void EnsureFolder() {
    if (::mkdir(folder_.c_str(), 0777) != 0 && errno != EEXIST) {
      Fail(kIoFailed, Msg::kTrackerIoFailed, "CreateTracker", folder_, errno);
    }
  }
  std::vector<std::string> Tracked() const {
    std::vector<std::string> out;
    std::ifstream in(folder_ + "/tracked");
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) out.push_back(line);
    }
    return out;
  }
  void Track(const std::string& path) {
    std::string absolute = Absolute(path);
    for (const std::string& known : Tracked()) {
      if (known == absolute) return;
    }
    std::ofstream out(folder_ + "/tracked", std::ios::app);
    out << absolute << "\n";
    if (!out) Fail(kIoFailed, Msg::kTrackerIoFailed, "TrackFile", folder_ + "/tracked");
  }
  bool IsTracked(const std::string& path) const {
    std::string absolute = Absolute(path);
    for (const std::string& known : Tracked()) {
      if (known == absolute) return true;
    }
    return false;
  }
  std::string NewChangeId() {
    uint64_t next = 1;
    {
      std::ifstream in(folder_ + "/next");
      if (in) in >> next;
    }
    std::string id = std::to_string(next);
    WriteSnapshot(id);
    std::ofstream out(folder_ + "/next", std::ios::trunc);
    out << next + 1 << "\n";
    if (!out) Fail(kIoFailed, Msg::kTrackerIoFailed, "GetCurrentChangeId", folder_ + "/next");
    return id;
  }
  // The snapshot of path recorded under change ID id; false when the file was
  // not tracked then.
  bool Load(const std::string& id, const std::string& path, FileSnapshot& out) const;

 private:
  std::string SnapshotName(const std::string& id) const { return folder_ + "/change-" + id + ".snap"; }
  void WriteSnapshot(const std::string& id);

  std::string folder_;
};

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void TrackerState::WriteSnapshot(const std::string& id) {
  std::vector<std::string> files = Tracked();
  std::string data(kMagic, sizeof kMagic);
  PutLe(data, files.size(), 4);
  for (const std::string& file : files) {
    FileSnapshot snapshot = TakeSnapshot(file);
    PutLe(data, file.size(), 4);
    data += file;
    PutLe(data, snapshot.size, 8);
    PutLe(data, snapshot.hashes.size(), 8);
    for (uint64_t hash : snapshot.hashes) PutLe(data, hash, 8);
  }
  std::string name = SnapshotName(id);
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) Fail(kIoFailed, Msg::kTrackerIoFailed, "WriteSnapshot", name);
}

bool TrackerState::Load(const std::string& id, const std::string& path, FileSnapshot& out) const {
  for (char c : id) {
    if (c < '0' || c > '9') Fail(kUnknownChangeId, Msg::kTrackerUnknownChangeId, "GetChangedFile", id);
  }
  std::string name = SnapshotName(id);
  std::ifstream in(name, std::ios::binary);
  if (id.empty() || !in) Fail(kUnknownChangeId, Msg::kTrackerUnknownChangeId, "GetChangedFile", id);
  auto read = [&](uint64_t bytes) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < bytes; ++i) {
      int c = in.get();
      if (c == EOF) Fail(kStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", name);
      value |= static_cast<uint64_t>(c) << (8 * i);
    }
    return value;
  };
  char magic[sizeof kMagic];
  if (!in.read(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0) {
    Fail(kStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", name);
  }
  const std::string wanted = Absolute(path);
  uint64_t files = read(4);
  for (uint64_t f = 0; f < files; ++f) {
    uint64_t length = read(4);
    if (length > PATH_MAX) Fail(kStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", name);
    std::string file(length, '\0');
    if (!in.read(file.data(), static_cast<std::streamsize>(length))) {
      Fail(kStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", name);
    }
    uint64_t size = read(8);
    uint64_t count = read(8);
    if (count > kMaxHashes || count != (size + kRangeSize - 1) / kRangeSize) {
      Fail(kStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", name);
    }
    if (file != wanted) {
      in.seekg(static_cast<std::streamoff>(count * 8), std::ios::cur);
      continue;
    }
    out.size = size;
    out.hashes.resize(count);
    for (uint64_t& hash : out.hashes) hash = read(8);
    return true;
  }
  return false;
}

class ChangedFileImpl final : public VirtualWareRaw::ChangedFile {
 public:
  ChangedFileImpl(bool whole, uint64_t size, std::vector<ByteRange> ranges)
      : whole_(whole), size_(size), ranges_(std::move(ranges)) {}

  Processor::MetaClass* GetMetaClass() override {
    return Processor::InterfaceMetaClass<VirtualWareRaw::ChangedFile>::Instance();
  }
  Processor::InterfacePair QueryInterface(uint32_t id) override {
    if (id == VirtualWareRaw::ChangedFile::kInterfaceId) {
      return Processor::AnswerInterface<VirtualWareRaw::ChangedFile>(this);
    }
    return {};
  }
  Error IsWholeFileChanged(bool& whole) override {
    whole = whole_;
    return Common::Success();
  }
  Error GetSize(uint64_t& size) override {
    size = size_;
    return Common::Success();
  }
  Error GetChangedRanges(uint64_t offset, uint64_t length, std::vector<ByteRange>& ranges) override {
    ranges.clear();
    const uint64_t end = offset + length < offset ? UINT64_MAX : offset + length;
    for (auto [start, stop] : ranges_) {
      uint64_t s = std::max(start, offset), e = std::min(stop, end);
      if (s < e) ranges.emplace_back(s, e);
    }
    return Common::Success();
  }

 private:
  bool whole_;
  uint64_t size_;
  std::vector<ByteRange> ranges_;
};

// Ranges whose content differs from the snapshot, merged, clipped to the
// current size; growth beyond the snapshot counts as changed.
std::vector<ByteRange> CompareWithSnapshot(const FileSnapshot& then, const FileSnapshot& now) {
  std::vector<ByteRange> ranges;
  auto add = [&](uint64_t start, uint64_t end) {
    if (start >= end) return;
    if (!ranges.empty() && ranges.back().second == start)
      ranges.back().second = end;
    else
      ranges.emplace_back(start, end);
  };
  for (uint64_t i = 0; i < now.hashes.size(); ++i) {
    uint64_t start = i * kRangeSize, end = std::min(now.size, start + kRangeSize);
    bool same = i < then.hashes.size() && then.hashes[i] == now.hashes[i] && end <= then.size;
    if (!same) add(start, end);
  }
  return ranges;
}

class FileTrackerImpl final : public VirtualWareRaw::FileTracker {
 public:
  explicit FileTrackerImpl(std::string folder) : state_(std::move(folder)) {}

  Processor::MetaClass* GetMetaClass() override {
    return Processor::InterfaceMetaClass<VirtualWareRaw::FileTracker>::Instance();
  }
  Processor::InterfacePair QueryInterface(uint32_t id) override {
    if (id == VirtualWareRaw::FileTracker::kInterfaceId) {
      return Processor::AnswerInterface<VirtualWareRaw::FileTracker>(this);
    }
    return {};
  }
  Error GetCurrentChangeId(std::u16string& changeId) override {
    return Guard([&] { changeId = Common::Utf8ToUtf16(state_.NewChangeId()); });
  }
  Error GetChangedFile(const std::u16string& changeId, const std::u16string& path,
                       Processor::AutoRef<VirtualWareRaw::ChangedFile>& file) override {
    return Guard([&] {
      std::string name = Common::Utf16ToUtf8(path);
      FileSnapshot then;
      bool known = state_.Load(Common::Utf16ToUtf8(changeId), name, then);
      FileSnapshot now = TakeSnapshot(Absolute(name));
      std::vector<ByteRange> ranges = known ? CompareWithSnapshot(then, now) : std::vector<ByteRange>{};
      file = Processor::MakeRef<VirtualWareRaw::ChangedFile, ChangedFileImpl>(!known, now.size, std::move(ranges));
    });
  }
  Error IsTracked(const std::u16string& path, bool& tracked) override {
    return Guard([&] { tracked = state_.IsTracked(Common::Utf16ToUtf8(path)); });
  }

 private:
  template <class F>
  static Error Guard(F&& f) {
    try {
      f();
      return Common::Success();
    } catch (const Error& error) {
      return error;
    }
  }
  TrackerState state_;
};

}  // namespace

Common::Error HvCreateFileTracker(const std::u16string& stateDir,
                                  Processor::AutoRef<VirtualWareRaw::FileTracker>& tracker) {
  try {
    TrackerState state(Common::Utf16ToUtf8(stateDir));
    state.EnsureFolder();
    tracker = Processor::MakeRef<VirtualWareRaw::FileTracker, FileTrackerImpl>(Common::Utf16ToUtf8(stateDir));
    return Common::Success();
  } catch (const Common::Error& error) {
    return error;
  }
}

Common::Error HvTrackFile(const std::u16string& stateDir, const std::u16string& path) {
  try {
    TrackerState state(Common::Utf16ToUtf8(stateDir));
    state.EnsureFolder();
    state.Track(Common::Utf16ToUtf8(path));
    return Common::Success();
  } catch (const Common::Error& error) {
    return error;
  }
}
