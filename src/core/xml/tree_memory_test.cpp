// What a tree costs, and the size cap that bounds it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/common/error_codes.h"
#include "core/xml/xml_testutil.h"
#include "core/xml/xml_text.h"
#include "thrown.h"

// Counts the allocations of this test binary, so that a tree's cost per
// element is checked where it is built. Every form that frees with free()
// must allocate with malloc(), or sanitizers see a mismatch.
namespace {
std::atomic<size_t> allocations{0};
}  // namespace

void* operator new(size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  ++allocations;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace Xml {
namespace {

using HvTest::Thrown;
using Testing::Load;

size_t AllocationsToLoad(const std::string& text) {
  const size_t before = allocations;
  auto root = Load(text);
  return allocations - before;
}

TEST(TreeMemory, ReadingTakesAtMostOneAllocationPerElement) {
  constexpr size_t kElements = 4000;
  std::string leaves = "<r>";
  std::string indented = "<r>";
  for (size_t i = 0; i < kElements; ++i) {
    leaves += "<a/>";
    indented += "\r\n\t<value type=\"integer\">12</value>";
  }
  leaves += "</r>";
  indented += "\r\n</r>";
  // The rest is the growth of the root's arrays and the document's own.
  EXPECT_LE(AllocationsToLoad(leaves), kElements + 100);
  // Attributes add a node of the attribute map each and one array of their
  // source form per element.
  EXPECT_LE(AllocationsToLoad(indented), 3 * kElements + 100);
}

TEST(TreeMemory, DocumentsAboveTheCapAreRefusedBeforeReading) {
  std::string text = "<r>" + std::string(kMaxDocumentSize - 7, ' ') + "</r>";
  EXPECT_TRUE(Load(text));
  text.insert(3, " ");
  Common::Error error;
  ReadPosition where;
  EXPECT_FALSE(Load(text, error, where));
  EXPECT_EQ(error.Code(), Code::kXmlFormatError);
  EXPECT_NE(Common::FormatErrorMessage(error).find(u"1048576"), std::u16string::npos);
  // Through an input the same, without reading much beyond the cap.
  BufferInput input(text);
  error = Thrown([&] { LoadDocument(input, where); });
  EXPECT_EQ(error.Code(), Code::kXmlFormatError);
}

}  // namespace
}  // namespace Xml
