#include "core/xml/bxml_writer.h"

#include <unordered_map>
#include <vector>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/xml/bxml_reader.h"
#include "core/xml/write_check.h"
#include "core/xml/xml_text.h"

namespace Xml {
namespace {

class BinaryWriter {
 public:
  explicit BinaryWriter(XmlOutput& output) : output_(output) {}

  void Document(const Tag& root) {
    out_ += kBinarySignature;
    out_ += '\x01';
    out_ += '\x01';
    // Children are written between the texts of their parent (a child's
    // tail after it); the stack holds each open element and its next child.
    std::vector<std::pair<const Tag*, ChildList::const_iterator>> open;
    Head(root, open);
    while (!open.empty()) {
      auto& [tag, next] = open.back();
      if (next == tag->Children.end()) {
        const Tag* closed = tag;
        open.pop_back();
        if (!open.empty()) Text(closed->Tail);
        continue;
      }
      const Tag& child = **next++;
      Head(child, open);
      if (out_.size() >= kFlushSize) {
        WriteAll(output_, out_);
        out_.clear();
      }
    }
    WriteAll(output_, out_);
  }

 private:
  void Integer(uint32_t value) {
    while (value >= 0x80) {
      out_ += static_cast<char>(0x80 | (value & 0x7F));
      value >>= 7;
    }
    out_ += static_cast<char>(value);
  }

  void Bytes(std::string_view bytes) {
    Integer(static_cast<uint32_t>(bytes.size()));
    out_ += bytes;
  }

  void Text(const std::u16string& text) {
    scratch_.clear();
    AppendUtf8(text, scratch_);
    Bytes(scratch_);
  }

  // Ids are given in order of first use; a known name is its id alone.
  void Name(const std::string& name) {
    auto [found, added] = ids_.emplace(name, static_cast<uint32_t>(ids_.size()));
    Integer(found->second);
    if (added) Bytes(name);
  }

  // Name, attributes, text count and first text; the element stays open.
  void Head(const Tag& tag, std::vector<std::pair<const Tag*, ChildList::const_iterator>>& open) {
    Name(tag.Name);
    out_ += static_cast<char>(tag.Attributes.size());
    for (const auto& [name, value] : tag.Attributes) {
      Name(name);
      Text(value);
    }
    Integer(static_cast<uint32_t>(tag.Children.size() + 1));
    Text(tag.Text);
    open.emplace_back(&tag, tag.Children.begin());
  }

  static constexpr size_t kFlushSize = 64 * 1024;
  XmlOutput& output_;
  std::string out_;
  std::string scratch_;
  std::unordered_map<std::string, uint32_t> ids_;
};

// Refuses what the format or the reader could not take, before writing.
void Check(const Tag& root) {
  CheckBeforeWriting(root, "WriteBinaryXml", [](const Tag& tag, size_t) {
    if (tag.Attributes.size() > 255) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlTooManyAttributes, "WriteBinaryXml", "name", {ToUtf16(tag.Name)});
    }
    return true;
  });
}

}  // namespace

void WriteBinaryXml(const Tag& root, XmlOutput& output) {
  Check(root);
  BinaryWriter(output).Document(root);
}

std::string BinaryXmlString(const Tag& root) {
  StringOutput output;
  WriteBinaryXml(root, output);
  return std::move(output.text);
}

}  // namespace Xml
