#include "core/xml/xml_text.h"

namespace Xml {

void AppendUtf16(std::string_view utf8, std::u16string& out) {
  Common::AppendUtf16(utf8, out, Common::EncodedSurrogate::kKeep);
}

void AppendUtf8(std::u16string_view utf16, std::string& out) {
  Common::AppendUtf8(utf16, out, Common::LoneSurrogate::kKeep);
}

bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool IsValidName(std::string_view name) {
  if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!IsNameChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace Xml
