#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace VhdxTest {

namespace {

void AppendUtf16(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
}

uint64_t AlignedEnd(std::vector<uint8_t>& bytes, uint64_t size) {
  uint64_t offset = (bytes.size() + (1 << 20) - 1) & ~uint64_t{(1 << 20) - 1};
  bytes.resize(offset + size, 0);
  return offset;
}

}  // namespace

void MakeDifferencing(std::vector<uint8_t>& bytes, const Common::Guid& parentDataWriteGuid,
                      const std::vector<std::pair<std::u16string, std::u16string>>& locators) {
  std::vector<uint8_t> parameters(8, 0);
  Put32(parameters, 0, 4 << 20);
  Put32(parameters, 4, Vhdx::FileParameters::kHasParent);
  SetRawMetadata(bytes, {Vhdx::kFileParametersGuid, Vhdx::MetadataFlags::kIsRequired}, parameters);

  std::vector<std::pair<std::u16string, std::u16string>> entries{
      {u"parent_linkage", u"{" + Common::GuidToWideText(parentDataWriteGuid) + u"}"}};
  entries.insert(entries.end(), locators.begin(), locators.end());
  std::vector<uint8_t> value(20 + 12 * entries.size(), 0);
  Vhdx::kParentLocatorTypeGuid.Store(value.data());
  Put16(value, 18, static_cast<uint16_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    Put32(value, 20 + 12 * i, static_cast<uint32_t>(value.size()));
    AppendUtf16(value, entries[i].first);
    Put32(value, 24 + 12 * i, static_cast<uint32_t>(value.size()));
    AppendUtf16(value, entries[i].second);
    Put16(value, 28 + 12 * i, static_cast<uint16_t>(entries[i].first.size() * 2));
    Put16(value, 30 + 12 * i, static_cast<uint16_t>(entries[i].second.size() * 2));
  }
  SetRawMetadata(bytes, {Vhdx::kParentLocatorGuid, Vhdx::MetadataFlags::kIsRequired}, value);
}

Common::Guid DataWriteGuidOf(const std::vector<uint8_t>& bytes) {
  return Common::Guid::Load(bytes.data() + 0x10000 + 32);
}

void SetImageEntry(std::vector<uint8_t>& bytes, uint32_t index, uint32_t state, uint64_t mb) {
  Put64(bytes, kImageBat + index * 8, (mb << 20) | state);
}

uint64_t ImageEntry(const std::vector<uint8_t>& bytes, uint32_t index) {
  return Vhdx::LoadLe64(bytes.data() + kImageBat + index * 8);
}

uint64_t AppendBlock(std::vector<uint8_t>& bytes, uint8_t tag) {
  uint64_t offset = AlignedEnd(bytes, 4 << 20);
  for (uint32_t s = 0; s < kImageSectorsPerBlock; ++s) {
    std::memset(bytes.data() + offset + s * 512, static_cast<uint8_t>(tag + s), 512);
  }
  return offset >> 20;
}

uint64_t AppendBitmap(std::vector<uint8_t>& bytes, uint8_t pattern) {
  uint64_t offset = AlignedEnd(bytes, 1 << 20);
  std::memset(bytes.data() + offset, pattern, 1 << 20);
  return offset >> 20;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(in ? bytes.size() : static_cast<size_t>(in.gcount()));
  return bytes;
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
  char pattern[] = "/tmp/hvtestXXXXXX";
  path = ::mkdtemp(pattern);
}

TempDir::~TempDir() { std::filesystem::remove_all(path); }

}  // namespace VhdxTest
