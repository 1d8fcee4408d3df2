// Binary XML reader: no input may crash it, and every tree it reads must come
// back unchanged through the text and binary writers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

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
  CheckRoundTrip(*tree, 0);
  CheckRoundTrip(*tree, Xml::kWriteIndented);
  CheckRoundTrip(*tree, Xml::kWriteBinary);
  return 0;
}
