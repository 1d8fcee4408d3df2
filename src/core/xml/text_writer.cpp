#include "core/xml/text_writer.h"

#include <vector>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/xml/bxml_writer.h"
#include "core/xml/xml_text.h"

namespace Xml {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

// Whether text[i] can stand in an XML document: tab, line feed and
// characters from U+0020 up, without unpaired surrogates, U+FFFE and U+FFFF.
// `width` receives 2 for a surrogate pair.
bool IsXmlChar(std::u16string_view text, size_t i, size_t& width) {
  const char16_t c = text[i];
  width = 1;
  if (IsHighSurrogate(c)) {
    if (i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      width = 2;
      return true;
    }
    return false;
  }
  if (IsLowSurrogate(c)) return false;
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

 private:
  // Refuses what would not read back, before a byte is written.
  static void Check(const Tag& root) {
    std::vector<std::pair<const Tag*, size_t>> pending{{&root, 1}};
    size_t count = 0;
    while (!pending.empty()) {
      auto [tag, depth] = pending.back();
      pending.pop_back();
      if (depth > kMaxDepth) {
        HV_THROW_ARGS(kXmlFormatError, Msg::kXmlTooDeep, "WriteTextXml", "depth", {ToUtf16(std::to_string(kMaxDepth))});
      }
      if (++count > kMaxElements) {
        HV_THROW_ARGS(kXmlFormatError, Msg::kXmlTooManyElements, "WriteTextXml", "count",
                      {ToUtf16(std::to_string(kMaxElements))});
      }
      if (!HoldsInvariant(*tag)) {
        HV_ASSERT(tag->Text.size() == (tag->Children.size() + 1));
        HV_THROW_ARGS(kXmlFormatError, Msg::kXmlBrokenTree, "WriteTextXml", "name", {ToUtf16(tag->Name)});
      }
      // A comment is no root: the document would hold no element to read.
      if (tag->Name == kCommentName && depth > 1) continue;
      CheckName(tag->Name);
      for (const auto& attribute : tag->Attributes) CheckName(attribute.first);
      for (const auto& child : tag->Children) pending.emplace_back(child.get(), depth + 1);
    }
  }

  static void CheckName(const std::string& name) {
    if (!IsValidName(name)) {
      HV_THROW_ARGS(kXmlFormatError, Msg::kXmlInvalidName, "WriteTextXml", "name", {ToUtf16(name)});
    }
  }

  void Indent(size_t level) {
    out_ += "\r\n";
    out_.append(level, '\t');
  }

  void Comment(const Tag& tag) {
    std::u16string text;
    for (const auto& segment : tag.Text) text += segment;
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
    out_ += '<';
    out_ += kCommentName;
    AppendUtf8(safe, out_);
    out_ += " -->";
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
    for (size_t i = 0; i < tag.Children.size(); ++i) {
      EscapeText(tag.Text[i], false, out_);
      if (layout && tag.Text[i].empty()) Indent(level + 1);
      Element(*tag.Children[i], level + 1, preserve);
      if (out_.size() >= kFlushSize) {
        WriteAll(output_, out_);
        out_.clear();
      }
    }
    EscapeText(tag.Text.back(), false, out_);
    if (layout && !tag.Children.empty() && tag.Text.back().empty()) Indent(level);
    out_ += "</";
    out_ += tag.Name;
    out_ += '>';
  }

  static constexpr size_t kFlushSize = 64 * 1024;
  XmlOutput& output_;
  const bool indented_;
  std::string out_;
};

}  // namespace

void EscapeText(std::u16string_view text, bool attribute, std::string& out) {
  if (!attribute && FitsCdata(text)) {
    out += "<![CDATA[";
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != u'\n') continue;
      AppendUtf8(text.substr(start, i - start), out);
      out += "\r\n";
      start = i + 1;
    }
    AppendUtf8(text.substr(start), out);
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
    } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(text.substr(i, 2), out);
      ++i;
      afterPlain = true;
    } else if (c < 0x21 || IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0xFFFD) {
      AppendReference(c, out);
    } else {
      AppendCodePointUtf8(c, out);
      afterPlain = true;
    }
  }
}

void WriteTextXml(const Tag& root, XmlOutput& output, unsigned flags) {
  if (flags & kWriteBinary) return WriteBinaryXml(root, output);
  TextWriter(output, flags).Document(root, flags);
}

std::string TextXmlString(const Tag& root, unsigned flags) {
  StringOutput output;
  WriteTextXml(root, output, flags);
  return std::move(output.text);
}

}  // namespace Xml
