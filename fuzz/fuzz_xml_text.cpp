// Text XML reader: no input may crash it; a document it reads is written
// back byte for byte when nothing changed, and every tree it reads, changed
// or not, comes back unchanged through the text and binary writers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_xml_oracle.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QUILLON_SAFE_ASSERT", "off", 1);  // assertions would only log
  return 0;
}

namespace {

// Edits of the kinds the configuration makes: a value set, an element added,
// an element removed.
void Edit(Xml::Tag& root) {
  for (auto& child : root.Children) {
    if (child->Name == Xml::kCommentName) continue;
    child->Text = u" new  value\n";
    break;
  }
  Xml::InsertChild(root, root.Children.size() / 2, std::make_unique<Xml::Tag>("added"))->Text = u"v";
  if (root.Children.size() > 2) Xml::RemoveChild(root, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto tree = XmlFuzz::ReadOrNull(input);
  if (!tree) return 0;
  if (input.substr(0, 4) != "BXML") {
    std::string same;
    try {
      same = Xml::TextXmlString(*tree, Xml::kWriteSource);
    } catch (const Common::Error&) {
      std::abort();  // what was read can be written
    }
    if (same != input) std::abort();
  }
  XmlFuzz::NormalizeComments(*tree);
  XmlFuzz::CheckRoundTrip(*tree, 0);
  XmlFuzz::CheckRoundTrip(*tree, Xml::kWriteIndented);
  XmlFuzz::CheckRoundTrip(*tree, Xml::kWriteBinary);
  Edit(*tree);
  XmlFuzz::CheckRoundTrip(*tree, Xml::kWriteSource);
  return 0;
}
