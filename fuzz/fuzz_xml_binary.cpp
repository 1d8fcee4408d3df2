// Binary XML reader: no input may crash it, and every tree it reads must come
// back unchanged through the binary writer, and through the text writer except
// for comment elements, which text reading skips.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error.h"
#include "core/xml/document.h"
#include "core/xml/text_writer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QUILLON_SAFE_ASSERT", "off", 1);  // assertions would only log
  return 0;
}

namespace {

void CheckRoundTrip(const Xml::Tag& tree, unsigned flags) {
  std::string written;
  try {
    written = Xml::TextXmlString(tree, flags);
  } catch (const Common::Error&) {
    return;  // a tree the writers refuse (for example a name from binary XML)
  }
  Xml::ReadPosition where;
  auto back = Xml::LoadDocument(written, where);  // must not throw
  if (!back || !Xml::SameTree(tree, *back)) std::abort();
}

// Takes comment elements out, joining the texts around each.
void DropComments(Xml::Tag& root) {
  std::vector<Xml::Tag*> pending{&root};
  while (!pending.empty()) {
    Xml::Tag* tag = pending.back();
    pending.pop_back();
    if (!Xml::HoldsInvariant(*tag)) continue;  // the writers refuse it anyway
    for (size_t i = tag->Children.size(); i-- > 0;) {
      if (tag->Children[i]->Name == "!--") {
        tag->Text[i] += tag->Text[i + 1];
        tag->Text.erase(tag->Text.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        tag->Children.erase(tag->Children.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        pending.push_back(tag->Children[i].get());
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input is taken as binary XML, so the fuzzer need not find the signature.
  std::string buffer = "BXML";
  buffer.append(reinterpret_cast<const char*>(data), size);
  std::string_view input = buffer;
  Xml::ReadPosition where;
  std::unique_ptr<Xml::Tag> tree;
  try {
    tree = Xml::LoadDocument(input, where);
  } catch (const Common::Error&) {
    return 0;
  }
  if (!tree) std::abort();
  CheckRoundTrip(*tree, Xml::kWriteBinary);
  DropComments(*tree);
  CheckRoundTrip(*tree, 0);
  CheckRoundTrip(*tree, Xml::kWriteIndented);
  return 0;
}
