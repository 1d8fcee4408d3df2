#include "core/xml/xml_stream.h"

#include <algorithm>
#include <cstring>

#include "core/common/error.h"
#include "core/xml/xml_text.h"

namespace Xml {

size_t BufferInput::Read(void* buffer, size_t size) {
  size = std::min(size, data_.size());
  std::memcpy(buffer, data_.data(), size);
  data_.remove_prefix(size);
  return size;
}

void CheckDocumentSize(size_t size, size_t limit) {
  if (size <= limit) return;
  std::u16string text = ToUtf16(std::to_string(limit));
  HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlTooLarge, "ReadAll", "limit", {text});
}

std::string ReadAll(XmlInput& input, size_t limit) {
  std::string data;
  constexpr size_t kChunk = 64 * 1024;
  for (;;) {
    const size_t before = data.size();
    data.resize(before + kChunk);
    const size_t got = input.Read(data.data() + before, kChunk);
    data.resize(before + std::min(got, kChunk));
    CheckDocumentSize(data.size(), limit);
    if (got == 0) return data;
  }
}

void WriteAll(XmlOutput& output, std::string_view data) {
  while (!data.empty()) {
    const size_t written = std::min(output.Write(data.data(), data.size()), data.size());
    if (written == 0) HV_THROW(Code::kDiskFull, Msg::kDiskFull, "Write");
    data.remove_prefix(written);
  }
}

}  // namespace Xml
