#include "processor/format/message_format.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/common/assert.h"
#include "processor/format/error_format.h"
#include "processor/format/subformat.h"
#include "processor/singleton.h"

namespace Processor {

namespace {

// Re-entry happens through error arguments and assertion traces; deeper
// than this the pattern is returned as it stands.
constexpr int kMaxFormatDepth = 8;

}  // namespace

MessageFormatImpl::MessageFormatImpl() : resources_(std::make_unique<FormatResources>(*this)) {
  FormatResources& r = *resources_;
  registry_.emplace(u"number", std::make_unique<SubformatNumber>(r));
  registry_.emplace(u"date", std::make_unique<SubformatDate>(r, DateFormat::kDate));
  registry_.emplace(u"time", std::make_unique<SubformatDate>(r, DateFormat::kTime));
  registry_.emplace(u"date_time", std::make_unique<SubformatDate>(r, DateFormat::kDateTime));
  registry_.emplace(u"choice", std::make_unique<SubformatChoice>(r));
  auto concord = std::make_unique<SubformatConcord>(r);
  concord_ = concord.get();
  registry_.emplace(u"concord", std::move(concord));
  registry_.emplace(u"error", std::make_unique<SubformatError>(r));
  registry_.emplace(u"size", std::make_unique<SubformatSize>(r));
  registry_.emplace(u"ellipsis", std::make_unique<SubformatEllipsis>(r));
  registry_.emplace(u"path_ellipsis", std::make_unique<SubformatPathEllipsis>(r));
  registry_.emplace(u"time_span", std::make_unique<SubformatTimeSpan>(r));
}

MessageFormatImpl::~MessageFormatImpl() {
  // Subformats refer to the resources: they go first.
  registry_.clear();
  resources_.reset();
}

void MessageFormatImpl::SetPluralRule(std::optional<int> rule) { concord_->SetRule(rule); }

std::u16string MessageFormatImpl::Format(std::u16string_view pattern, const Variant* arguments, size_t count) {
  if (depth_ >= kMaxFormatDepth) return std::u16string(pattern);
  // Nested calls (an error argument formats its own message) keep ours.
  const Variant* savedArguments = arguments_;
  const size_t savedCount = count_;
  arguments_ = arguments;
  count_ = arguments ? count : 0;
  ++depth_;
  std::u16string out;
  out.reserve(pattern.size());
  try {
    ExpandPattern(pattern, *this, out);
  } catch (...) {
    --depth_;
    arguments_ = savedArguments;
    count_ = savedCount;
    throw;
  }
  --depth_;
  arguments_ = savedArguments;
  count_ = savedCount;
  return out;
}

size_t MessageFormatImpl::Format(char16_t* output, size_t capacity, const char16_t* pattern, size_t patternLength,
                                 const Variant* arguments, size_t count) {
  const std::u16string text =
      pattern ? Format(std::u16string_view(pattern, patternLength), arguments, count) : std::u16string();
  if (output && capacity > 0) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(output, text.data(), n * sizeof(char16_t));
    output[n] = 0;
  }
  return text.size();
}

void MessageFormatImpl::FormatPlaceholder(const Segments& segments, std::u16string_view raw, std::u16string& out) {
  size_t index = 0;
  if (!ParseIndex(segments[SEGMENT_ARGUMENT], index)) {
    if (Unquote(segments[SEGMENT_ARGUMENT]).empty()) HV_ASSERT_TEXT("!segments[SEGMENT_ARGUMENT].empty()");
    // Not a placeholder of ours ("{x}"): it stays as written.
    for (char16_t c : raw)
      if (c != kFormatQuote) out += c;
    return;
  }
  if (index >= count_) {
    out += u'{';
    out += Unquote(segments[SEGMENT_ARGUMENT]);
    out += u'}';
    return;
  }
  const Variant& argument = arguments_[index];
  const std::u16string keyword = Unquote(segments[SEGMENT_KEYWORD]);
  if (keyword.empty()) {
    resources_->Simple().Format(argument, out, segments);
    return;
  }
  const auto it = registry_.find(keyword);
  if (it == registry_.end()) {
    HV_ASSERT_TEXT("false");
    return;
  }
  it->second->Format(argument, out, segments);
}

// ---- the pool behind the free functions ------------------------------------------------------

namespace {

class MessageFormatPool : public RefObject, public ProtectedObject {
 public:
  static constexpr size_t kMaxIdle = 8;

  std::unique_ptr<MessageFormatImpl> Take() {
    {
      std::lock_guard<ProtectedObject> lock(*this);
      if (!idle_.empty()) {
        std::unique_ptr<MessageFormatImpl> formatter = std::move(idle_.back());
        idle_.pop_back();
        return formatter;
      }
    }
    return std::make_unique<MessageFormatImpl>();
  }

  void Give(std::unique_ptr<MessageFormatImpl> formatter) {
    std::lock_guard<ProtectedObject> lock(*this);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(formatter));
    // otherwise it is destroyed on the way out
  }

 private:
  std::vector<std::unique_ptr<MessageFormatImpl>> idle_;
};

// Formatting may assert, and an assertion traces a line that is formatted
// again; past a few rounds lines go out as they are.
thread_local int tPoolDepth = 0;
constexpr int kMaxPoolDepth = 3;

template <class F>
std::u16string WithFormatter(F&& f) {
  RefPtr<MessageFormatPool> pool = Singleton<MessageFormatPool, true>::Instance();
  std::unique_ptr<MessageFormatImpl> formatter = pool->Take();
  ++tPoolDepth;
  struct Leave {
    ~Leave() { --tPoolDepth; }
  } leave;
  std::u16string text = f(*formatter);
  pool->Give(std::move(formatter));
  return text;
}

}  // namespace

std::u16string FormatMessage(std::u16string_view pattern, std::span<const Variant> arguments) {
  if (tPoolDepth >= kMaxPoolDepth) return std::u16string(pattern);
  return WithFormatter([&](MessageFormatImpl& f) { return f.Format(pattern, arguments); });
}

std::u16string FormatErrorText(const Common::Error& error) {
  if (error.IsSuccess()) return {};
  if (tPoolDepth >= kMaxPoolDepth) return error.Message();
  return WithFormatter([&](MessageFormatImpl& f) { return f.Resources().Errors().Message(error); });
}

std::u16string FormatErrorFull(const Common::Error& error) {
  if (error.IsSuccess()) return {};
  if (tPoolDepth >= kMaxPoolDepth) return error.Message();
  return WithFormatter([&](MessageFormatImpl& f) { return f.Resources().Errors().Format(error); });
}

}  // namespace Processor
