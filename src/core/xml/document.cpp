#include "core/xml/document.h"

#include "core/common/error.h"
#include "core/xml/binary_reader.h"
#include "core/xml/bxml_reader.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_text.h"

namespace Xml {

std::string TranscodeUtf16(std::string_view data) {
  const bool little = data.substr(0, 2) == "\xFF\xFE";
  const bool big = data.substr(0, 2) == "\xFE\xFF";
  if (!little && !big) return std::string(data);
  if (data.size() % 2) HV_THROW(Code::kXmlFormatError, Msg::kXmlOddUtf16, "TranscodeUtf16");
  std::u16string units;
  units.reserve(data.size() / 2 - 1);
  for (size_t i = 2; i < data.size(); i += 2) {
    const auto a = static_cast<unsigned char>(data[i]);
    const auto b = static_cast<unsigned char>(data[i + 1]);
    units += static_cast<char16_t>(little ? a | (b << 8) : (a << 8) | b);
  }
  return ToUtf8(units);
}

namespace {

// `kept` is data's text form (data itself unless it was UTF-16); the tree
// keeps it for its source form.
std::unique_ptr<Tag> LoadText(std::string_view data, std::string kept, ReadPosition& where) {
  binary_reader builder;
  size_t stopped = 0;
  boost::intrusive_ptr<SourceDocumentText> text(new SourceDocumentText(std::move(kept)));
  const std::string_view transcoded = text->text;
  DocumentSource& document = text->document;
  // As TranscodeUtf16 decided.
  const std::string_view mark = data.substr(0, 2);
  document.encoding = mark == "\xFF\xFE"   ? SourceEncoding::kUtf16Le
                      : mark == "\xFE\xFF" ? SourceEncoding::kUtf16Be
                                           : SourceEncoding::kUtf8;
  document.byteOrderMark = transcoded.substr(0, 3) == "\xEF\xBB\xBF";
  builder.KeepSource(text);
  try {
    ReadTextXml(transcoded, builder, stopped);
  } catch (...) {
    where = PositionOf(transcoded, stopped);
    throw;
  }
  where = PositionOf(transcoded, stopped);
  return builder.TakeRoot();
}

bool IsUtf16(std::string_view data) { return data.substr(0, 2) == "\xFF\xFE" || data.substr(0, 2) == "\xFE\xFF"; }

}  // namespace

std::unique_ptr<Tag> LoadDocument(std::string_view data, ReadPosition& where) {
  where = ReadPosition();
  CheckDocumentSize(data.size(), kMaxDocumentSize);
  if (data.substr(0, kBinarySignature.size()) == kBinarySignature) {
    binary_reader builder;
    size_t stopped = 0;
    try {
      ReadBinaryXml(data, builder, stopped);
    } catch (...) {
      where.column = static_cast<uint32_t>(stopped + 1);
      throw;
    }
    where.column = static_cast<uint32_t>(stopped + 1);
    return builder.TakeRoot();
  }
  return LoadText(data, TranscodeUtf16(data), where);
}

std::unique_ptr<Tag> LoadDocument(XmlInput& input, ReadPosition& where) {
  where = ReadPosition();
  std::string data = ReadAll(input, kMaxDocumentSize);
  if (data.substr(0, kBinarySignature.size()) == kBinarySignature || IsUtf16(data)) return LoadDocument(data, where);
  // UTF-8 text is kept as read, without a copy (no UTF-16 mark to look at).
  return LoadText({}, std::move(data), where);
}

void WriteDocument(const Tag& root, XmlOutput& output, unsigned flags) { WriteTextXml(root, output, flags); }

}  // namespace Xml
