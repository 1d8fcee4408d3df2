// What a tree costs, and the size cap that bounds it.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/common/error_codes.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_testutil.h"
#include "core/xml/xml_text.h"
#include "thrown.h"

// Counts the allocations of this test binary, so that a tree's cost per
// element is checked where it is built. Every form that frees with free()
// must allocate with malloc(), or sanitizers see a mismatch.
// Live and peak bytes count what the allocator really hands out.
namespace {
std::atomic<size_t> allocations{0};
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

void* Allocate(size_t size) noexcept {
  void* p = std::malloc(size ? size : 1);
  if (!p) return nullptr;
  ++allocations;
  const size_t live = liveBytes += malloc_usable_size(p);
  for (size_t peak = peakBytes; live > peak && !peakBytes.compare_exchange_weak(peak, live);) {
  }
  return p;
}

void Free(void* p) noexcept {
  if (p) liveBytes -= malloc_usable_size(p);
  std::free(p);
}
}  // namespace

void* operator new(size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }

namespace Xml {
namespace {

using HvTest::Thrown;
using Testing::Load;

// Peak bytes per element that reading may take; see ElementsCostLittleMemory.
constexpr double kBudget = 240;

size_t AllocationsToLoad(const std::string& text) {
  const size_t before = allocations;
  auto root = Load(text);
  return allocations - before;
}

TEST(TreeMemory, ReadingTakesAtMostOneAllocationPerElement) {
  constexpr size_t kElements = 4000;
  std::string leaves = "<r>";
  std::string attributed = "<r>";
  std::string nested = "<r>";
  for (size_t i = 0; i < kElements; ++i) {
    leaves += "<a/>";
    attributed += "\r\n\t<value type=\"integer\">12</value>";
  }
  // Chains of elements, each on a line of its own and indented deeper than
  // a short string holds.
  for (size_t i = 0; i < kElements / 50; ++i) {
    for (int j = 0; j < 50; ++j) nested += "\r\n" + std::string(j, ' ') + "<a>";
    nested += "v";
    for (int j = 49; j >= 0; --j) nested += "</a>\r\n" + std::string(j, ' ');
  }
  leaves += "</r>";
  attributed += "\r\n</r>";
  nested += "</r>";
  // The rest is the reader's own and the document's.
  EXPECT_LE(AllocationsToLoad(leaves), kElements + 100);
  EXPECT_LE(AllocationsToLoad(nested), kElements + 100);
  // Attributes add one array per element.
  EXPECT_LE(AllocationsToLoad(attributed), 2 * kElements + 100);
}

// The most memory live while a document is read and its tree held, per
// element, beyond what was live before.
double PeakBytesPerElement(const std::string& text, size_t elements) {
  const size_t before = liveBytes;
  peakBytes = before;
  auto root = Load(text);
  return double(peakBytes - before) / double(elements);
}

TEST(TreeMemory, ElementsCostLittleMemory) {
  // Empty elements below one root, read from text (so with their source
  // form), and chains of nested elements.
  constexpr size_t kElements = 20000;
  std::string flat = "<r>";
  std::string nested = "<r>";
  for (size_t i = 0; i < kElements; ++i) flat += "<a/>";
  for (size_t i = 0; i < kElements / 100; ++i) {
    for (int j = 0; j < 100; ++j) nested += "<a>";
    for (int j = 0; j < 100; ++j) nested += "</a>";
  }
  flat += "</r>";
  nested += "</r>";
  EXPECT_LE(PeakBytesPerElement(flat, kElements + 1), kBudget);
  EXPECT_LE(PeakBytesPerElement(nested, kElements + 1), kBudget);
  // Without a source form (binary XML) an element costs less still.
  auto tree = Load(flat);
  ASSERT_TRUE(tree);
  EXPECT_LE(PeakBytesPerElement(TextXmlString(*tree, kWriteBinary), kElements + 1), kBudget);
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
