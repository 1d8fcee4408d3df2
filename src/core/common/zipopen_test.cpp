// Resource file objects: reading the template from the module's archive,
// failures with the resource library's error as cause, the stored error.
#include "core/common/zipopen.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/common/error_codes.h"
#include "hvplug/resource_api.h"

namespace {

// A scripted resource library.
struct FakeLibrary {
  static inline bool sizeFails = false, rewindFails = false, readFails = false;
  static inline int reads = 0, closes = 0, sizeCalls = 0;
  static inline std::string data;
  static inline size_t position = 0;

  static void Reset(std::string contents) {
    sizeFails = rewindFails = readFails = false;
    reads = closes = sizeCalls = 0;
    data = std::move(contents);
    position = 0;
  }
  static bool GetSize(ResourceApi::FileHandle*, unsigned long long* size) {
    ++sizeCalls;
    *size = data.size();
    return !sizeFails;
  }
  static bool Rewind(ResourceApi::FileHandle*) {
    if (rewindFails) return false;
    position = 0;
    return true;
  }
  static bool Read(ResourceApi::FileHandle*, void* buffer, unsigned int size, unsigned int* read) {
    ++reads;
    if (readFails) return false;
    // At most 3 bytes a call: the object must loop.
    const size_t n = std::min<size_t>({size, 3, data.size() - position});
    std::memcpy(buffer, data.data() + position, n);
    position += n;
    *read = static_cast<unsigned int>(n);
    return true;
  }
  // Serialized error: version 1, code 0x40999, site, message, no arguments, end.
  static char* GetError(ResourceApi::FileHandle*, unsigned int* size) {
    std::string bytes(1, '\x01');
    const uint32_t code = 0x40999;
    bytes.append(reinterpret_cast<const char*>(&code), 4);
    bytes.append(8, '\0');
    bytes += "archive member damaged";
    bytes += '\0';
    bytes += '\0';          // no arguments
    bytes.append(4, '\0');  // end of the records
    char* buffer = new char[bytes.size()];
    std::memcpy(buffer, bytes.data(), bytes.size());
    *size = static_cast<unsigned int>(bytes.size());
    return buffer;
  }
  static void Close(ResourceApi::FileHandle*) { ++closes; }
};

const Common::ResourceFileOperations kFake{FakeLibrary::GetSize, FakeLibrary::Rewind, FakeLibrary::Read,
                                           FakeLibrary::GetError, FakeLibrary::Close};
auto* const kHandle = reinterpret_cast<ResourceApi::FileHandle*>(0x1000);

TEST(ResourceFile, ReadsSizesAndRewinds) {
  FakeLibrary::Reset("template contents");
  {
    auto file = Common::MakeResourceFile(kHandle, kFake);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->GetSize(), 17u);
    char buffer[32] = {};
    size_t got = 0;
    file->Read(buffer, 8, got);
    EXPECT_EQ(std::string(buffer, got), "template");
    EXPECT_TRUE(file->Rewind());
    file->Read(buffer, sizeof buffer, got);
    EXPECT_EQ(std::string(buffer, got), "template contents");
    EXPECT_FALSE(file->Failed());
  }
  EXPECT_EQ(FakeLibrary::closes, 1);
  EXPECT_FALSE(Common::MakeResourceFile(nullptr, kFake));
}

TEST(ResourceFile, FailuresCarryTheLibraryErrorAndStick) {
  FakeLibrary::Reset("abc");
  auto file = Common::MakeResourceFile(kHandle, kFake);
  FakeLibrary::readFails = true;
  char buffer[4];
  size_t got = 7;
  file->Read(buffer, sizeof buffer, got);
  EXPECT_EQ(got, 0u);
  const Common::Error& error = file->GetError();
  EXPECT_EQ(error.Code(), Code::kFileRead);
  EXPECT_STREQ(error.Function(), "Read");
  EXPECT_STREQ(error.Source(), "core/common/zipopen");
  EXPECT_EQ(error.Cause().Code(), 0x40999u);
  EXPECT_EQ(error.Cause().Message(), u"archive member damaged");

  // Inert: the library is not called again until the error is taken.
  FakeLibrary::readFails = false;
  const int readsBefore = FakeLibrary::reads;
  file->Read(buffer, sizeof buffer, got);
  EXPECT_EQ(file->GetSize(), 0u);
  EXPECT_FALSE(file->Rewind());
  EXPECT_EQ(FakeLibrary::reads, readsBefore);
  EXPECT_EQ(FakeLibrary::sizeCalls, 0);
  file->TakeError();

  FakeLibrary::sizeFails = true;
  EXPECT_EQ(file->GetSize(), 0u);
  EXPECT_EQ(file->GetError().Code(), Code::kFileRead);
  EXPECT_STREQ(file->GetError().Function(), "Size");
  file->TakeError();
  FakeLibrary::rewindFails = true;
  EXPECT_FALSE(file->Rewind());
  EXPECT_EQ(file->GetError().Code(), Code::kFileSeek);
  EXPECT_STREQ(file->GetError().Function(), "Rewind");
  file->TakeError();

  uint32_t request = file_ioctl_code("GFST");
  EXPECT_FALSE(file->IOCTL(&request));
  EXPECT_EQ(file->GetError().Code(), Code::kNotSupported);
  EXPECT_STREQ(file->GetError().Function(), "IOCTL");
  EXPECT_STREQ(file->GetError().Source(), "core/common/file_object");
}

TEST(ResourceFile, ReadsTheTemplateFromThePlugInArchive) {
  const char* libDir = std::getenv("HVPLUG_LIB_DIR");
  if (!libDir) {
    GTEST_SKIP() << "HVPLUG_LIB_DIR is not set";
  }
  const std::string plugIn = std::string(libDir) + "/libhvplug.so";
  const std::u16string widePath(plugIn.begin(), plugIn.end());
  ResourceApi::ModuleHandle* module = ResourceApi::OpenModule(widePath.c_str());
  ASSERT_TRUE(module);
  {
    auto file = Common::OpenResourceFile(module, u"default.vmc");
    ASSERT_TRUE(file);
    const uint64_t size = file->GetSize();
    std::string contents(size, '\0');
    size_t got = 0;
    file->Read(contents.data(), contents.size(), got);
    EXPECT_EQ(got, size);
    EXPECT_EQ(contents.substr(0, 8), "\xEF\xBB\xBF<?xml");
    EXPECT_NE(contents.find("<preferences"), std::string::npos);
    EXPECT_FALSE(Common::OpenResourceFile(module, u"absent.txt"));
  }
  ResourceApi::CloseModule(module);
}

}  // namespace
