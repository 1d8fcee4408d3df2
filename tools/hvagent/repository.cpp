#include "repository.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "agent_error.h"

namespace Hvagent {

namespace {

using nlohmann::json;

constexpr char kFormat[] = "hvagent-point-1";
constexpr char kTemporaryPrefix[] = ".incomplete-";
constexpr size_t kWriteBuffer = 4 << 20;
// What a direct write must be a multiple of on any device in use.
constexpr size_t kDirectBlock = 4096;

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string FromBase64(const std::string& text, const std::string& source) {
  if (text.size() % 4) Fail(kRepositoryDamaged, "The manifest '" + source + "' is damaged.");
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) Fail(kRepositoryDamaged, "The manifest '" + source + "' is damaged.");
  // The decoder counts the padding as zero bytes.
  size_t padding = text.empty() ? 0 : (text.back() == '=') + (text.size() > 1 && text[text.size() - 2] == '=');
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

json ExtentsToJson(const std::vector<Extent>& extents) {
  json out = json::array();
  for (const Extent& e : extents) out.push_back({e.start, e.length});
  return out;
}

std::vector<Extent> ExtentsFromJson(const json& in, uint64_t sectors) {
  std::vector<Extent> out;
  uint64_t end = 0;
  for (const json& pair : in) {
    Extent e{pair.at(0).get<uint64_t>(), pair.at(1).get<uint64_t>()};
    // Increasing, disjoint and inside the disk, or the manifest lies.
    if (e.length == 0 || e.start < end || e.start > sectors || e.length > sectors - e.start) {
      throw std::out_of_range("extent");
    }
    end = e.start + e.length;
    out.push_back(e);
  }
  return out;
}

std::string PointName(uint64_t point) {
  char name[32];
  std::snprintf(name, sizeof name, "point-%06llu", static_cast<unsigned long long>(point));
  return name;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void WriteAll(int fd, const uint8_t* data, size_t size, const std::string& path) {
  for (size_t done = 0; done < size;) {
    ssize_t put = ::write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) Fail(kIoFailed, "Cannot write '" + path + "'.", put < 0 ? errno : ENOSPC);
    done += static_cast<size_t>(put);
  }
}

}  // namespace

uint64_t Manifest::StoredBytes() const {
  uint64_t total = 0;
  for (const DiskRecord& disk : disks) total += disk.dataBytes;
  return total;
}

std::string ManifestToJson(const Manifest& m) {
  json disks = json::array();
  for (const DiskRecord& d : m.disks) {
    disks.push_back({{"bus", d.bus},
                     {"controller", d.controller},
                     {"device", d.device},
                     {"file", d.file},
                     {"file_name", d.fileName},
                     {"sector_size", d.sectorSize},
                     {"sectors", d.sectors},
                     {"change_id", d.changeId},
                     {"since", d.since},
                     {"reason", d.reason},
                     {"extents", ExtentsToJson(d.extents)},
                     {"zero_runs", ExtentsToJson(d.zeroRuns)},
                     {"data_file", d.dataFile},
                     {"data_bytes", d.dataBytes},
                     {"sha256", d.sha256},
                     {"xxh3", d.xxh3}});
  }
  json out = {{"format", kFormat},
              {"point", m.point},
              {"time", m.time},
              {"kind", m.kind},
              {"base", m.base},
              {"machine", {{"vmc_path", m.vmcPath}, {"vmc_base64", Base64(m.vmc)}, {"properties", m.properties}}},
              {"stored_bytes", m.StoredBytes()},
              {"disks", disks}};
  return out.dump(1) + "\n";
}

Manifest ManifestFromJson(const std::string& text, const std::string& source) {
  try {
    json in = json::parse(text);
    if (in.at("format") != kFormat) throw std::out_of_range("format");
    Manifest m;
    m.point = in.at("point").get<uint64_t>();
    m.time = in.at("time").get<std::string>();
    m.kind = in.at("kind").get<std::string>();
    m.base = in.at("base").get<uint64_t>();
    if (m.kind != "full" && m.kind != "incremental") throw std::out_of_range("kind");
    if ((m.kind == "full") != (m.base == 0) || m.base >= m.point) throw std::out_of_range("base");
    const json& machine = in.at("machine");
    m.vmcPath = machine.at("vmc_path").get<std::string>();
    m.vmc = FromBase64(machine.at("vmc_base64").get<std::string>(), source);
    m.properties = machine.at("properties").get<std::map<std::string, std::string>>();
    for (const json& d : in.at("disks")) {
      DiskRecord r;
      r.bus = d.at("bus").get<std::string>();
      if (r.bus != "ide" && r.bus != "scsi") throw std::out_of_range("bus");
      r.controller = d.at("controller").get<uint32_t>();
      r.device = d.at("device").get<uint32_t>();
      r.file = d.at("file").get<std::string>();
      r.fileName = d.at("file_name").get<std::string>();
      if (r.fileName.empty() || r.fileName.find('/') != std::string::npos || r.fileName == "." || r.fileName == "..") {
        throw std::out_of_range("file_name");
      }
      r.sectorSize = d.at("sector_size").get<uint32_t>();
      if (r.sectorSize != 512 && r.sectorSize != 4096) throw std::out_of_range("sector_size");
      r.sectors = d.at("sectors").get<uint64_t>();
      r.changeId = d.at("change_id").get<std::string>();
      r.since = d.at("since").get<std::string>();
      r.reason = d.at("reason").get<std::string>();
      r.extents = ExtentsFromJson(d.at("extents"), r.sectors);
      r.zeroRuns = ExtentsFromJson(d.at("zero_runs"), r.sectors);
      r.dataFile = d.at("data_file").get<std::string>();
      if (r.dataFile.empty() || r.dataFile.find('/') != std::string::npos || r.dataFile[0] == '.') {
        throw std::out_of_range("data_file");
      }
      r.dataBytes = d.at("data_bytes").get<uint64_t>();
      uint64_t stored = 0;
      for (const Extent& e : r.extents) stored += e.length;
      if (stored > UINT64_MAX / r.sectorSize || stored * r.sectorSize != r.dataBytes) throw std::out_of_range("data");
      r.sha256 = d.at("sha256").get<std::string>();
      r.xxh3 = d.value("xxh3", std::string());
      m.disks.push_back(std::move(r));
    }
    return m;
  } catch (const json::exception&) {
  } catch (const std::out_of_range&) {
  }
  Fail(kRepositoryDamaged, "The manifest '" + source + "' is damaged.");
}

DataWriter::Stage::Stage(std::function<void(const uint8_t*, size_t)> job)
    : job_(std::move(job)), thread_([this] {
        std::unique_lock lock(mutex_);
        for (;;) {
          changed_.wait(lock, [this] { return stop_ || busy_; });
          if (!busy_) return;
          lock.unlock();
          std::exception_ptr failure;
          try {
            job_(data_, size_);
          } catch (...) {
            failure = std::current_exception();
          }
          lock.lock();
          if (failure && !failure_) failure_ = failure;
          busy_ = false;
          changed_.notify_all();
        }
      }) {}

DataWriter::Stage::~Stage() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void DataWriter::Stage::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void DataWriter::Stage::Hand(const uint8_t* data, size_t size) {
  Wait();
  {
    std::lock_guard lock(mutex_);
    data_ = data;
    size_ = size;
    busy_ = true;
  }
  changed_.notify_all();
}

DataWriter::DataWriter(std::string path)
    : path_(std::move(path)),
      fd_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)),
      direct_(fd_ >= 0 && SetDirectIo(fd_, true)),
      // SHA-256 alone keeps its thread busier than the writes keep theirs.
      hasher_([this](const uint8_t* data, size_t size) { sha256_.Update(data, size); }),
      writer_([this](const uint8_t* data, size_t size) {
        WriteOut(data, size);
        xxh3_.Update(data, size);
      }) {
  if (fd_ < 0) Fail(kIoFailed, "Cannot create '" + path_ + "'.", errno);
}

DataWriter::~DataWriter() {
  // The writer ends its job before the file closes under it.
  try {
    writer_.Wait();
  } catch (...) {
  }
  if (fd_ >= 0) ::close(fd_);
}

void DataWriter::Write(const uint8_t* data, size_t size) {
  bytes_ += size;
  while (size) {
    IoBuffer& buffer = buffers_[current_];
    if (buffer.empty()) buffer = IoBuffer(kWriteBuffer);
    if (used_ == buffer.size()) {
      Drain();
      continue;
    }
    size_t n = std::min(size, buffer.size() - used_);
    std::memcpy(buffer.data() + used_, data, n);
    used_ += n;
    data += n;
    size -= n;
  }
}

void DataWriter::Drain() {
  // Each stage takes this buffer once it is done with the other one, which
  // is then free to fill; the hashes see the bytes in file order.
  const IoBuffer& full = buffers_[current_];
  hasher_.Hand(full.data(), used_);
  writer_.Hand(full.data(), used_);
  current_ ^= 1;
  used_ = 0;
}

void DataWriter::WriteOut(const uint8_t* data, size_t size) {
  // Past the cache only whole blocks go, and only the last buffer can end
  // in part of one; a file system that refuses a direct write gets it, and
  // all that follow, through the cache.
  size_t done = 0;
  while (direct_ && size - done >= kDirectBlock) {
    ssize_t put = ::write(fd_, data + done, (size - done) / kDirectBlock * kDirectBlock);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EINVAL) break;
    if (put <= 0) Fail(kIoFailed, "Cannot write '" + path_ + "'.", put < 0 ? errno : ENOSPC);
    done += static_cast<size_t>(put);
  }
  if (done < size) {
    if (direct_) {
      direct_ = false;
      SetDirectIo(fd_, false);
    }
    WriteAll(fd_, data + done, size - done, path_);
    // Start the writeback now, without waiting for it: the flush at the end
    // finds little left to do. A failure here shows at that flush.
    ::sync_file_range(fd_, static_cast<off_t>(written_ + done), static_cast<off_t>(size - done),
                      SYNC_FILE_RANGE_WRITE);
  }
  written_ += size;
}

Digests DataWriter::Close() {
  Drain();
  hasher_.Wait();
  writer_.Wait();
  if (::fsync(fd_) != 0) Fail(kIoFailed, "Cannot write '" + path_ + "'.", errno);
  ::close(fd_);
  fd_ = -1;
  return {sha256_.HexDigest(), xxh3_.HexDigest()};
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(kIoFailed, "Cannot open '" + folder + "'.", errno);
  int rc = ::fsync(fd);
  int errnum = errno;
  ::close(fd);
  if (rc != 0) Fail(kIoFailed, "Cannot flush '" + folder + "'.", errnum);
}

void WriteFileDurably(const std::string& name, const std::string& data) {
  const std::string temporary = name + ".tmp";
  {
    // A small file: written at once, without the data writer's buffers and
    // hashing thread.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail(kIoFailed, "Cannot create '" + temporary + "'.", errno);
    try {
      WriteAll(fd, reinterpret_cast<const uint8_t*>(data.data()), data.size(), temporary);
      if (::fsync(fd) != 0) Fail(kIoFailed, "Cannot write '" + temporary + "'.", errno);
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
  }
  if (::rename(temporary.c_str(), name.c_str()) != 0) Fail(kIoFailed, "Cannot write '" + name + "'.", errno);
  size_t slash = name.rfind('/');
  SyncFolder(slash == std::string::npos ? "." : name.substr(0, slash));
}

std::string ReadWholeFile(const std::string& name) {
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(kIoFailed, "Cannot read '" + name + "'.", errno);
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int errnum = errno;
      ::close(fd);
      Fail(kIoFailed, "Cannot read '" + name + "'.", errnum);
    }
    if (got == 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return out;
}

std::string UtcNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  ::gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

PointWriter::PointWriter(const Repository& repository, uint64_t point)
    : repository_(repository),
      point_(point),
      temporary_(repository.Path() + "/" + kTemporaryPrefix + std::to_string(::getpid())) {
  RemoveTree(temporary_);
  if (::mkdir(temporary_.c_str(), 0755) != 0) Fail(kIoFailed, "Cannot create '" + temporary_ + "'.", errno);
}

PointWriter::~PointWriter() {
  if (!committed_) RemoveTree(temporary_);
}

void PointWriter::Commit(const Manifest& manifest) {
  const std::string text = ManifestToJson(manifest);
  WriteFileDurably(PathOf("manifest.json"), text);
  Sha256 hash;
  hash.Update(text.data(), text.size());
  WriteFileDurably(PathOf("manifest.sha256"), hash.HexDigest() + "\n");
  const std::string final = repository_.PointDir(point_);
  if (::rename(temporary_.c_str(), final.c_str()) != 0) Fail(kIoFailed, "Cannot create '" + final + "'.", errno);
  committed_ = true;
  SyncFolder(repository_.Path());
}

Repository::Repository(std::string path, bool create, bool writer) : path_(std::move(path)) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    if (!create || errno != ENOENT) Fail(kIoFailed, "Cannot open the repository '" + path_ + "'.", errno);
    if (::mkdir(path_.c_str(), 0755) != 0 && errno != EEXIST) {
      Fail(kIoFailed, "Cannot create the repository '" + path_ + "'.", errno);
    }
  } else if (!S_ISDIR(st.st_mode)) {
    Fail(kIoFailed, "The repository '" + path_ + "' is not a folder.", ENOTDIR);
  }
  if (!writer) return;
  const std::string lock = path_ + "/.lock";
  lock_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_ < 0) Fail(kIoFailed, "Cannot create '" + lock + "'.", errno);
  if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) Fail(kIoFailed, "The repository '" + path_ + "' is in use.", errno);
  // Under the lock no other run is writing: what a temporary folder holds
  // was left by a run that was killed.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
    if (entry.path().filename().string().rfind(kTemporaryPrefix, 0) == 0) RemoveTree(entry.path().string());
  }
}

Repository::~Repository() {
  if (lock_ >= 0) ::close(lock_);
}

std::string Repository::PointDir(uint64_t point) const { return path_ + "/" + PointName(point); }

std::vector<uint64_t> Repository::Points() const {
  std::vector<uint64_t> points;
  DIR* dir = ::opendir(path_.c_str());
  if (!dir) Fail(kIoFailed, "Cannot open the repository '" + path_ + "'.", errno);
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() != 12 || name.compare(0, 6, "point-") != 0 ||
        name.find_first_not_of("0123456789", 6) != std::string::npos) {
      continue;
    }
    uint64_t point = std::stoull(name.substr(6));
    if (point > 0 && PointName(point) == name) points.push_back(point);
  }
  ::closedir(dir);
  std::sort(points.begin(), points.end());
  return points;
}

Manifest Repository::Load(uint64_t point) const {
  const std::string dir = PointDir(point);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) Fail(kPointMissing, "Restore point " + std::to_string(point) + " is missing.");
  const std::string name = dir + "/manifest.json";
  const std::string text = ReadWholeFile(name);
  std::string expected = ReadWholeFile(dir + "/manifest.sha256");
  while (!expected.empty() && expected.back() == '\n') expected.pop_back();
  Sha256 hash;
  hash.Update(text.data(), text.size());
  if (hash.HexDigest() != expected) Fail(kChecksumMismatch, "The checksum of '" + name + "' does not match.");
  Manifest manifest = ManifestFromJson(text, name);
  if (manifest.point != point) Fail(kRepositoryDamaged, "The manifest '" + name + "' is damaged.");
  return manifest;
}

std::vector<Manifest> Repository::Chain(uint64_t point) const {
  std::vector<Manifest> chain{Load(point)};
  // Each disk not stored whole needs the previous point's record of the
  // same disk, under the change ID it was compared against.
  std::map<std::string, std::string> pending;
  for (const DiskRecord& disk : chain.back().disks) {
    if (disk.since != "*") pending[disk.Place()] = disk.since;
  }
  while (!pending.empty()) {
    const uint64_t base = chain.back().base;
    if (base == 0) Fail(kRepositoryDamaged, "Restore point " + std::to_string(chain.back().point) + " has no base.");
    Manifest older;
    try {
      older = Load(base);
    } catch (const Common::Error& error) {
      Check(error, "Restore point " + std::to_string(point) + " builds on point " + std::to_string(base) +
                       ", which cannot be read.");
    }
    for (auto it = pending.begin(); it != pending.end();) {
      auto record = std::find_if(older.disks.begin(), older.disks.end(),
                                 [&](const DiskRecord& d) { return d.Place() == it->first; });
      if (record == older.disks.end() || record->changeId != it->second) {
        Fail(kRepositoryDamaged, "Restore point " + std::to_string(base) + " lacks disk " + it->first +
                                     " at change ID " + it->second + ".");
      }
      if (record->since == "*") {
        it = pending.erase(it);
      } else {
        it->second = record->since;
        ++it;
      }
    }
    chain.push_back(std::move(older));
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

void Repository::VerifyData(const Manifest& manifest, const std::function<void(uint64_t)>& onBytes) const {
  for (const DiskRecord& disk : manifest.disks) {
    const std::string name = PointDir(manifest.point) + "/" + disk.dataFile;
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) Fail(kChecksumMismatch, "The data file '" + name + "' is missing.", errno);
    Digests digests;
    if (static_cast<uint64_t>(st.st_size) == disk.dataBytes) digests = HashFile(name, onBytes);
    if (digests.sha256 != disk.sha256 || (!disk.xxh3.empty() && digests.xxh3 != disk.xxh3)) {
      Fail(kChecksumMismatch, "The checksum of '" + name + "' does not match.");
    }
  }
}

}  // namespace Hvagent
