#include "core/xml/bxml_reader.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/xml/tag.h"
#include "core/xml/xml_text.h"

namespace Xml {
namespace {

// A short read is the file layer's exact-read failure.
inline constexpr char kReadSource[] = "core/include/file/file";

class BinaryReader {
 public:
  BinaryReader(std::string_view data, xml_reader_interface& sink) : data_(data), sink_(sink) {}

  void Run() {
    Take(kBinarySignature.size());
    const auto header = Take(2);
    const auto version = static_cast<unsigned char>(header[0]);
    if (version != 1 && version != 2) {
      pos_ -= 2;
      std::u16string text = ToUtf16(std::to_string(version));
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlBinaryVersion, "ReadBinaryXml", "version", {text});
    }
    sink_.StartDocument();
    if (version == 1) {
      ReadVersion1();
    } else {
      ReadVersion2();
    }
    sink_.EndDocument();
  }

  size_t Offset() const { return pos_; }

 private:
  std::string_view Take(size_t size) {
    if (size > data_.size() - pos_) {
      pos_ = data_.size();
      const Common::ErrorSite site{Common::Detail::SourceSiteBase(kReadSource) + __LINE__, "Read", kReadSource,
                                   __LINE__};
      Common::Throw(Common::MakeError(Code::kEndOfFile, Msg::kFileEndReached, site));
    }
    std::string_view bytes = data_.substr(pos_, size);
    pos_ += size;
    return bytes;
  }

  // Little-endian groups of 7 bits; bit 7 says that another byte follows.
  uint32_t ReadInteger() {
    uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
      const auto byte = static_cast<unsigned char>(Take(1)[0]);
      value |= static_cast<uint64_t>(byte & 0x7F) << shift;
      if (value > 0xFFFFFFFFull) HV_THROW(Code::kXmlFormatError, Msg::kXmlBinaryBadInteger, "ReadInteger");
      if (!(byte & 0x80)) return static_cast<uint32_t>(value);
      if (shift >= 28) HV_THROW(Code::kXmlFormatError, Msg::kXmlBinaryBadInteger, "ReadInteger");
    }
  }

  // A name by reference: its id, followed on first use by length and bytes.
  // With `zeroEnds` (version 2) id 0 stands alone and ends a list.
  const std::string& ReadName(uint32_t& id, bool zeroEnds) {
    id = ReadInteger();
    if (zeroEnds && id == 0) return empty_;
    auto found = names_.find(id);
    if (found != names_.end()) return found->second;
    if (names_.size() >= kMaxElements) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlBinaryTooManyNames, "ReadBinaryXml", "count",
                    {ToUtf16(std::to_string(kMaxElements))});
    }
    const uint32_t length = ReadInteger();
    return names_.emplace(id, std::string(Take(length))).first->second;
  }

  std::u16string ReadText(uint32_t length) { return ToUtf16(Take(length)); }

  void Enter(const std::string& name) {
    if (depth_ >= kMaxDepth) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlTooDeep, "ReadBinaryXml", "depth",
                    {ToUtf16(std::to_string(kMaxDepth))});
    }
    if (++elements_ > kMaxElements) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlTooManyElements, "ReadBinaryXml", "count",
                    {ToUtf16(std::to_string(kMaxElements))});
    }
    ++depth_;
    sink_.StartTag(name);
  }

  // Element head up to and including its first text; returns the number of
  // children (text count minus one).
  uint32_t ReadHead1() {
    uint32_t id;
    Enter(ReadName(id, false));
    const auto attributes = static_cast<unsigned char>(Take(1)[0]);
    for (unsigned i = 0; i < attributes; ++i) {
      const std::string& name = ReadName(id, false);
      sink_.Attribute(name, ReadText(ReadInteger()));
    }
    const uint32_t textCount = ReadInteger();
    HV_ASSERT(textCount);
    if (!textCount) HV_THROW(Code::kXmlFormatError, Msg::kXmlBinaryBadTextCount, "ReadBinaryXml");
    sink_.Text(ReadText(ReadInteger()));
    return textCount - 1;
  }

  // Version 1: each element gives its text count; children alternate with
  // the texts after them.
  void ReadVersion1() {
    std::vector<uint32_t> remaining{ReadHead1()};
    while (!remaining.empty()) {
      if (remaining.back() == 0) {
        remaining.pop_back();
        --depth_;
        sink_.EndTag();
        if (!remaining.empty()) sink_.Text(ReadText(ReadInteger()));
        continue;
      }
      --remaining.back();
      remaining.push_back(ReadHead1());
    }
  }

  // Reads one content item: element text, or a narrow item for the sink.
  void ReadItem2() {
    const uint32_t value = ReadInteger();
    std::string_view bytes = Take(value >> 1);
    if (value & 1) {
      sink_.FurtherItem(std::string(bytes));
    } else {
      sink_.Text(ToUtf16(bytes));
    }
  }

  // Version 2 element after its name: attributes up to id 0, then the first
  // content item. Returns false when the reference was id 0 (no element).
  bool ReadHead2() {
    uint32_t id;
    const std::string& name = ReadName(id, true);
    if (id == 0) return false;
    Enter(name);
    for (;;) {
      const std::string& attribute = ReadName(id, true);
      if (id == 0) break;
      const uint32_t textLength = ReadInteger();
      HV_ASSERT((textLength & 1) == 0);
      if (textLength & 1) HV_THROW(Code::kXmlFormatError, Msg::kXmlBinaryBadLength, "ReadBinaryXml");
      sink_.Attribute(attribute, ReadText(textLength >> 1));
    }
    ReadItem2();
    return true;
  }

  // Version 2: content is an item, then a child, repeated until a child
  // reference of id 0.
  void ReadVersion2() {
    if (!ReadHead2()) HV_THROW(Code::kXmlFormatError, Msg::kXmlBinaryNoRoot, "ReadBinaryXml");
    size_t open = 1;
    while (open) {
      if (ReadHead2()) {
        ++open;
        continue;
      }
      --open;
      --depth_;
      sink_.EndTag();
      if (open) ReadItem2();
    }
  }

  std::string_view data_;
  xml_reader_interface& sink_;
  size_t pos_ = 0;
  size_t depth_ = 0;
  size_t elements_ = 0;
  std::unordered_map<uint32_t, std::string> names_;
  const std::string empty_;
};

}  // namespace

void ReadBinaryXml(std::string_view data, xml_reader_interface& sink, size_t& stopped) {
  BinaryReader reader(data, sink);
  RunToEnd(reader, stopped);
}

}  // namespace Xml
