#include "virtual_pc/config/configuration.h"

#include <gtest/gtest.h>

#include "core/common/error.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_text.h"
#include "thrown.h"
#include "virtual_pc/vm/vm_template.h"

namespace VirtualWareRaw {
namespace {

using HvTest::Thrown;

std::u16string MessageOf(Common::MessageId id) {
  const char16_t* text = Common::GetMessage(id);
  return text ? text : u"";
}

// The machine template, from the archive the test environment installed.
std::string Template() {
  std::unique_ptr<si_file> file = VirtualPC::OpenMachineTemplate();
  if (!file) return {};
  std::string text(file->GetSize(), '\0');
  size_t read = 0;
  file->Read(text.data(), text.size(), read);
  text.resize(read);
  return text;
}

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    text_ = Template();
    ASSERT_FALSE(text_.empty()) << "default.vmc not found";
    config_ = std::make_unique<ConfigurationParserImpl>(text_);
  }
  std::string Flushed(bool byteOrderMark = true) {
    Xml::StringOutput output;
    config_->FlushTo(output, byteOrderMark);
    return output.text;
  }
  std::string text_;
  std::unique_ptr<ConfigurationParserImpl> config_;
};

TEST_F(ConfigurationTest, ReadsTheTemplateByKeyPath) {
  std::u16string value;
  EXPECT_TRUE(config_->GetValue("preferences.hardware.memory.ram_size", value));
  EXPECT_EQ(value, u"128");
  EXPECT_TRUE(config_->GetAttribute("preferences.hardware.memory.ram_size", "type", value));
  EXPECT_EQ(value, u"integer");
  EXPECT_FALSE(config_->GetValue("hardware.memory.ram_size", value));  // must start at the root
  EXPECT_FALSE(config_->GetValue("preferences.hardware.memory.nothing", value));
  EXPECT_FALSE(config_->GetAttribute("preferences.hardware.memory.ram_size", "unit", value));
  EXPECT_TRUE(config_->GetValue("preferences.hardware.firmware.value", value));
  EXPECT_EQ(value, u"bios");

  auto hardware = config_->Open("preferences.hardware", "", u"", false);
  ASSERT_TRUE(hardware);
  EXPECT_TRUE(hardware->GetValue("memory.ram_size", value));  // a view starts below its element
  EXPECT_FALSE(hardware->GetValue("hardware.memory.ram_size", value));
  EXPECT_EQ(config_->Open("preferences.software", "", u"", false), nullptr);
}

TEST_F(ConfigurationTest, RemembersTheLastPath) {
  Xml::Tag* first = config_->OpenTag("preferences.hardware.memory.ram_size");
  ASSERT_TRUE(first);
  // A new first match would be found by a walk; the remembered tag is returned.
  Xml::Tag* memory = first->Parent;
  Xml::InsertChild(*memory, 0, std::make_unique<Xml::Tag>("ram_size"));
  EXPECT_EQ(config_->OpenTag("preferences.hardware.memory.ram_size"), first);
  // Removing an element elsewhere makes the next look-up walk again.
  auto firmware = config_->Open("preferences.hardware.firmware", "", u"", false);
  firmware->Remove();
  EXPECT_EQ(config_->OpenTag("preferences.hardware.memory.ram_size"), memory->Children[0].get());
}

TEST_F(ConfigurationTest, CreatesControllersByAttribute) {
  const std::string controller = "preferences.hardware.pci_bus.ide_adapter.ide_controller";
  config_->SetAttribute(controller, "location", u"0");
  auto second = config_->Open(controller, "location", u"1", true);
  ASSERT_TRUE(second);
  second->SetValue("location.pathname.relative", u"disk.vhdx");
  auto first = config_->Open(controller, "location", u"0", false);
  ASSERT_TRUE(first);
  EXPECT_EQ(config_->Open(controller, "location", u"2", false), nullptr);

  auto nth = config_->OpenNth(controller, 1);
  ASSERT_TRUE(nth);
  std::u16string value;
  EXPECT_TRUE(nth->GetValue("location.pathname.relative", value));
  EXPECT_EQ(value, u"disk.vhdx");
  EXPECT_EQ(config_->OpenNth(controller, 2), nullptr);
  // The remembered bare path still means the first controller.
  EXPECT_TRUE(config_->GetAttribute(controller, "location", value));
  EXPECT_EQ(value, u"0");

  Xml::Tag* adapter = config_->OpenTag("preferences.hardware.pci_bus.ide_adapter");
  ASSERT_EQ(adapter->Children.size(), 2u);
  EXPECT_EQ(adapter->Children[1]->Attributes["location"], u"1");
}

TEST_F(ConfigurationTest, ChangedTemplateKeepsWhatItDidNotAddress) {
  // Read back as it is, the template writes itself byte for byte...
  EXPECT_EQ(Flushed(), text_);
  // ...and as a new machine in the standard form.
  config_->ForgetSourceForm();
  config_->SetValue("preferences.hardware.memory.ram_size", u"256");
  config_->SetAttribute("preferences.hardware.pci_bus.scsi_adapter.scsi_controller", "id", u"0");
  config_->SetValue("preferences.hardware.zz_new", u"a  b\nc");
  const std::string written = Flushed();
  EXPECT_EQ(written.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(written.substr(3, Xml::kXmlDeclaration.size()), Xml::kXmlDeclaration);
  EXPECT_EQ(written.substr(written.size() - 2), "\r\n");

  ConfigurationParserImpl back(written);
  const Xml::Tag& hardware = *back.OpenTag("preferences.hardware");
  std::vector<std::string> names;
  for (const auto& child : hardware.Children) names.push_back(child->Name);
  EXPECT_EQ(names, (std::vector<std::string>{"firmware", "memory", "pci_bus", "zz_new"}));
  std::u16string value;
  EXPECT_TRUE(back.GetValue("preferences.hardware.firmware.value", value));
  EXPECT_EQ(value, u"bios");
  EXPECT_TRUE(back.GetAttribute("preferences.hardware.firmware.value", "type", value));
  EXPECT_EQ(value, u"string");
  EXPECT_TRUE(back.GetValue("preferences.hardware.memory.ram_size", value));
  EXPECT_EQ(value, u"256");
  EXPECT_TRUE(back.GetValue("preferences.hardware.zz_new", value));
  EXPECT_EQ(value, u"a  b\nc");
  EXPECT_TRUE(back.OpenTag("preferences.hardware.pci_bus.scsi_adapter.scsi_controller"));
  // Written again unchanged, the file is the same.
  Xml::StringOutput again;
  back.FlushTo(again, true);
  EXPECT_EQ(again.text, written);
}

TEST(Configuration, CreatesTheRootOnFirstWrite) {
  ConfigurationParserImpl config;
  Xml::StringOutput nothing;
  config.FlushTo(nothing, true);
  EXPECT_EQ(nothing.text, "");
  std::u16string value;
  EXPECT_FALSE(config.GetValue("preferences.hardware.memory.ram_size", value));
  config.SetValue("preferences.hardware.memory.ram_size", u"64");
  ASSERT_TRUE(config.rootTag());
  EXPECT_EQ(config.rootTag()->Name, "preferences");
  EXPECT_TRUE(config.GetValue("preferences.hardware.memory.ram_size", value));
  EXPECT_EQ(value, u"64");

  Common::Error error = Thrown([&] { config.SetValue("machine.memory", u"1"); });
  EXPECT_EQ(error.Code(), Code::kConfigurationError);
  EXPECT_EQ(Common::FormatErrorMessage(error),
            u"The specified configuration root is 'machine' but the following one was expected: 'preferences'.");
  EXPECT_STREQ(error.Function(), "CreateTag");
}

TEST(Configuration, RefusesEmptyPathsAndUnsupportedOperations) {
  ConfigurationParserImpl config("<preferences/>");
  for (const char* path : {"", "preferences..x", "preferences.", ".x"}) {
    Common::Error error = Thrown([&] { config.SetValue(path, u"1"); });
    EXPECT_EQ(error.Message(), MessageOf(Msg::kInvalidConfigPath)) << path;
    EXPECT_EQ(std::u16string(error.GetWide("path")), Xml::ToUtf16(path));
  }
  std::u16string value;
  EXPECT_STREQ(Thrown([&] { config.GetValue("", value); }).Function(), "OpenTag");

  Common::Error error = Thrown([&] { config.RemoveValue("preferences"); });
  EXPECT_EQ(error.Code(), Code::kConfigurationError);
  EXPECT_EQ(Common::FormatErrorMessage(error), u"RemoveValue Not supported yet.");

  auto view = config.Open("preferences.a", "", u"", true);
  auto* impl = dynamic_cast<ConfigurationImpl*>(view.get());
  ASSERT_TRUE(impl);
  EXPECT_FALSE(impl->IsDocumentRoot());
  EXPECT_TRUE(config.IsDocumentRoot());
  error = Thrown([&] { impl->CreateRoot("x"); });
  EXPECT_EQ(Common::FormatErrorMessage(error), u"Unable to create root in child element.");
}

TEST(Configuration, RemovesAndMovesElements) {
  ConfigurationParserImpl config("<r><a>1</a> <b>2</b> <c/></r>");
  config.Open("r.b", "", u"", false)->Remove();
  EXPECT_EQ(Xml::Segments(*config.rootTag()), (Xml::TextSegments{u"", u"", u""}));
  std::u16string value;
  EXPECT_FALSE(config.GetValue("r.b", value));

  // A separate document moved in as a child; the document is left empty.
  ConfigurationParserImpl part;
  part.SetValue("location.pathname.absolute", u"/d.vhdx");
  auto c = config.Open("r.c", "", u"", false);
  c->AddChild(part);
  EXPECT_EQ(part.rootTag(), nullptr);
  EXPECT_TRUE(config.GetValue("r.c.location.pathname.absolute", value));
  EXPECT_EQ(value, u"/d.vhdx");

  // A view moved within its document keeps viewing the element.
  auto a = config.Open("r.a", "", u"", false);
  EXPECT_EQ(Thrown([&] { a->AddChild(config); }).Message(), MessageOf(Msg::kConfigAddIntoItself));
  c->AddChild(*a);
  a->SetValue("x", u"y");
  EXPECT_TRUE(config.GetValue("r.c.a.x", value));
  EXPECT_FALSE(config.GetValue("r.a", value));
}

TEST(Configuration, ReportsWhereParsingStopped) {
  Common::Error error = Thrown([] { ConfigurationParserImpl("<preferences>\n  <a></b>\n</preferences>"); });
  EXPECT_EQ(error.Code(), Code::kConfigurationError);
  EXPECT_EQ(error.Message(), MessageOf(Msg::kParseConfigFailed));
  EXPECT_STREQ(error.Function(), "ConfigurationParserImpl");
  EXPECT_STREQ(error.ArgumentNames(), "line,column,$module");
  EXPECT_EQ(std::u16string(error.GetWide("line")), u"2");
  EXPECT_EQ(std::u16string(error.GetWide("column")), u"8");
  EXPECT_EQ(error.Cause().Message(), MessageOf(Msg::kXmlMismatchedEndTag));

  error = Thrown([] { ConfigurationParserImpl("BXML\x01\x01"); });
  EXPECT_EQ(error.Cause().Code(), Code::kEndOfFile);
}

// Hands out its text in small pieces, then fails if asked to.
class PieceInput final : public Xml::XmlInput {
 public:
  PieceInput(std::string text, bool fail) : text_(std::move(text)), fail_(fail) {}
  size_t Read(void* buffer, size_t size) override {
    if (text_.empty() && fail_) HV_THROW(Code::kFileRead, Msg::kFileReadError, "Read");
    size = std::min<size_t>({size, 3, text_.size()});
    text_.copy(static_cast<char*>(buffer), size);
    text_.erase(0, size);
    return size;
  }

 private:
  std::string text_;
  bool fail_;
};

TEST(Configuration, LoadsFromAnInputAndReportsItsFailure) {
  PieceInput good("<preferences><a>x</a></preferences>", false);
  ConfigurationParserImpl config(good);
  std::u16string value;
  EXPECT_TRUE(config.GetValue("preferences.a", value));
  EXPECT_EQ(value, u"x");

  PieceInput bad("<preferences>", true);
  Common::Error error = Thrown([&] { ConfigurationParserImpl failing(bad); });
  EXPECT_EQ(error.Message(), MessageOf(Msg::kParseConfigFailed));
  EXPECT_EQ(error.Cause().Code(), Code::kFileRead);
}

}  // namespace
}  // namespace VirtualWareRaw
