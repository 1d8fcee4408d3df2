// Stand-in for the agent's file tracker. It does not watch writes; it
// compares. A change ID is a snapshot of every tracked file, taken piece by
// piece (64 KiB): a piece that zstd shrinks at least eightfold (tables,
// bitmaps, zeros) is kept whole, compressed, so that its changes can later be
// found to the exact 8-byte word; of any other piece only its XXH3 hash is
// kept, and a changed hash marks the whole piece. Growth beyond the
// snapshot's size counts as changed.
//
// Keeping tables exactly matters: one rewritten table entry must not mark
// the thousands of empty blocks that its neighbours in the piece describe.
//
// State folder layout:
//   "tracked"        the tracked files, one absolute path a line (UTF-8)
//   "next"           the number of the next change ID, decimal text
//   "change-N.snap"  the snapshot behind change ID "N" (written under a
//                    temporary name, flushed, then renamed; removed when
//                    its user forgets the change ID):
//       8 bytes  "HVSNAP02"
//       4 bytes  file count (u32, little-endian), then for each file:
//         4 bytes  path length in bytes (u32), the UTF-8 path
//         8 bytes  file size in bytes (u64)
//         8 bytes  piece count = ceil(size / 65536) (u64), then per piece:
//           1 byte   kind: 0 hashed, 1 kept (zstd frame follows), 2 all zero
//           8 bytes  XXH3-64 of the piece
//           kind 1:  4 bytes frame length (at most a piece / 8), the frame
#include "hvplug/file_tracker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common/byte_order.h"
#include "core/common/error.h"
#include "processor/runtime.h"

namespace {

using Common::Error;
using VirtualWareRaw::ByteRange;

constexpr uint64_t kPieceSize = 64 * 1024;
constexpr uint64_t kReadSize = 16 * kPieceSize;
// Table and bitmap pages shrink far more; data that shrinks less is not worth keeping.
constexpr uint64_t kKeepRatio = 8;
constexpr uint64_t kMaxKept = kPieceSize / kKeepRatio;
constexpr char kMagic[8] = {'H', 'V', 'S', 'N', 'A', 'P', '0', '2'};
// A snapshot larger than this is refused as damaged (about 16 TB of files).
constexpr uint64_t kMaxPieces = 1ull << 28;
// File times move in clock ticks (a few ms): only a file last written
// clearly before a snapshot began can be known unchanged by its times.
constexpr int64_t kSettleNs = 50'000'000;

enum PieceKind : uint8_t { kHashed = 0, kKept = 1, kZero = 2 };

[[noreturn]] void Fail(uint32_t code, Common::MessageId message, const char* function, const std::string& what,
                       int errnum = 0) {
  Error error = Common::MakeErrorWithArgs(code, message, HV_SITE(function), "name", {Common::Utf8ToUtf16(what)});
  if (errnum) Common::AddPosixError(error, errnum);
  Common::Throw(error);
}

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Identity and times of a file, to tell that it was not written since.
struct Stamp {
  uint64_t dev = 0, ino = 0, size = 0;
  int64_t mtime = 0, ctime = 0;
  bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
          st.st_mtim.tv_sec * 1'000'000'000ll + st.st_mtim.tv_nsec,
          st.st_ctim.tv_sec * 1'000'000'000ll + st.st_ctim.tv_nsec};
}

int64_t NowNs() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec * 1'000'000'000ll + ts.tv_nsec;
}

struct FileSnapshot {
  uint64_t size = 0;
  std::vector<uint8_t> kinds;
  std::vector<uint64_t> hashes;
  std::map<uint64_t, std::string> kept;  // piece index -> zstd frame
  // Set only when the file was settled when the snapshot began.
  bool settled = false;
  Stamp stamp;

  uint64_t PieceLength(uint64_t i) const { return std::min(kPieceSize, size - i * kPieceSize); }
};

// Looks at a stride of words at a time and stops at the first that is not
// zero: pieces with data rarely begin with 256 zero bytes, so they cost
// next to nothing here.
bool AllZero(const uint8_t* data, size_t size) {
  constexpr size_t kStride = 256;
  size_t i = 0;
  for (; i + kStride <= size; i += kStride) {
    uint64_t acc = 0;
    for (size_t j = 0; j < kStride; j += 8) {
      uint64_t word;
      std::memcpy(&word, data + i + j, 8);
      acc |= word;
    }
    if (acc != 0) return false;
  }
  for (; i < size; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

// Fills buffer from offset unless the file ends first; returns the bytes read.
size_t ReadAt(int fd, uint8_t* buffer, size_t size, uint64_t offset, const std::string& path) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "ReadFile", path, errno);
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

// Hashes and, where it pays, compresses the pieces of one read; one per
// thread, as a compression context serves one caller at a time.
class PieceCoder {
 public:
  PieceCoder() : cctx_(ZSTD_createCCtx(), ZSTD_freeCCtx), frame_(ZSTD_compressBound(kPieceSize)) {}

  // Pieces are set by index, so coders on several threads can share a
  // snapshot's vectors; kept frames go to a map of the coder's own.
  void AddPiece(FileSnapshot& snapshot, uint64_t index, const uint8_t* data, size_t length) {
    snapshot.hashes[index] = XXH3_64bits(data, length);
    if (AllZero(data, length)) {
      snapshot.kinds[index] = kZero;
      return;
    }
    // A frame that does not fit a piece / 8 means the piece does not compress well enough.
    size_t n = ZSTD_compressCCtx(cctx_.get(), frame_.data(), length / kKeepRatio, data, length, 1);
    if (ZSTD_isError(n)) {
      snapshot.kinds[index] = kHashed;
      return;
    }
    snapshot.kinds[index] = kKept;
    kept.emplace(index, std::string(reinterpret_cast<const char*>(frame_.data()), n));
  }

  std::map<uint64_t, std::string> kept;

 private:
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx_;
  std::vector<uint8_t> frame_;
};

class Snapshotter {
 public:
  // Reads of kReadSize are shared out among this many threads (the caller's
  // included): hashing and compressing cost more than the reads.
  static unsigned Threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

  FileSnapshot Take(const std::string& path) {
    FileSnapshot snapshot;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
      if (errno == ENOENT) return snapshot;  // a missing file has no content yet
      Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "TakeSnapshot", path, errno);
    }
    const int64_t began = NowNs();
    struct stat before;
    if (::fstat(fd.fd, &before) != 0) Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "TakeSnapshot", path, errno);
    snapshot.size = static_cast<uint64_t>(before.st_size);
    const uint64_t pieces = (snapshot.size + kPieceSize - 1) / kPieceSize;
    if (pieces > kMaxPieces) Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "TakeSnapshot", path, EFBIG);
    snapshot.kinds.assign(pieces, kZero);
    snapshot.hashes.assign(pieces, 0);

    const uint64_t reads = (snapshot.size + kReadSize - 1) / kReadSize;
    const unsigned threads = static_cast<unsigned>(std::min<uint64_t>(Threads(), std::max<uint64_t>(reads, 1)));
    std::vector<PieceCoder> coders(threads);
    std::atomic<uint64_t> next{0};
    std::mutex failedMutex;
    std::exception_ptr failed;
    auto work = [&](PieceCoder& coder) {
      try {
        std::vector<uint8_t> buffer(kReadSize);
        for (uint64_t read; (read = next.fetch_add(1)) < reads;) ReadPieces(fd.fd, path, read, buffer, coder, snapshot);
      } catch (...) {
        std::lock_guard lock(failedMutex);
        if (!failed) failed = std::current_exception();
        next = reads;  // the others stop after their current read
      }
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < threads; ++i) helpers.emplace_back(work, std::ref(coders[i]));
    work(coders[0]);
    for (std::thread& helper : helpers) helper.join();
    if (failed) std::rethrow_exception(failed);
    for (PieceCoder& coder : coders) snapshot.kept.merge(coder.kept);

    struct stat after;
    if (::fstat(fd.fd, &after) == 0 && StampOf(after) == StampOf(before)) {
      snapshot.stamp = StampOf(before);
      snapshot.settled = began - std::max(snapshot.stamp.mtime, snapshot.stamp.ctime) > kSettleNs;
    }
    return snapshot;
  }

 private:
  // The pieces of read number `read`: holes read as zeros, so the pieces
  // before the first data in it are zero pieces, not read.
  static void ReadPieces(int fd, const std::string& path, uint64_t read, std::vector<uint8_t>& buffer,
                         PieceCoder& coder, FileSnapshot& snapshot) {
    static const uint64_t zeroHash = [] {
      const std::vector<uint8_t> zeros(kPieceSize);
      return XXH3_64bits(zeros.data(), kPieceSize);
    }();
    const uint64_t begin = read * kReadSize, end = std::min(snapshot.size, begin + kReadSize);
    uint64_t offset = begin;
    const off_t data = ::lseek(fd, static_cast<off_t>(begin), SEEK_DATA);
    if (data < 0 && errno != ENXIO) Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "TakeSnapshot", path, errno);
    const uint64_t firstData = data < 0 ? end : std::min<uint64_t>(static_cast<uint64_t>(data), end);
    for (; offset + kPieceSize <= firstData; offset += kPieceSize) snapshot.hashes[offset / kPieceSize] = zeroHash;
    if (offset >= end) return;
    const size_t want = static_cast<size_t>(end - offset);
    const size_t got = ReadAt(fd, buffer.data(), want, offset, path);
    // A file cut short while reading: the missing tail reads as zeros.
    std::memset(buffer.data() + got, 0, want - got);
    for (size_t at = 0; at < want; at += kPieceSize) {
      const uint64_t index = (offset + at) / kPieceSize;
      coder.AddPiece(snapshot, index, buffer.data() + at, static_cast<size_t>(snapshot.PieceLength(index)));
    }
  }
};

std::string Absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

// Writes name durably: a temporary file, flushed, then renamed over name.
void WriteDurably(const std::string& name, const std::string& data, const char* function) {
  const std::string temporary = name + ".tmp";
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.fd < 0) Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, function, temporary, errno);
  for (size_t done = 0; done < data.size();) {
    ssize_t put = ::write(fd.fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      int errnum = put < 0 ? errno : ENOSPC;
      ::unlink(temporary.c_str());
      Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, function, temporary, errnum);
    }
    done += static_cast<size_t>(put);
  }
  if (::fsync(fd.fd) != 0 || ::rename(temporary.c_str(), name.c_str()) != 0) {
    int errnum = errno;
    ::unlink(temporary.c_str());
    Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, function, name, errnum);
  }
}

// Reads a snapshot file field by field, refusing anything out of bounds.
class SnapshotReader {
 public:
  SnapshotReader(std::string data, std::string name) : data_(std::move(data)), name_(std::move(name)) {}
  uint64_t Le(int bytes) {
    Need(static_cast<uint64_t>(bytes));
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<uint8_t>(data_[at_ + i])) << (8 * i);
    at_ += static_cast<size_t>(bytes);
    return value;
  }
  std::string Bytes(uint64_t count) {
    Need(count);
    std::string out = data_.substr(at_, static_cast<size_t>(count));
    at_ += static_cast<size_t>(count);
    return out;
  }
  void Skip(uint64_t count) {
    Need(count);
    at_ += static_cast<size_t>(count);
  }
  [[noreturn]] void Damaged() const {
    Fail(Code::kTrackerStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", name_);
  }

 private:
  void Need(uint64_t count) const {
    if (count > data_.size() - at_) Damaged();
  }
  std::string data_, name_;
  size_t at_ = 0;
};

class TrackerState {
 public:
  explicit TrackerState(std::string folder) : folder_(std::move(folder)) {}

  void EnsureFolder() {
    if (::mkdir(folder_.c_str(), 0777) != 0 && errno != EEXIST) {
      Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "CreateTracker", folder_, errno);
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
    std::vector<std::string> files = Tracked();
    if (std::find(files.begin(), files.end(), absolute) != files.end()) return;
    std::string text;
    for (const std::string& file : files) text += file + "\n";
    WriteDurably(folder_ + "/tracked", text + absolute + "\n", "TrackFile");
  }
  bool IsTracked(const std::string& path) const {
    std::vector<std::string> files = Tracked();
    return std::find(files.begin(), files.end(), Absolute(path)) != files.end();
  }
  // Snapshots every tracked file under a new change ID; the snapshots stay
  // in taken for later comparisons in this process.
  std::string NewChangeId(std::map<std::string, FileSnapshot>& taken) {
    uint64_t next = 1;
    {
      std::ifstream in(folder_ + "/next");
      if (in) in >> next;
    }
    std::string id = std::to_string(next);
    std::string data(kMagic, sizeof kMagic);
    std::vector<std::string> files = Tracked();
    Common::AppendLe(data, files.size(), 4);
    Snapshotter snapshotter;
    for (const std::string& file : files) {
      FileSnapshot snapshot = snapshotter.Take(file);
      Append(data, file, snapshot);
      taken[file] = std::move(snapshot);
    }
    WriteDurably(SnapshotName(id), data, "WriteSnapshot");
    WriteDurably(folder_ + "/next", std::to_string(next + 1) + "\n", "GetCurrentChangeId");
    return id;
  }
  void Forget(const std::set<std::string>& keep) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder_.c_str()), ::closedir);
    if (!dir) {
      if (errno == ENOENT) return;
      Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "ForgetChangeIds", folder_, errno);
    }
    std::vector<std::string> doomed;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      const bool snapshot = name.starts_with("change-") && name.ends_with(".snap");
      if ((snapshot && !keep.count(name.substr(7, name.size() - 12))) || name.ends_with(".tmp")) {
        doomed.push_back(name);
      }
    }
    for (const std::string& name : doomed) {
      const std::string path = folder_ + "/" + name;
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "ForgetChangeIds", path, errno);
      }
    }
  }
  // The snapshot of path recorded under change ID id; false when the file was
  // not tracked then.
  bool Load(const std::string& id, const std::string& path, FileSnapshot& out) const;

 private:
  std::string SnapshotName(const std::string& id) const { return folder_ + "/change-" + id + ".snap"; }
  static void Append(std::string& data, const std::string& file, const FileSnapshot& snapshot) {
    Common::AppendLe(data, file.size(), 4);
    data += file;
    Common::AppendLe(data, snapshot.size, 8);
    Common::AppendLe(data, snapshot.kinds.size(), 8);
    for (uint64_t i = 0; i < snapshot.kinds.size(); ++i) {
      data.push_back(static_cast<char>(snapshot.kinds[i]));
      Common::AppendLe(data, snapshot.hashes[i], 8);
      if (snapshot.kinds[i] == kKept) {
        const std::string& frame = snapshot.kept.at(i);
        Common::AppendLe(data, frame.size(), 4);
        data += frame;
      }
    }
  }

  std::string folder_;
};

bool TrackerState::Load(const std::string& id, const std::string& path, FileSnapshot& out) const {
  if (id.empty() || id.size() > 20 || id.find_first_not_of("0123456789") != std::string::npos) {
    Fail(Code::kTrackerUnknownChangeId, Msg::kTrackerUnknownChangeId, "GetChangedFile", id);
  }
  const std::string name = SnapshotName(id);
  std::ifstream in(name, std::ios::binary);
  if (!in) Fail(Code::kTrackerUnknownChangeId, Msg::kTrackerUnknownChangeId, "GetChangedFile", id);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  SnapshotReader reader(std::move(data), name);
  if (reader.Bytes(sizeof kMagic) != std::string(kMagic, sizeof kMagic)) reader.Damaged();
  const std::string wanted = Absolute(path);
  const uint64_t files = reader.Le(4);
  for (uint64_t f = 0; f < files; ++f) {
    uint64_t length = reader.Le(4);
    if (length > PATH_MAX) reader.Damaged();
    const std::string file = reader.Bytes(length);
    FileSnapshot snapshot;
    snapshot.size = reader.Le(8);
    const uint64_t count = reader.Le(8);
    if (count > kMaxPieces || count != (snapshot.size + kPieceSize - 1) / kPieceSize) reader.Damaged();
    const bool mine = file == wanted;
    if (mine) {
      snapshot.kinds.resize(count);
      snapshot.hashes.resize(count);
    }
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t kind = reader.Le(1), hash = reader.Le(8);
      if (kind > kZero) reader.Damaged();
      std::string frame;
      if (kind == kKept) {
        uint64_t size = reader.Le(4);
        if (size > kMaxKept) reader.Damaged();
        if (!mine) {
          reader.Skip(size);
          continue;
        }
        frame = reader.Bytes(size);
      }
      if (!mine) continue;
      snapshot.kinds[i] = static_cast<uint8_t>(kind);
      snapshot.hashes[i] = hash;
      if (kind == kKept) snapshot.kept.emplace(i, std::move(frame));
    }
    if (mine) {
      out = std::move(snapshot);
      return true;
    }
  }
  return false;
}

// The bytes of piece i as the snapshot kept them; false when only a hash was kept.
bool KeptBytes(const FileSnapshot& snapshot, uint64_t i, std::vector<uint8_t>& bytes) {
  const size_t length = static_cast<size_t>(snapshot.PieceLength(i));
  if (snapshot.kinds[i] == kZero) {
    bytes.assign(length, 0);
    return true;
  }
  if (snapshot.kinds[i] != kKept) return false;
  const std::string& frame = snapshot.kept.at(i);
  bytes.resize(length);
  size_t n = ZSTD_decompress(bytes.data(), length, frame.data(), frame.size());
  if (ZSTD_isError(n) || n != length) Fail(Code::kTrackerStateInvalid, Msg::kTrackerStateInvalid, "LoadSnapshot", "");
  return true;
}

class RangeList {
 public:
  void Add(uint64_t start, uint64_t end) {
    if (start >= end) return;
    if (!ranges_.empty() && ranges_.back().second >= start)
      ranges_.back().second = std::max(ranges_.back().second, end);
    else
      ranges_.emplace_back(start, end);
  }
  std::vector<ByteRange> Take() { return std::move(ranges_); }

 private:
  std::vector<ByteRange> ranges_;
};

// Adds the 8-byte words of [base, base + length) where a and b differ.
void AddDifferences(RangeList& out, uint64_t base, const uint8_t* a, const uint8_t* b, size_t length) {
  for (size_t at = 0; at < length;) {
    size_t n = std::min<size_t>(8, length - at);
    if (std::memcmp(a + at, b + at, n) == 0) {
      at += n;
      continue;
    }
    size_t start = at;
    while (at < length) {
      n = std::min<size_t>(8, length - at);
      if (std::memcmp(a + at, b + at, n) == 0) break;
      at += n;
    }
    out.Add(base + start, base + at);
  }
}

// Ranges whose content differs between then and now (merged, clipped to the
// current size). Pieces whose earlier content was kept are compared word by
// word, reading the current piece from file unless now kept it too.
std::vector<ByteRange> Compare(const FileSnapshot& then, const FileSnapshot& now, const std::string& path) {
  RangeList ranges;
  std::unique_ptr<Fd> fd;
  std::vector<uint8_t> before, after;
  for (uint64_t i = 0; i < now.kinds.size(); ++i) {
    const uint64_t start = i * kPieceSize, length = now.PieceLength(i);
    if (i >= then.kinds.size()) {
      ranges.Add(start, start + length);
      continue;
    }
    const uint64_t common = std::min(length, then.PieceLength(i));
    if (common == length && then.PieceLength(i) == length && then.hashes[i] == now.hashes[i]) continue;
    if (!KeptBytes(then, i, before)) {
      ranges.Add(start, start + length);
      continue;
    }
    if (!KeptBytes(now, i, after)) {
      if (!fd) {
        fd = std::make_unique<Fd>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd->fd < 0) Fail(Code::kTrackerIoFailed, Msg::kTrackerIoFailed, "GetChangedFile", path, errno);
      }
      after.resize(static_cast<size_t>(length));
      size_t got = ReadAt(fd->fd, after.data(), after.size(), start, path);
      std::memset(after.data() + got, 0, after.size() - got);
    }
    AddDifferences(ranges, start, before.data(), after.data(), static_cast<size_t>(common));
    ranges.Add(start + common, start + length);  // growth within the piece
  }
  return ranges.Take();
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
    auto first = std::upper_bound(ranges_.begin(), ranges_.end(), offset,
                                  [](uint64_t value, const ByteRange& range) { return value < range.second; });
    for (auto it = first; it != ranges_.end() && it->first < end; ++it) {
      ranges.emplace_back(std::max(it->first, offset), std::min(it->second, end));
    }
    return Common::Success();
  }

 private:
  bool whole_;
  uint64_t size_;
  std::vector<ByteRange> ranges_;
};

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
    return Guard([&] { changeId = Common::Utf8ToUtf16(state_.NewChangeId(latest_)); });
  }
  Error GetChangedFile(const std::u16string& changeId, const std::u16string& path,
                       Processor::AutoRef<VirtualWareRaw::ChangedFile>& file) override {
    return Guard([&] {
      const std::string name = Absolute(Common::Utf16ToUtf8(path));
      FileSnapshot then;
      bool known = state_.Load(Common::Utf16ToUtf8(changeId), name, then);
      const FileSnapshot& now = Current(name);
      std::vector<ByteRange> ranges = known ? Compare(then, now, name) : std::vector<ByteRange>{};
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
  // The file as it is now: the snapshot of the last change ID handed out when
  // the file provably was not written since, a new one otherwise.
  const FileSnapshot& Current(const std::string& name) {
    auto it = latest_.find(name);
    struct stat st;
    if (it != latest_.end() && it->second.settled && ::stat(name.c_str(), &st) == 0 &&
        StampOf(st) == it->second.stamp) {
      return it->second;
    }
    latest_[name] = Snapshotter().Take(name);
    return latest_[name];
  }

  TrackerState state_;
  std::map<std::string, FileSnapshot> latest_;
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

Common::Error HvForgetChangeIds(const std::u16string& stateDir, const std::vector<std::u16string>& keep) {
  try {
    std::set<std::string> ids;
    for (const std::u16string& id : keep) ids.insert(Common::Utf16ToUtf8(id));
    TrackerState(Common::Utf16ToUtf8(stateDir)).Forget(ids);
    return Common::Success();
  } catch (const Common::Error& error) {
    return error;
  }
}
