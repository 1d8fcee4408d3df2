// Text boundaries for shortening texts: ICU line and word boundaries of the
// default locale, and path boundaries (after each "/").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Processor {

class Iterator {
 public:
  static constexpr int32_t kDone = -1;
  virtual ~Iterator() = default;
  // Boundaries in increasing order: First() is 0, Next() kDone after the end.
  virtual int32_t First() = 0;
  virtual int32_t Next() = 0;
};

class BreakIterator : public Iterator {
 public:
  enum Kind { kLine = 0, kWord = 1, kPath = 2 };
  // The iterator keeps its own copy of the text.
  virtual void SetText(std::u16string_view text) = 0;
};

// Null when ICU cannot make the iterator, or for an unknown kind.
std::unique_ptr<BreakIterator> CreateBreakIterator(int kind);

}  // namespace Processor
