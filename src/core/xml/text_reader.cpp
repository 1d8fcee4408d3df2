#include "core/xml/text_reader.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/xml/tag.h"
#include "core/xml/xml_text.h"

namespace Xml {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct OpenElement {
  std::string_view name;
  bool preserve;
  bool children = false;  // a child element or comment was read
};

// For decoding source markup again, where nobody listens.
class NoSink final : public xml_reader_interface {
 public:
  void StartDocument() override {}
  void EndDocument() override {}
  void StartTag(const std::string&) override {}
  void EndTag() override {}
  void Attribute(const std::string&, const std::u16string&) override {}
  void Text(const std::u16string&) override {}
  void FurtherItem(const std::string&) override {}
};

// One pass over the bytes with an explicit stack of open elements; nothing
// here recurses on the document.
class TextReader {
 public:
  TextReader(std::string_view text, xml_reader_interface& sink) : text_(text), sink_(sink) {}

  void Run() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    const size_t prolog = pos_;
    SkipMisc();
    if (AtEnd() || Peek() != '<' || pos_ + 1 >= text_.size() ||
        !IsNameStart(static_cast<unsigned char>(text_[pos_ + 1]))) {
      Fail(Msg::kXmlNotADocument);
    }
    sink_.StartDocument();
    sink_.SourceProlog(text_.substr(prolog, pos_ - prolog));
    ReadStartTag(false);
    while (!stack_.empty()) ReadContent();
    const size_t epilog = pos_;
    SkipMisc();
    if (!AtEnd()) Fail(Msg::kXmlTrailingContent);
    sink_.SourceEpilog(text_.substr(epilog));
    sink_.EndDocument();
  }

  size_t Offset() const { return pos_; }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return text_[pos_]; }
  bool LooksAt(std::string_view what) const { return text_.substr(pos_, what.size()) == what; }

  [[noreturn]] void Fail(Common::MessageId message) { HV_THROW(Code::kXmlFormatError, message, "ReadTextXml"); }
  [[noreturn]] void Fail(Common::MessageId message, std::string_view argument) {
    std::u16string value = ToUtf16(argument.substr(0, 200));
    HV_THROW_ARGS(Code::kXmlFormatError, message, "ReadTextXml", "value", {value});
  }

  void SkipSpaces() {
    while (!AtEnd() && IsSpace(Peek())) ++pos_;
  }

  // Moves past the next `terminator`, or fails at the end of the text.
  void SkipPast(std::string_view terminator) {
    size_t end = text_.find(terminator, pos_);
    if (end == std::string_view::npos) {
      pos_ = text_.size();
      Fail(Msg::kXmlUnclosedMarkup);
    }
    pos_ = end + terminator.size();
  }

  // Document type declaration: skipped, including an internal subset.
  void SkipDoctype() {
    int brackets = 0;
    char quote = 0;
    for (; !AtEnd(); ++pos_) {
      char c = Peek();
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++brackets;
      } else if (c == ']') {
        --brackets;
      } else if (c == '>' && brackets <= 0) {
        ++pos_;
        return;
      }
    }
    Fail(Msg::kXmlUnclosedMarkup);
  }

  // Whitespace, comments, processing instructions and declarations outside
  // the root element.
  void SkipMisc() {
    for (;;) {
      SkipSpaces();
      if (LooksAt("<?")) {
        SkipPast("?>");
      } else if (LooksAt("<!--")) {
        pos_ += 4;
        SkipPast("-->");
      } else if (LooksAt("<!DOCTYPE")) {
        SkipDoctype();
      } else {
        return;
      }
    }
  }

  std::string_view ReadName() {
    size_t start = pos_;
    if (AtEnd() || !IsNameStart(static_cast<unsigned char>(Peek()))) Fail(Msg::kXmlNameExpected);
    while (!AtEnd() && IsNameChar(static_cast<unsigned char>(Peek()))) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // After '&': a character or entity reference up to ';'.
  void ReadReference(std::u16string& out) {
    size_t start = pos_;
    size_t end = text_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) Fail(Msg::kXmlBadReference, text_.substr(start, 12));
    std::string_view body = text_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    if (body == "lt") return void(out += u'<');
    if (body == "gt") return void(out += u'>');
    if (body == "amp") return void(out += u'&');
    if (body == "quot") return void(out += u'"');
    if (body == "apos") return void(out += u'\'');
    if (body.size() >= 2 && body[0] == '#') {
      bool hex = body[1] == 'x';
      std::string_view digits = body.substr(hex ? 2 : 1);
      uint32_t value = 0;
      bool ok = !digits.empty();
      for (char c : digits) {
        uint32_t digit;
        if (c >= '0' && c <= '9')
          digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
          digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
          digit = c - 'A' + 10;
        else {
          ok = false;
          break;
        }
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF) {
          ok = false;
          break;
        }
      }
      // Every code unit is accepted, unpaired surrogates and U+0000 included:
      // the writer uses references for exactly what raw text cannot carry.
      if (ok) return AppendCodePoint(value, out);
    }
    pos_ = start;
    Fail(Msg::kXmlBadReference, text_.substr(start, end + 1 - start));
  }

  // A start tag (pos_ at '<'). Reports it and its attributes; an empty
  // element is closed at once.
  void ReadStartTag(bool preserveAround) {
    ++pos_;
    const std::string_view name = ReadName();
    EnterChild();
    sink_.StartTag(std::string(name));
    sink_.SourceName(name);
    bool preserve = preserveAround;
    attributeNames_.clear();
    for (;;) {
      size_t before = pos_;
      SkipSpaces();
      if (AtEnd()) Fail(Msg::kXmlUnexpectedEnd);
      if (Peek() == '>') {
        ++pos_;
        sink_.SourceTagEnd(text_.substr(before, pos_ - before), false);
        stack_.push_back({name, preserve});
        break;
      }
      if (LooksAt("/>")) {
        pos_ += 2;
        sink_.SourceTagEnd(text_.substr(before, pos_ - before), true);
        sink_.SourceText(text_.substr(pos_, 0), false, preserve);
        sink_.EndTag();
        break;
      }
      if (pos_ == before) Fail(Msg::kXmlMalformedTag, name);
      std::string_view attribute;
      std::u16string value;
      ReadAttribute(name, attribute, value);
      if (attribute == "xml:space" && value == u"preserve") preserve = true;
      attributeNames_.push_back(attribute);
      sink_.Attribute(std::string(attribute), value);
      sink_.SourceAttribute(text_.substr(before, pos_ - before));
    }
    CheckDuplicates();
  }

 public:
  // name="value" after the whitespace before it.
  void ReadAttribute(std::string_view tagName, std::string_view& attribute, std::u16string& value) {
    attribute = ReadName();
    SkipSpaces();
    if (AtEnd() || Peek() != '=') Fail(Msg::kXmlMalformedTag, tagName);
    ++pos_;
    SkipSpaces();
    ReadAttributeValue(tagName, value);
  }

  // The attributes in markup read before (see ParseSourceAttributes).
  void ReadAttributeMarkup(std::vector<RawAttribute>& out) {
    for (;;) {
      const size_t before = pos_;
      SkipSpaces();
      if (AtEnd()) return;
      RawAttribute attribute;
      ReadAttribute({}, attribute.name, attribute.value);
      attribute.raw = text_.substr(before, pos_ - before);
      out.push_back(std::move(attribute));
    }
  }

  // The value of a text segment read before (see DecodeSourceText).
  std::u16string DecodeSegment(bool preserve) {
    std::u16string text;
    bool content = false;
    bool lastSpace = false;
    ScanText(preserve, text, content, lastSpace);
    if (!content && !preserve) text.clear();
    return text;
  }

 private:
  // Counts an element or comment about to open below the current element.
  void EnterChild() {
    if (stack_.size() >= kMaxDepth) Fail(Msg::kXmlTooDeep, std::to_string(kMaxDepth));
    if (++elements_ > kMaxElements) Fail(Msg::kXmlTooManyElements, std::to_string(kMaxElements));
    if (!stack_.empty()) stack_.back().children = true;
  }

  // A comment is kept as an element named "!--" whose text is what lies
  // between "<!--" and "-->", less the one space the writer puts before
  // "-->".
  void ReadComment() {
    const size_t start = pos_;
    EnterChild();
    pos_ += 4;
    SkipPast("-->");
    sink_.StartTag(std::string(kCommentName));
    const std::u16string value = CommentValue(text_.substr(start, pos_ - start));
    if (!value.empty()) sink_.Text(value);
    sink_.SourceComment(text_.substr(start, pos_ - start));
    sink_.EndTag();
  }

  void CheckDuplicates() {
    if (attributeNames_.size() < 2) return;
    std::sort(attributeNames_.begin(), attributeNames_.end());
    auto same = std::adjacent_find(attributeNames_.begin(), attributeNames_.end());
    if (same != attributeNames_.end()) Fail(Msg::kXmlDuplicateAttribute, *same);
  }

  void ReadAttributeValue(std::string_view tagName, std::u16string& value) {
    if (AtEnd() || (Peek() != '"' && Peek() != '\'')) Fail(Msg::kXmlMalformedTag, tagName);
    const char quote = text_[pos_++];
    bool lastSpace = false;
    for (;;) {
      size_t start = pos_;
      while (!AtEnd() && Peek() != quote && Peek() != '&' && Peek() != '<' && !IsSpace(Peek())) ++pos_;
      if (pos_ > start) {
        AppendUtf16(text_.substr(start, pos_ - start), value);
        lastSpace = false;
      }
      if (AtEnd()) Fail(Msg::kXmlUnexpectedEnd);
      char c = Peek();
      if (c == quote) {
        ++pos_;
        return;
      }
      if (c == '<') Fail(Msg::kXmlMalformedTag, tagName);
      if (c == '&') {
        ReadReference(value);
        lastSpace = false;
        continue;
      }
      ++pos_;
      if (!lastSpace) value += u' ';
      lastSpace = true;
    }
  }

  // Text, references, CDATA and instructions up to the next other markup
  // or the end of the text.
  void ScanText(bool preserve, std::u16string& text, bool& content, bool& lastSpace) {
    for (;;) {
      const size_t run = pos_;
      while (!AtEnd() && Peek() != '<' && Peek() != '&' && !IsSpace(Peek())) ++pos_;
      if (pos_ > run) {
        AppendUtf16(text_.substr(run, pos_ - run), text);
        content = true;
        lastSpace = false;
      }
      if (AtEnd()) return;
      char c = Peek();
      if (IsSpace(c)) {
        ++pos_;
        if (preserve) {
          text += static_cast<char16_t>(c);  // CR LF stays as written
        } else if (!lastSpace) {
          text += u' ';
          lastSpace = true;
        }
        continue;
      }
      if (c == '&') {
        ReadReference(text);
        content = true;
        lastSpace = false;
        continue;
      }
      // c == '<'
      if (LooksAt("<![CDATA[")) {
        pos_ += 9;
        size_t end = text_.find("]]>", pos_);
        if (end == std::string_view::npos) Fail(Msg::kXmlUnclosedMarkup);
        AppendUtf16(text_.substr(pos_, end - pos_), text);  // literally, CR LF too
        pos_ = end + 3;
        content = true;
        lastSpace = false;
      } else if (LooksAt("<?")) {
        SkipPast("?>");
      } else {
        return;
      }
    }
  }

  // Text and markup up to the next start or end tag of the current element.
  void ReadContent() {
    const bool preserve = stack_.back().preserve;
    const size_t start = pos_;
    std::u16string text;
    bool content = false;    // anything but whitespace written as is
    bool lastSpace = false;  // the text ends in a reduced run of whitespace
    ScanText(preserve, text, content, lastSpace);
    if (AtEnd()) Fail(Msg::kXmlUnexpectedEnd);
    if (LooksAt("<!--")) {
      EmitText(text, content, preserve, false, start);
      ReadComment();
    } else if (LooksAt("</")) {
      EmitText(text, content, preserve, true, start);
      ReadEndTag();
    } else if (pos_ + 1 < text_.size() && IsNameStart(static_cast<unsigned char>(text_[pos_ + 1]))) {
      EmitText(text, content, preserve, false, start);
      ReadStartTag(preserve);
    } else {
      Fail(Msg::kXmlUnexpectedMarkup, text_.substr(pos_, std::min<size_t>(9, text_.size() - pos_)));
    }
  }

  // Whitespace alone (reduced to one space) is layout beside children, and
  // the value " " of an element that has none. `start` is where the segment
  // began, so that its markup is reported as read.
  void EmitText(std::u16string& text, bool content, bool preserve, bool closing, size_t start) {
    const bool blank = !content && !preserve && text == u" ";
    if (!content && !preserve && !(blank && closing && !stack_.back().children)) text.clear();
    if (!text.empty()) sink_.Text(text);
    sink_.SourceText(text_.substr(start, pos_ - start), blank, preserve);
  }

  void ReadEndTag() {
    const size_t start = pos_;
    pos_ += 2;
    size_t nameStart = pos_;
    std::string_view name = ReadName();
    if (name != stack_.back().name) {
      pos_ = nameStart;
      std::u16string closing = ToUtf16(name.substr(0, 200));
      std::u16string open = ToUtf16(stack_.back().name.substr(0, 200));
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlMismatchedEndTag, "ReadTextXml", "closing,open", {closing, open});
    }
    SkipSpaces();
    if (AtEnd()) Fail(Msg::kXmlUnexpectedEnd);
    if (Peek() != '>') Fail(Msg::kXmlMalformedTag, name);
    ++pos_;
    stack_.pop_back();
    sink_.SourceEndTag(text_.substr(start, pos_ - start));
    sink_.EndTag();
  }

  std::string_view text_;
  xml_reader_interface& sink_;
  size_t pos_ = 0;
  size_t elements_ = 0;
  std::vector<OpenElement> stack_;
  std::vector<std::string_view> attributeNames_;
};

}  // namespace

void ReadTextXml(std::string_view text, xml_reader_interface& sink, size_t& stopped) {
  TextReader reader(text, sink);
  RunToEnd(reader, stopped);
}

std::u16string DecodeSourceText(std::string_view raw, bool preserve) {
  NoSink sink;
  return TextReader(raw, sink).DecodeSegment(preserve);
}

std::vector<RawAttribute> ParseSourceAttributes(std::string_view markup) {
  NoSink sink;
  std::vector<RawAttribute> attributes;
  TextReader(markup, sink).ReadAttributeMarkup(attributes);
  return attributes;
}

std::u16string CommentValue(std::string_view markup) {
  std::string_view body = markup.substr(4, markup.size() - 7);
  if (!body.empty() && body.back() == ' ') body.remove_suffix(1);
  return ToUtf16(body);
}

ReadPosition PositionOf(std::string_view text, size_t offset) {
  ReadPosition position;
  offset = std::min(offset, text.size());
  const size_t first = text.substr(0, 3) == "\xEF\xBB\xBF" ? std::min<size_t>(3, offset) : 0;
  for (size_t i = first; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++position.line;
      position.column = 1;
    } else if (c != '\r' && (c & 0xC0) != 0x80) {
      ++position.column;
    }
  }
  return position;
}

}  // namespace Xml
