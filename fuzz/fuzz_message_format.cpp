// Any pattern with any arguments through both message formatters: no crash,
// no hang, no runaway allocation.
//
// Input: UTF-16LE code units split at U+0000 into the pattern and up to eight
// arguments; an argument's first unit picks its type, the rest is its value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "processor/format/fdisk_format.h"
#include "processor/format/message_format.h"

namespace {

uint64_t Bits(const std::u16string& text) {
  uint64_t bits = 0;
  for (size_t i = 0; i < text.size() && i < 4; ++i) bits |= uint64_t(text[i]) << (16 * i);
  return bits;
}

Processor::Variant MakeArgument(const std::u16string& piece) {
  if (piece.empty()) return Processor::Variant();
  const std::u16string value = piece.substr(1);
  const uint64_t bits = Bits(value);
  switch (piece[0] % 10) {
    case 0:
      return Processor::Variant(value);
    case 1:
      return Processor::Variant(static_cast<int>(bits));
    case 2:
      return Processor::Variant(static_cast<unsigned long long>(bits));
    case 3: {
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return Processor::Variant(d);
    }
    case 4:
      return Processor::Variant(bits != 0);
    case 5:
      return Processor::Variant::Date(static_cast<double>(static_cast<int64_t>(bits)));
    case 6:
      return Processor::Variant(Common::MakeErrorWithArgs(Code::kInvalidArguments, value.c_str(), HV_SITE("Fuzz"),
                                                          "a,b", {value, u"second"}));
    case 7:
      return Processor::Variant(Common::Utf16ToUtf8(value));
    case 8: {
      std::vector<uint8_t> bytes(value.size());
      for (size_t i = 0; i < value.size(); ++i) bytes[i] = static_cast<uint8_t>(value[i]);
      return Processor::Variant::Binary(bytes);
    }
    default:
      return Processor::Variant(static_cast<long long>(bits));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    setenv("QUILLON_SAFE_ASSERT", "quiet", 1);  // assertions are expected here
    setenv("LANGUAGE", "en", 1);
    return true;
  }();
  (void)quiet;
  if (size > 8192) return 0;
  std::vector<std::u16string> pieces(1);
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0 && pieces.size() < 9)
      pieces.emplace_back();
    else
      pieces.back() += unit;
  }
  std::vector<Processor::Variant> arguments;
  std::vector<std::u16string> texts;
  for (size_t i = 1; i < pieces.size(); ++i) {
    arguments.push_back(MakeArgument(pieces[i]));
    texts.push_back(pieces[i]);
    try {
      (void)arguments.back().ToDouble();
    } catch (const Common::Error&) {
    }
  }
  static Processor::MessageFormatImpl format;
  static Fdisk::MessageFormat fdisk;
  const std::u16string text = format.Format(pieces[0], arguments);
  char16_t buffer[16];
  format.Format(buffer, 16, pieces[0].data(), pieces[0].size(), arguments.data(), arguments.size());
  const std::u16string disk = fdisk.Format(pieces[0], texts);
  (void)Processor::FormatMessage(pieces[0], arguments);
  return static_cast<int>(text.size() + disk.size()) < 0;
}
