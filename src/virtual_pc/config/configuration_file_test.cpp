#include <gtest/gtest.h>

#include "core/file/memory_file.h"
#include "core/xml/xml_file.h"
#include "virtual_pc/config/configuration.h"

namespace VirtualWareRaw {
namespace {

// Takes `room` bytes, then reports short counts as a full disk does.
class FullDisk final : public o_file {
 public:
  explicit FullDisk(size_t room) : room_(room) {}
  void Write(const void*, size_t size, size_t& transferred) override {
    transferred = std::min(size, room_);
    room_ -= transferred;
  }

 private:
  size_t room_;
};

TEST(ConfigurationFile, FlushesToAFileAndReadsItBack) {
  ConfigurationParserImpl config;
  config.SetValue("preferences.hardware.memory.ram_size", u"128");
  auto file = Common::CreateMemoryFile();
  ASSERT_TRUE(config.Flush(*file, true));
  const std::string& written = file->Contents();
  EXPECT_EQ(written.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(written.substr(3),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n"
            "<preferences><hardware><memory><ram_size>128</ram_size></memory></hardware>"
            "</preferences>\r\n");
  ASSERT_TRUE(file->Rewind());
  ConfigurationParserImpl back(static_cast<i_file&>(*file));
  std::u16string value;
  EXPECT_TRUE(back.GetValue("preferences.hardware.memory.ram_size", value));
  EXPECT_EQ(value, u"128");

  auto without = Common::CreateMemoryFile();
  ASSERT_TRUE(config.Flush(*without, false));
  EXPECT_EQ(without->Contents().substr(0, 5), "<?xml");
}

TEST(ConfigurationFile, AFullDiskIsLeftInTheFile) {
  ConfigurationParserImpl config("<preferences><a>some text</a></preferences>");
  FullDisk disk(20);
  EXPECT_FALSE(config.Flush(disk, true));
  EXPECT_EQ(disk.GetError().Code(), 0x40004u);
  EXPECT_STREQ(disk.GetError().Function(), "Write");
  // A file that already failed is not written to.
  EXPECT_FALSE(config.Flush(disk, true));
}

TEST(ConfigurationFile, ParseFailuresKeepTheReadError) {
  auto file = Common::CreateMemoryFile();
  size_t written = 0;
  file->Write("<preferences>\n<a>", 17, written);
  ASSERT_TRUE(file->Rewind());
  try {
    ConfigurationParserImpl config(static_cast<i_file&>(*file));
    FAIL() << "loaded a broken document";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), kConfigurationError);
    EXPECT_EQ(std::u16string(error.GetWide("line")), u"2");
    EXPECT_EQ(std::u16string(error.GetWide("column")), u"4");
  }
}

}  // namespace
}  // namespace VirtualWareRaw
