#include "core/xml/text_writer.h"

#include <unicode/utf16.h>

#include <set>
#include <vector>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/xml/bxml_writer.h"
#include "core/xml/text_reader.h"
#include "core/xml/write_check.h"
#include "core/xml/xml_text.h"

namespace Xml {
namespace {

// Whether text[i] can stand in an XML document: tab, line feed and
// characters from U+0020 up, without unpaired surrogates, U+FFFE and U+FFFF.
// `width` receives 2 for a surrogate pair.
bool IsXmlChar(std::u16string_view text, size_t i, size_t& width) {
  const char16_t c = text[i];
  width = 1;
  if (U16_IS_LEAD(c)) {
    if (i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      width = 2;
      return true;
    }
    return false;
  }
  if (U16_IS_TRAIL(c)) return false;
  if (c < 0x20) return c == u'\t' || c == u'\n';
  return c < 0xFFFE;
}

bool FitsCdata(std::u16string_view text) {
  if (text.find(u'\n') == std::u16string_view::npos || text.find(u"]]>") != std::u16string_view::npos) {
    return false;
  }
  for (size_t i = 0, width; i < text.size(); i += width) {
    if (!IsXmlChar(text, i, width)) return false;
  }
  return true;
}

void AppendReference(uint32_t value, std::string& out) {
  out += "&#";
  out += std::to_string(value);
  out += ';';
}

class TextWriter {
 public:
  TextWriter(XmlOutput& output, unsigned flags) : output_(output), indented_(flags & kWriteIndented) {}

  void Document(const Tag& root, unsigned flags) {
    Check(root);
    if (flags & kWriteByteOrderMark) out_ += "\xEF\xBB\xBF";
    if (!(flags & kWriteNoDeclaration)) out_ += kXmlDeclaration;
    Element(root, 0, false);
    out_ += "\r\n";
    WriteAll(output_, out_);
  }

  // The document as it was read (root.Source->Document() is set); `bom` asks
  // for the UTF-8 byte order mark, which UTF-16 output always has.
  void SourceDocument(const Tag& root, const DocumentSource& document, bool bom) {
    Check(root);
    if (bom || document.byteOrderMark) out_ += "\xEF\xBB\xBF";
    out_ += document.prolog;
    FindLayout(root);
    SourceElement(root, std::string(), false);
    out_ += document.epilog;
    WriteAll(output_, out_);
  }

 private:
  // Refuses what would not read back, before a byte is written.
  static void Check(const Tag& root) {
    CheckBeforeWriting(root, "WriteTextXml", [](const Tag& tag, size_t depth) {
      // A comment is no root: the document would hold no element to read.
      if (tag.Name == kCommentName && depth > 1) return false;
      CheckName(tag.Name);
      for (const auto& attribute : tag.Attributes) CheckName(attribute.first);
      return true;
    });
  }

  static void CheckName(const std::string& name) {
    if (!IsValidName(name)) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlInvalidName, "WriteTextXml", "name", {ToUtf16(name)});
    }
  }

  void Indent(size_t level) {
    out_ += "\r\n";
    out_.append(level, '\t');
  }

  void Comment(const Tag& tag) {
    out_ += '<';
    out_ += kCommentName;
    AppendUtf8(CommentText(tag), out_);
    out_ += " -->";
  }

  static bool IsPreserve(const Tag& tag) {
    auto found = tag.Attributes.find("xml:space");
    return found != tag.Attributes.end() && found->second == u"preserve";
  }

  void Flush() {
    if (out_.size() < kFlushSize) return;
    WriteAll(output_, out_);
    out_.clear();
  }

  // --- writing back what was read ---------------------------------------

  static size_t LineBreak(std::string_view raw) { return raw.find_last_of("\r\n"); }

  static bool Blank(std::string_view raw) { return raw.find_first_not_of(" \t\r\n") == std::string_view::npos; }

  // Line end and indentation unit of new layout: those before the root's
  // first child, when the document has any.
  void FindLayout(const Tag& root) {
    if (!root.Source) return;
    const std::string_view raw = root.Source->Raw(root.Source->text);
    const size_t end = LineBreak(raw);
    if (end == std::string_view::npos || !Blank(raw)) return;
    lineEnd_ = raw[end] == '\r' ? "\r" : (end > 0 && raw[end - 1] == '\r' ? "\r\n" : "\n");
    unit_ = raw.substr(end + 1);
  }

  // Whether segment, read in tag's source, still reads as value.
  static bool Usable(const TagSource& source, const SourceText& segment, const Tag& tag, const std::u16string& value) {
    if (!segment.known) return false;
    if (segment.blank) return value == (tag.Children.empty() ? u" " : u"");
    return DecodeSourceText(source.Raw(segment), segment.preserve) == value;
  }

  void SourceStartTag(const Tag& tag, const TagSource& source, bool closed) {
    out_ += '<';
    out_ += tag.Name;
    size_t kept = 0;
    const std::vector<RawAttribute> attributes = ParseSourceAttributes(source.AttributeMarkup());
    for (const auto& attribute : attributes) {
      auto found = tag.Attributes.find(std::string(attribute.name));
      if (found == tag.Attributes.end()) continue;
      ++kept;
      if (found->second == attribute.value) {
        out_ += attribute.raw;
        continue;
      }
      out_ += attribute.raw.substr(0, attribute.raw.find_first_not_of(" \t\r\n"));
      Attribute(found->first, found->second);
    }
    if (kept < tag.Attributes.size()) {
      std::set<std::string_view> read;
      for (const auto& attribute : attributes) read.insert(attribute.name);
      for (const auto& [name, value] : tag.Attributes) {
        if (read.count(name)) continue;
        out_ += ' ';
        Attribute(name, value);
      }
    }
    const std::string_view tail = source.Tail();
    if (!source.empty || closed) {
      out_ += tail;
    } else {
      out_ += tail.substr(0, tail.size() - 2);  // "/>" of an element that now has content
      out_ += '>';
    }
  }

  void Attribute(const std::string& name, const std::u16string& value) {
    out_ += name;
    out_ += "=\"";
    EscapeText(value, true, out_);
    out_ += '"';
  }

  // Depth is bounded by Check. `indent` is the indentation of the line the
  // element starts on, for layout written around new content.
  void SourceElement(const Tag& tag, const std::string& indent, bool preserveAround) {
    const TagSource* source = tag.Source && tag.Source->Name() == tag.Name ? tag.Source : nullptr;
    if (tag.Name == kCommentName) {
      if (source && source->comment && tag.Attributes.empty() && tag.Children.empty() &&
          CommentValue(source->Tail()) == tag.Text) {
        out_ += source->Tail();
      } else {
        Comment(tag);
      }
      return;
    }
    const bool preserve = preserveAround || IsPreserve(tag);
    const bool closed = source && source->empty && tag.Children.empty() && tag.Text.empty();
    if (source) {
      SourceStartTag(tag, *source, closed);
    } else {
      out_ += '<';
      out_ += tag.Name;
      for (const auto& [name, value] : tag.Attributes) {
        out_ += ' ';
        Attribute(name, value);
      }
      out_ += '>';
    }
    if (closed) return;
    const std::string inner = indent + unit_;
    // Each segment: the text, then each child's tail.
    const std::u16string* value = &tag.Text;
    const SourceText* segment = source ? &source->text : nullptr;
    for (auto child = tag.Children.begin();; ++child) {
      const bool last = child == tag.Children.end();
      std::string childIndent = inner;
      if (segment && Usable(*source, *segment, tag, *value)) {
        const std::string_view raw = source->Raw(*segment);
        out_ += raw;
        const size_t end = LineBreak(raw);
        if (!last && segment->blank && end != std::string_view::npos) childIndent = raw.substr(end + 1);
      } else {
        EscapeText(*value, false, out_);
        if (lineEnd_ && !preserve && !tag.Children.empty() && value->empty()) {
          out_ += lineEnd_;
          out_ += last ? indent : inner;
        }
      }
      if (last) break;
      SourceElement(**child, childIndent, preserve);
      Flush();
      value = &(*child)->Tail;
      if (segment) segment = &(*child)->TailSource;
    }
    if (source && !source->empty) {
      out_ += source->EndTag();
    } else {
      out_ += "</";
      out_ += tag.Name;
      out_ += '>';
    }
  }

  // Depth is bounded by Check.
  void Element(const Tag& tag, size_t level, bool preserveAround) {
    if (tag.Name == kCommentName) return Comment(tag);
    out_ += '<';
    out_ += tag.Name;
    bool preserve = preserveAround;
    for (const auto& [name, value] : tag.Attributes) {
      out_ += ' ';
      out_ += name;
      out_ += "=\"";
      EscapeText(value, true, out_);
      out_ += '"';
      if (name == "xml:space" && value == u"preserve") preserve = true;
    }
    out_ += '>';
    // Layout goes only where there is no text, so that the reader, which
    // drops whitespace between tags, gets the same tree back.
    const bool layout = indented_ && !preserve;
    const std::u16string* value = &tag.Text;
    for (const auto& child : tag.Children) {
      EscapeText(*value, false, out_);
      if (layout && value->empty()) Indent(level + 1);
      Element(*child, level + 1, preserve);
      Flush();
      value = &child->Tail;
    }
    EscapeText(*value, false, out_);
    if (layout && !tag.Children.empty() && value->empty()) Indent(level);
    out_ += "</";
    out_ += tag.Name;
    out_ += '>';
  }

  static constexpr size_t kFlushSize = 64 * 1024;
  XmlOutput& output_;
  const bool indented_;
  std::string out_;
  const char* lineEnd_ = nullptr;  // null: the document has no layout to follow
  std::string unit_;
};

// Writes UTF-8 pieces as UTF-16 with a byte order mark; the writer hands
// over whole characters only (it flushes after a tag).
class Utf16Output final : public XmlOutput {
 public:
  Utf16Output(XmlOutput& inner, bool little) : inner_(inner), little_(little) {}
  size_t Write(const void* data, size_t size) override {
    units_.clear();
    if (!started_) units_ += u'\xFEFF';
    started_ = true;
    AppendUtf16(std::string_view(static_cast<const char*>(data), size), units_);
    bytes_.clear();
    for (char16_t unit : units_) {
      const char low = static_cast<char>(unit & 0xFF);
      const char high = static_cast<char>(unit >> 8);
      bytes_ += little_ ? low : high;
      bytes_ += little_ ? high : low;
    }
    WriteAll(inner_, bytes_);
    return size;
  }

 private:
  XmlOutput& inner_;
  const bool little_;
  bool started_ = false;
  std::u16string units_;
  std::string bytes_;
};

}  // namespace

std::u16string CommentText(const Tag& comment) {
  const std::u16string text = JoinedText(comment);
  std::u16string safe;
  for (size_t i = 0, width; i < text.size(); i += width) {
    if (!IsXmlChar(text, i, width)) {
      safe += u'\xFFFD';
      continue;
    }
    safe.append(text, i, width);
    // "--" may not occur inside a comment.
    if (text[i] == u'-' && i + 1 < text.size() && text[i + 1] == u'-') safe += u'\x200B';
  }
  return safe;
}

void EscapeText(std::u16string_view text, bool attribute, std::string& out) {
  if (!attribute && FitsCdata(text)) {
    // Line feeds stay as they are: readers take CDATA literally, so a line
    // feed written as CR LF would come back as a different value.
    out += "<![CDATA[";
    AppendUtf8(text, out);
    out += "]]>";
    return;
  }
  // A plain space survives reading only between two characters written as
  // they are; every other space becomes a reference.
  bool afterPlain = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u' ') {
      if (afterPlain && i + 1 < text.size()) {
        out += ' ';
      } else {
        AppendReference(32, out);
      }
      afterPlain = false;
      continue;
    }
    afterPlain = false;
    if (c == u'<') {
      out += "&lt;";
    } else if (c == u'&') {
      out += "&amp;";
    } else if (c == u'"' && attribute) {
      out += "&quot;";
    } else if (U16_IS_LEAD(c) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      AppendUtf8(text.substr(i, 2), out);
      ++i;
      afterPlain = true;
    } else if (c < 0x21 || U16_IS_SURROGATE(c) || c > 0xFFFD) {
      AppendReference(c, out);
    } else {
      Common::AppendCodePointUtf8(c, out);
      afterPlain = true;
    }
  }
}

void WriteTextXml(const Tag& root, XmlOutput& output, unsigned flags) {
  if (flags & kWriteBinary) return WriteBinaryXml(root, output);
  const DocumentSource* document = root.Source ? root.Source->Document() : nullptr;
  if (!(flags & kWriteSource) || !document) return TextWriter(output, flags).Document(root, flags);
  if (document->encoding == SourceEncoding::kUtf8) {
    return TextWriter(output, flags).SourceDocument(root, *document, flags & kWriteByteOrderMark);
  }
  Utf16Output wide(output, document->encoding == SourceEncoding::kUtf16Le);
  TextWriter(wide, flags).SourceDocument(root, *document, false);
}

std::string TextXmlString(const Tag& root, unsigned flags) {
  StringOutput output;
  WriteTextXml(root, output, flags);
  return std::move(output.text);
}

}  // namespace Xml
