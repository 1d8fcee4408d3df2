#include "virtual_pc/config/configuration.h"

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/xml/document.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_text.h"

namespace VirtualWareRaw {

using Xml::Tag;

ConfigurationImpl::ConfigurationImpl(Tag* tag, std::shared_ptr<ConfigurationShape> shape)
    : tag_(tag), shape_(std::move(shape)) {}

std::vector<std::string_view> ConfigurationImpl::SplitPath(const std::string& path, const char* function) const {
  std::vector<std::string_view> names;
  std::string_view rest = path;
  while (!rest.empty()) {
    const size_t dot = rest.find('.');
    names.push_back(rest.substr(0, dot));
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
    // A trailing dot leaves an empty last name.
    if (rest.empty()) names.emplace_back();
  }
  bool empty = names.empty();
  for (auto name : names) empty = empty || name.empty();
  if (empty) {
    HV_THROW_ARGS(Code::kConfigurationError, Msg::kInvalidConfigPath, function, "path", {Xml::ToUtf16(path)});
  }
  return names;
}

Tag* ConfigurationImpl::Remembered(const std::string& path, const std::string& attribute) const {
  if (!attribute.empty() || !lastTag_ || lastGeneration_ != shape_->generation || path != lastPath_) {
    return nullptr;
  }
  return lastTag_;
}

void ConfigurationImpl::Remember(const std::string& path, const std::string& attribute, Tag* tag) {
  // A selection by attribute is not what the bare path names.
  if (!attribute.empty() || !tag) return Forget();
  lastPath_ = path;
  lastTag_ = tag;
  lastGeneration_ = shape_->generation;
}

namespace {

Tag* FirstChild(Tag& parent, std::string_view name) {
  for (auto& child : parent.Children) {
    if (child->Name == name) return child.get();
  }
  return nullptr;
}

Tag* FirstChildWith(Tag& parent, std::string_view name, const std::string& attribute, const std::u16string& value) {
  if (attribute.empty()) return FirstChild(parent, name);
  for (auto& child : parent.Children) {
    if (child->Name != name) continue;
    auto found = child->Attributes.find(attribute);
    if (found != child->Attributes.end() && found->second == value) return child.get();
  }
  return nullptr;
}

}  // namespace

Tag* ConfigurationImpl::OpenTag(const std::string& path, const std::string& attribute, const std::u16string& value) {
  if (Tag* known = Remembered(path, attribute)) return known;
  auto names = SplitPath(path, "OpenTag");
  if (!tag_) return nullptr;
  size_t first = 0;
  if (IsDocumentRoot()) {
    if (names[0] != tag_->Name) return nullptr;
    first = 1;
  }
  Tag* at = tag_;
  if (first == names.size()) {
    // The path names the document's root itself.
    if (!attribute.empty()) {
      auto found = at->Attributes.find(attribute);
      if (found == at->Attributes.end() || found->second != value) return nullptr;
    }
  } else {
    for (size_t i = first; at && i + 1 < names.size(); ++i) at = FirstChild(*at, names[i]);
    if (at) at = FirstChildWith(*at, names.back(), attribute, value);
  }
  if (at) Remember(path, attribute, at);
  return at;
}

Tag* ConfigurationImpl::CreateTag(const std::string& path, const std::string& attribute, const std::u16string& value) {
  if (Tag* known = Remembered(path, attribute)) return known;
  auto names = SplitPath(path, "CreateTag");
  size_t first = 0;
  if (IsDocumentRoot()) {
    if (!tag_) {
      CreateRoot(std::string(names[0]));
    } else if (names[0] != tag_->Name) {
      HV_THROW_ARGS(Code::kConfigurationError, Msg::kUnexpectedConfigRoot, "CreateTag", "name,expected",
                    {Xml::ToUtf16(names[0]), Xml::ToUtf16(tag_->Name)});
    }
    first = 1;
  }
  Tag* at = &RequireTag("CreateTag");
  if (first == names.size()) {
    if (!attribute.empty()) {
      auto found = at->Attributes.find(attribute);
      if (found == at->Attributes.end())
        at->Attributes[attribute] = value;
      else if (found->second != value) {
        // The root cannot have a sibling that carries the wanted value.
        HV_THROW_ARGS(Code::kConfigurationError, Msg::kUnexpectedConfigRoot, "CreateTag", "name,expected",
                      {Xml::ToUtf16(names[0]), Xml::ToUtf16(tag_->Name)});
      }
    }
    Remember(path, attribute, at);
    return at;
  }
  for (size_t i = first; i + 1 < names.size(); ++i) {
    Tag* next = FirstChild(*at, names[i]);
    at = next ? next : Xml::AppendChild(*at, std::make_unique<Tag>(std::string(names[i])));
  }
  Tag* leaf = FirstChildWith(*at, names.back(), attribute, value);
  if (!leaf) {
    leaf = Xml::AppendChild(*at, std::make_unique<Tag>(std::string(names.back())));
    if (!attribute.empty()) leaf->Attributes[attribute] = value;
  }
  Remember(path, attribute, leaf);
  return leaf;
}

Tag& ConfigurationImpl::RequireTag(const char* function) const {
  if (!tag_) HV_THROW(Code::kConfigurationError, Msg::kConfigNoElement, function);
  return *tag_;
}

std::unique_ptr<Configuration> ConfigurationImpl::View(Tag* tag) const {
  if (!tag) return nullptr;
  return std::make_unique<ConfigurationImpl>(tag, shape_);
}

std::unique_ptr<Tag> ConfigurationImpl::Detach() {
  Tag& tag = RequireTag("AddChild");
  ++shape_->generation;
  if (tag.Parent) return Xml::RemoveChild(*tag.Parent, Xml::IndexInParent(tag));
  if (auto* document = dynamic_cast<ConfigurationParserImpl*>(this)) {
    tag_ = nullptr;
    Forget();
    return std::move(document->root_);
  }
  // A view of a root: the element belongs to a document this view cannot reach.
  HV_THROW(Code::kConfigurationError, Msg::kOperationNotSupported, "AddChild");
}

void ConfigurationImpl::AddChild(Configuration& other) {
  Tag& here = RequireTag("AddChild");
  auto* source = dynamic_cast<ConfigurationImpl*>(&other);
  if (!source) HV_THROW(Code::kConfigurationError, Msg::kOperationNotSupported, "AddChild");
  Tag& moving = source->RequireTag("AddChild");
  for (const Tag* at = &here; at; at = at->Parent) {
    if (at == &moving) HV_THROW(Code::kConfigurationError, Msg::kConfigAddIntoItself, "AddChild");
  }
  std::unique_ptr<Tag> child = source->Detach();
  Xml::AppendChild(here, std::move(child));
  ++shape_->generation;
  if (source->tag_) {
    // The view now looks into this document.
    source->shape_ = shape_;
    source->Forget();
  }
}

std::unique_ptr<Configuration> ConfigurationImpl::OpenNth(const std::string& path, uint32_t index) {
  Tag* tag = OpenTag(path);
  if (!tag) return nullptr;
  if (!tag->Parent) return index == 0 ? View(tag) : nullptr;
  for (auto& sibling : tag->Parent->Children) {
    if (sibling->Name == tag->Name && index-- == 0) return View(sibling.get());
  }
  return nullptr;
}

std::unique_ptr<Configuration> ConfigurationImpl::Open(const std::string& path, const std::string& attribute,
                                                       const std::u16string& value, bool create) {
  return View(create ? CreateTag(path, attribute, value) : OpenTag(path, attribute, value));
}

void ConfigurationImpl::GetText(std::u16string& text) { text = tag_ ? tag_->Text : std::u16string(); }

void ConfigurationImpl::SetValue(const std::string& path, const std::u16string& text) { CreateTag(path)->Text = text; }

void ConfigurationImpl::SetAttribute(const std::string& name, const std::u16string& value) {
  RequireTag("SetAttribute").Attributes[name] = value;
}

void ConfigurationImpl::SetAttribute(const std::string& path, const std::string& name, const std::u16string& value) {
  CreateTag(path)->Attributes[name] = value;
}

bool ConfigurationImpl::GetValue(const std::string& path, std::u16string& text) {
  Tag* tag = OpenTag(path);
  if (!tag) return false;
  text = tag->Text;
  return true;
}

bool ConfigurationImpl::GetAttribute(const std::string& path, const std::string& name, std::u16string& value) {
  Tag* tag = OpenTag(path);
  if (!tag) return false;
  auto found = tag->Attributes.find(name);
  if (found == tag->Attributes.end()) return false;
  value = found->second;
  return true;
}

void ConfigurationImpl::RemoveValue(const std::string&) {
  Common::Throw(
      Common::MakeNarrowError(Code::kConfigurationError, "RemoveValue Not supported yet.", HV_SITE("RemoveValue")));
}

void ConfigurationImpl::Remove() {
  if (!tag_) return;
  Tag* Root = tag_;
  HV_ASSERT(Root->Parent);
  if (!Root->Parent) return;
  ++shape_->generation;
  Xml::RemoveChild(*Root->Parent, Xml::IndexInParent(*Root));
  tag_ = nullptr;
  Forget();
}

void ConfigurationImpl::CreateRoot(const std::string&) {
  Common::Throw(Common::MakeNarrowError(Code::kConfigurationError, "Unable to create root in child element.",
                                        HV_SITE("CreateRoot")));
}

// --- documents --------------------------------------------------------------

ConfigurationParserImpl::ConfigurationParserImpl()
    : ConfigurationImpl(nullptr, std::make_shared<ConfigurationShape>()) {}

ConfigurationParserImpl::ConfigurationParserImpl(std::string_view data) : ConfigurationParserImpl() { Load(data); }

ConfigurationParserImpl::ConfigurationParserImpl(Xml::XmlInput& input) : ConfigurationParserImpl() { LoadFrom(input); }

void ConfigurationParserImpl::LoadFrom(Xml::XmlInput& input) {
  std::string data;
  try {
    data = Xml::ReadAll(input, Xml::kMaxDocumentSize);
  } catch (const Common::Error& error) {
    throw Common::Wrap(Common::MakeErrorWithArgs(Code::kConfigurationError, Msg::kParseConfigFailed,
                                                 HV_SITE("ConfigurationParserImpl"), "line,column", {u"1", u"1"}),
                       error);
  }
  Load(data);
}

void ConfigurationParserImpl::Load(std::string_view data) {
  Xml::ReadPosition where;
  try {
    root_ = Xml::LoadDocument(data, where);
  } catch (const Common::Error& error) {
    const std::u16string line = Xml::ToUtf16(std::to_string(where.line));
    const std::u16string column = Xml::ToUtf16(std::to_string(where.column));
    throw Common::Wrap(Common::MakeErrorWithArgs(Code::kConfigurationError, Msg::kParseConfigFailed,
                                                 HV_SITE("ConfigurationParserImpl"), "line,column", {line, column}),
                       error);
  }
  tag_ = root_.get();
}

void ConfigurationParserImpl::CreateRoot(const std::string& name) {
  HV_ASSERT(!name.empty());
  if (rootTag()) HV_ASSERT_TEXT("Parser.rootTag() == 0");
  if (name.empty() || rootTag()) return;
  root_ = std::make_unique<Tag>(name);
  tag_ = root_.get();
}

std::unique_ptr<Tag> ConfigurationParserImpl::TakeRoot() {
  ++shape_->generation;
  tag_ = nullptr;
  return std::move(root_);
}

void ConfigurationParserImpl::FlushTo(Xml::XmlOutput& output, bool byteOrderMark) const {
  if (!root_) return;
  Xml::WriteTextXml(*root_, output, Xml::kWriteSource | (byteOrderMark ? unsigned(Xml::kWriteByteOrderMark) : 0u));
}

void ConfigurationParserImpl::ForgetSourceForm() {
  if (root_) Xml::DropSource(*root_);
}

}  // namespace VirtualWareRaw
