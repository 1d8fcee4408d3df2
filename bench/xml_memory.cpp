// Memory of a tag tree: reads one document of empty elements and prints the
// heap allocations per element and the peak resident size.
//
//   xml_memory BYTES [text|binary] [flat|nested|indented]
//
// flat: BYTES of <a/> below one root; nested: chains of 100 <a> elements;
// indented: the same chains with each element on a line of its own,
// indented by its depth, as machine files are.
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "core/common/error.h"
#include "core/xml/document.h"

namespace {
std::atomic<size_t> allocations{0};
}

void* operator new(size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

static long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: xml_memory BYTES [text|binary] [flat|nested|indented]\n");
    return 2;
  }
  const size_t bytes = std::strtoull(argv[1], nullptr, 0);
  const bool binary = argc > 2 && std::string(argv[2]) == "binary";
  const std::string shape = argc > 3 ? argv[3] : "flat";
  const bool nested = shape == "nested" || shape == "indented";
  const bool indented = shape == "indented";
  std::string text = "<r>";
  size_t elements = 1;
  while (text.size() + 4 < bytes) {
    if (nested) {
      for (int i = 0; i < 100; ++i) text += (indented ? "\n" + std::string(i, ' ') : "") + "<a>";
      for (int i = 99; i >= 0; --i) text += "</a>" + (indented ? "\n" + std::string(i, ' ') : "");
      elements += 100;
    } else {
      text += "<a/>";
      ++elements;
    }
  }
  text += "</r>";
  Xml::ReadPosition where;
  if (binary) {
    // The same tree as binary XML version 1 (root with `elements - 1` leaves).
    auto varint = [&](uint32_t v) {
      for (; v >= 0x80; v >>= 7) text += static_cast<char>(0x80 | (v & 0x7F));
      text += static_cast<char>(v);
    };
    text = std::string("BXML\x01\x01", 6);
    text += std::string("\x00\x01r\x00", 4);  // name id 0 "r", no attributes
    varint(static_cast<uint32_t>(elements));  // text count
    text += '\0';                             // first text
    for (size_t i = 1; i < elements; ++i) {
      text += i == 1 ? std::string(
                           "\x01\x01"
                           "a",
                           3)
                     : std::string("\x01", 1);
      text += std::string("\x00\x01\x00", 3);  // no attributes, one empty text
      text += '\0';                            // the root's text after it
    }
  }
  const long before = PeakKiB();
  const size_t allocationsBefore = allocations;
  try {
    auto root = Xml::LoadDocument(text, where);
    const size_t used = allocations - allocationsBefore;
    const long peak = PeakKiB();
    std::printf(
        "%s %s %zu bytes, %zu elements: %.2f allocations and %.0f bytes of peak memory per element (peak %ld KiB, %ld "
        "KiB "
        "before reading)\n",
        binary ? "binary" : "text", binary ? "flat" : shape.c_str(), text.size(), elements,
        double(used) / double(elements), double(peak - before) * 1024 / double(elements), peak, before);
  } catch (const Common::Error& error) {
    std::printf("%s %zu bytes refused: 0x%X, peak %ld KiB\n", binary ? "binary" : "text", text.size(), error.Code(),
                PeakKiB());
  }
  return 0;
}
