// Configurations over tag trees: ConfigurationParserImpl owns a document,
// ConfigurationImpl views one element of a document it does not own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/xml/tag.h"
#include "core/xml/xml_stream.h"
#include "hvplug/configuration.h"

class i_file;

namespace VirtualWareRaw {

inline constexpr uint32_t kConfigurationError = 0x53000c;

// Shared by a document and the views made from it. Detaching an element
// changes the generation, so that a remembered look-up is not trusted after.
struct ConfigurationShape {
  uint64_t generation = 0;
};

class ConfigurationImpl : public virtual Configuration {
 public:
  ConfigurationImpl(Xml::Tag* tag, std::shared_ptr<ConfigurationShape> shape);

  void AddChild(Configuration& other) override;
  std::unique_ptr<Configuration> OpenNth(const std::string& path, uint32_t index) override;
  std::unique_ptr<Configuration> Open(const std::string& path, const std::string& attribute,
                                      const std::u16string& value, bool create) override;
  void GetText(std::u16string& text) override;
  void SetValue(const std::string& path, const std::u16string& text) override;
  void SetAttribute(const std::string& name, const std::u16string& value) override;
  void SetAttribute(const std::string& path, const std::string& name, const std::u16string& value) override;
  bool GetValue(const std::string& path, std::u16string& text) override;
  bool GetAttribute(const std::string& path, const std::string& name, std::u16string& value) override;
  void RemoveValue(const std::string& path) override;
  void Remove() override;

  virtual bool IsDocumentRoot() const { return false; }
  virtual void CreateRoot(const std::string& name);

  // Null when the path leads nowhere; an empty path throws. An empty
  // attribute name selects by name alone.
  Xml::Tag* OpenTag(const std::string& path, const std::string& attribute = {}, const std::u16string& value = {});
  Xml::Tag* CreateTag(const std::string& path, const std::string& attribute = {}, const std::u16string& value = {});

  Xml::Tag* GetTag() const { return tag_; }

 protected:
  Xml::Tag* tag_;
  std::shared_ptr<ConfigurationShape> shape_;

 private:
  std::vector<std::string_view> SplitPath(const std::string& path, const char* function) const;
  Xml::Tag* Remembered(const std::string& path, const std::string& attribute) const;
  void Remember(const std::string& path, const std::string& attribute, Xml::Tag* tag);
  std::unique_ptr<Configuration> View(Xml::Tag* tag) const;
  Xml::Tag& RequireTag(const char* function) const;
  // Takes this configuration's element out of wherever it is held.
  std::unique_ptr<Xml::Tag> Detach();
  void Forget() { lastTag_ = nullptr, lastPath_.clear(); }

  std::string lastPath_;
  Xml::Tag* lastTag_ = nullptr;
  uint64_t lastGeneration_ = 0;
};

class ConfigurationParserImpl : public ConfigurationParser, public ConfigurationImpl {
 public:
  // An empty document.
  ConfigurationParserImpl();
  // Loads text or binary XML; a malformed document throws 0x53000c with the
  // line and column where reading stopped and the reader's error as cause.
  explicit ConfigurationParserImpl(std::string_view data);
  explicit ConfigurationParserImpl(Xml::XmlInput& input);
  explicit ConfigurationParserImpl(i_file& file);

  bool IsDocumentRoot() const override { return true; }
  void CreateRoot(const std::string& name) override;
  bool Flush(o_file& file, bool byteOrderMark) override;
  // Writes the document; a document without a root writes nothing. Throws on
  // failure. A document read from text is written back as it was read: in
  // its encoding (UTF-16 keeps its byte order and mark; UTF-8 gets the byte
  // order mark when asked), with its declaration, comments, layout and every
  // value, attribute and tag nobody changed byte for byte; new elements
  // follow its indentation. Any other document (built here, read from binary
  // XML, or after ForgetSourceForm) is written as compact UTF-8 text XML with
  // the standard declaration, the byte order mark first when asked.
  void FlushTo(Xml::XmlOutput& output, bool byteOrderMark) const;
  // Makes the document write as a new one from now on, as a machine made
  // from a template is.
  void ForgetSourceForm();

  Xml::Tag* rootTag() const { return root_.get(); }
  std::unique_ptr<Xml::Tag> TakeRoot();

 private:
  friend class ConfigurationImpl;
  void Load(std::string_view data);
  void LoadFrom(Xml::XmlInput& input);
  std::unique_ptr<Xml::Tag> root_;
};

}  // namespace VirtualWareRaw
