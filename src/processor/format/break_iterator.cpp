#include "processor/format/break_iterator.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace Processor {

namespace {

class IcuBreakIterator final : public BreakIterator {
 public:
  explicit IcuBreakIterator(icu::BreakIterator* iterator) : iterator_(iterator) {}
  void SetText(std::u16string_view text) override {
    text_.setTo(text.data(), static_cast<int32_t>(text.size()));
    iterator_->setText(text_);  // keeps a reference to text_
  }
  int32_t First() override { return iterator_->first(); }
  int32_t Next() override {
    const int32_t next = iterator_->next();
    return next == icu::BreakIterator::DONE ? kDone : next;
  }

 private:
  std::unique_ptr<icu::BreakIterator> iterator_;
  icu::UnicodeString text_;
};

class PathBreakIterator final : public BreakIterator {
 public:
  void SetText(std::u16string_view text) override {
    text_.assign(text);
    at_ = 0;
  }
  int32_t First() override {
    at_ = 0;
    return 0;
  }
  int32_t Next() override {
    if (at_ >= text_.size()) return kDone;
    const size_t slash = text_.find(u'/', at_);
    at_ = slash == std::u16string::npos ? text_.size() : slash + 1;
    return static_cast<int32_t>(at_);
  }

 private:
  std::u16string text_;
  size_t at_ = 0;
};

}  // namespace

std::unique_ptr<BreakIterator> CreateBreakIterator(int kind) {
  UErrorCode status = U_ZERO_ERROR;
  icu::BreakIterator* iterator = nullptr;
  switch (kind) {
    case BreakIterator::kLine:
      iterator = icu::BreakIterator::createLineInstance(icu::Locale::getDefault(), status);
      break;
    case BreakIterator::kWord:
      iterator = icu::BreakIterator::createWordInstance(icu::Locale::getDefault(), status);
      break;
    case BreakIterator::kPath:
      return std::make_unique<PathBreakIterator>();
    default:
      return nullptr;
  }
  if (U_FAILURE(status) || !iterator) {
    delete iterator;
    return nullptr;
  }
  return std::make_unique<IcuBreakIterator>(iterator);
}

}  // namespace Processor
