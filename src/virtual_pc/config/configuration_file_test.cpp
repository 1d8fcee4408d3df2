#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/common/error_codes.h"
#include "core/file/memory_file.h"
#include "core/xml/document.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_file.h"
#include "core/xml/xml_text.h"
#include "thrown.h"
#include "virtual_pc/config/configuration.h"
#include "virtual_pc/vm/vm_testutil.h"

namespace VirtualWareRaw {
namespace {

using VmTest::Utf16Le;

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

// Loading the file fails with the configuration error naming where it stopped.
void ExpectParseFailureAt(i_file& file, const std::u16string& line, const std::u16string& column) {
  const Common::Error error = HvTest::Thrown([&] { ConfigurationParserImpl config(file); });
  EXPECT_EQ(error.Code(), Code::kConfigurationError);
  EXPECT_EQ(std::u16string(error.GetWide("line")), line);
  EXPECT_EQ(std::u16string(error.GetWide("column")), column);
}

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
  EXPECT_EQ(disk.GetError().Code(), Code::kDiskFull);
  EXPECT_STREQ(disk.GetError().Function(), "Write");
  // A file that already failed is not written to.
  EXPECT_FALSE(config.Flush(disk, true));
}

TEST(ConfigurationFile, ParseFailuresKeepTheReadError) {
  auto file = Common::CreateMemoryFile();
  size_t written = 0;
  file->Write("<preferences>\n<a>", 17, written);
  ASSERT_TRUE(file->Rewind());
  ExpectParseFailureAt(*file, u"2", u"4");
}

// --- machine files written by other programs ---------------------------------

// A machine file of tests/data/vmc; empty when it cannot be found.
std::string SampleFile(const char* name) {
  std::ifstream in(std::filesystem::path(HV_SOURCE_DIR) / "tests/data/vmc" / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<Common::MemoryFile> FileWith(const std::string& bytes) {
  auto file = Common::CreateMemoryFile();
  size_t written = 0;
  file->Write(bytes.data(), bytes.size(), written);
  EXPECT_TRUE(file->Rewind());
  return file;
}

// The key paths (with the controller and location ids) whose value or
// attributes differ; "shape" where the elements themselves differ.
void CollectDifferences(const Xml::Tag& a, const Xml::Tag& b, std::string path, std::vector<std::string>& out) {
  path += a.Name;
  auto id = a.Attributes.find("id");
  if (id != a.Attributes.end()) path += "[" + Xml::ToUtf8(id->second) + "]";
  if (a.Name != b.Name || a.Children.size() != b.Children.size()) return out.push_back(path + " shape");
  if (Xml::Segments(a) != Xml::Segments(b) || a.Attributes != b.Attributes) out.push_back(path);
  for (size_t i = 0; i < a.Children.size(); ++i) CollectDifferences(*a.Children[i], *b.Children[i], path + ".", out);
}

std::vector<std::string> Differences(const std::string& before, const std::string& after) {
  ConfigurationParserImpl a(before), b(after);
  std::vector<std::string> out;
  CollectDifferences(*a.rootTag(), *b.rootTag(), "", out);
  return out;
}

struct Sample {
  const char* name;
  bool utf16;
};
const Sample kSamples[] = {{"tabbed_utf16.vmc", true}, {"spaced_utf8_bom.vmc", false}, {"plain_utf8.vmc", false}};

// A sample loaded through a file as the machine loads it.
struct Foreign {
  explicit Foreign(const Sample& sample) : utf16(sample.utf16), original(SampleFile(sample.name)) {
    if (original.empty()) {
      ADD_FAILURE() << sample.name << " not found";
      return;
    }
    auto file = FileWith(original);
    config = std::make_unique<ConfigurationParserImpl>(static_cast<i_file&>(*file));
    // The machine layer always asks for a byte order mark: UTF-8 gets one.
    expected = utf16 || original.substr(0, 3) == "\xEF\xBB\xBF" ? original : "\xEF\xBB\xBF" + original;
  }
  std::string Flushed() {
    auto file = Common::CreateMemoryFile();
    EXPECT_TRUE(config->Flush(*file, true));
    return file->Contents();
  }
  // The expected file with `from` (UTF-8) replaced by `to` once.
  void Replace(std::string_view from, std::string_view to) {
    std::string text = Xml::TranscodeUtf16(expected);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    expected = utf16 ? Utf16Le(text) : text;
  }

  const bool utf16;
  const std::string original;
  std::string expected;
  std::unique_ptr<ConfigurationParserImpl> config;
};

TEST(ForeignMachineFiles, ComeBackByteForByte) {
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    Foreign foreign(sample);
    if (!foreign.config) continue;
    const std::string written = foreign.Flushed();
    EXPECT_EQ(written, foreign.expected);
    EXPECT_TRUE(Differences(foreign.original, written).empty());
  }
}

TEST(ForeignMachineFiles, AChangedValueIsTheOnlyDifference) {
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    Foreign foreign(sample);
    if (!foreign.config) continue;
    std::u16string old;
    ASSERT_TRUE(foreign.config->GetValue("preferences.hardware.memory.ram_size", old));
    foreign.config->SetValue("preferences.hardware.memory.ram_size", u"4096");
    const std::string written = foreign.Flushed();
    foreign.Replace(">" + Xml::ToUtf8(old) + "<", ">4096<");
    EXPECT_EQ(written, foreign.expected);
    EXPECT_EQ(Differences(foreign.original, written), std::vector<std::string>{"preferences.hardware.memory.ram_size"});
  }
}

TEST(ForeignMachineFiles, ValuesSurviveAsWritten) {
  Foreign foreign(kSamples[1]);
  ASSERT_TRUE(foreign.config);
  std::u16string value;
  EXPECT_TRUE(foreign.config->GetValue("preferences.notes", value));
  EXPECT_EQ(value, u" ");
  EXPECT_TRUE(foreign.config->GetValue("preferences.description", value));
  EXPECT_EQ(value, u"First line\r\nsecond line");
  EXPECT_TRUE(foreign.config->GetValue("preferences.banner", value));
  EXPECT_EQ(value, u"  two\r\n  lines  ");
  // Written by the standard writer, each value still reads back the same.
  const std::string before = foreign.Flushed();
  foreign.config->ForgetSourceForm();
  const std::string after = foreign.Flushed();
  EXPECT_EQ(after.substr(3, Xml::kXmlDeclaration.size()), Xml::kXmlDeclaration);
  EXPECT_TRUE(Differences(before, after).empty());
}

TEST(ForeignMachineFiles, AddedAndRemovedElementsKeepTheRest) {
  const std::string controllers = "preferences.hardware.pci_bus.ide_adapter.ide_controller";
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    Foreign foreign(sample);
    if (!foreign.config) continue;
    auto location = foreign.config->Open(controllers, "id", u"0", true)->Open("location", "id", u"3", true);
    location->SetValue("drive_type", u"1");
    location->SetAttribute("drive_type", "type", u"integer");
    location->SetValue("pathname.relative", u"new.vhdx");
    location->SetAttribute("pathname.relative", "type", u"string");
    foreign.config->Open(controllers, "id", u"1", false)->Remove();
    const std::string written = foreign.Flushed();
    EXPECT_EQ(written.substr(0, 3), foreign.expected.substr(0, 3));  // the encoding stays

    // Nothing else changed: without the new location, and with the removed
    // controller gone from the original too, the trees are the same.
    ConfigurationParserImpl before(foreign.original);
    before.Open(controllers, "id", u"1", false)->Remove();
    ConfigurationParserImpl after(written);
    auto added = after.Open(controllers, "id", u"0", false);
    added->Open("location", "id", u"3", false)->Remove();
    if (!added->OpenNth("location", 0)) added->Remove();  // the controller was new too
    std::vector<std::string> differences;
    CollectDifferences(*before.rootTag(), *after.rootTag(), "", differences);
    EXPECT_EQ(differences, std::vector<std::string>());
  }
}

TEST(ForeignMachineFiles, NewLinesFollowTheFilesIndentation) {
  const std::string original = SampleFile("tabbed_utf16.vmc");
  ASSERT_FALSE(original.empty()) << "tests/data/vmc not found";
  auto file = FileWith(original);
  ConfigurationParserImpl config(static_cast<i_file&>(*file));
  auto location = config.Open("preferences.hardware.pci_bus.ide_adapter.ide_controller", "id", u"0", false)
                      ->Open("location", "id", u"1", true);
  location->SetValue("pathname.relative", u"second.vhdx");
  Xml::StringOutput output;
  config.FlushTo(output, true);
  const std::string text = Xml::TranscodeUtf16(output.text);
  EXPECT_NE(text.find("\t\t\t\t\t</location>\r\n"
                      "\t\t\t\t\t<location id=\"1\">\r\n"
                      "\t\t\t\t\t\t<pathname>\r\n"
                      "\t\t\t\t\t\t\t<relative>second.vhdx</relative>\r\n"
                      "\t\t\t\t\t\t</pathname>\r\n"
                      "\t\t\t\t\t</location>\r\n"
                      "\t\t\t\t</ide_controller>"),
            std::string::npos)
      << text;
}

TEST(ForeignMachineFiles, ABrokenFileGivesTheLineAndColumn) {
  std::string text = Xml::TranscodeUtf16(SampleFile("tabbed_utf16.vmc"));
  ASSERT_NE(text.find("</memory>"), std::string::npos);
  text.replace(text.find("</memory>"), 9, "</memroy>");
  auto file = FileWith(Utf16Le(text));
  ExpectParseFailureAt(*file, u"25", u"5");
}

}  // namespace
}  // namespace VirtualWareRaw
