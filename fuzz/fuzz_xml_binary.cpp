// Binary XML reader: no input may crash it, and every tree it reads must come
// back unchanged through the binary writer, and through the text writer once
// its comment elements are what a text comment can hold.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_xml_oracle.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QUILLON_SAFE_ASSERT", "off", 1);  // assertions would only log
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input is taken as binary XML, so the fuzzer need not find the signature.
  std::string buffer = "BXML";
  buffer.append(reinterpret_cast<const char*>(data), size);
  std::string_view input = buffer;
  auto tree = XmlFuzz::ReadOrNull(input);
  if (!tree) return 0;
  XmlFuzz::CheckRoundTrip(*tree, Xml::kWriteBinary);
  XmlFuzz::NormalizeComments(*tree);
  XmlFuzz::CheckRoundTrip(*tree, 0);
  XmlFuzz::CheckRoundTrip(*tree, Xml::kWriteIndented);
  return 0;
}
