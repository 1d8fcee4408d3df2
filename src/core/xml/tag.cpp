#include "core/xml/tag.h"

#include <utility>

#include "core/common/assert.h"
#include "core/xml/xml_text.h"

namespace Xml {

namespace {

// The piece of text from `from` up to and including `end`.
std::string_view Through(std::string_view text, size_t from, std::string_view end) {
  return text.substr(from, text.find(end, from) + end.size() - from);
}

}  // namespace

std::string_view TagSource::Name() const {
  if (comment) return kCommentName;
  const std::string_view text = document_text->text;
  size_t end = begin + 1;
  while (end < text.size() && IsNameChar(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(begin + 1, end - begin - 1);
}

std::string_view TagSource::AttributeMarkup() const {
  const size_t from = begin + 1 + Name().size();
  return std::string_view(document_text->text).substr(from, tailBegin - from);
}

std::string_view TagSource::Tail() const {
  const std::string_view text = document_text->text;
  if (!comment) return Through(text, tailBegin, ">");
  // The end is sought after "<!--", which itself may read "-->" in "<!-->".
  const size_t end = text.find("-->", begin + 4);
  return text.substr(begin, end + 3 - begin);
}

std::string_view TagSource::EndTag() const { return Through(document_text->text, endTagBegin, ">"); }

Tag::~Tag() {
  ChildList pending = std::move(Children);
  while (!pending.empty()) {
    std::unique_ptr<Tag> tag = std::move(pending.back());
    pending.pop_back();
    for (auto& child : tag->Children) pending.push_back(std::move(child));
    tag->Children.clear();
  }
}

namespace {

// The source texts of tag while they still match its segments.
decltype(TagSource::texts)* TrackedTexts(Tag& tag) {
  if (!tag.Source || tag.Source->texts.size() != tag.Text.size()) return nullptr;
  return &tag.Source->texts;
}

}  // namespace

Tag* InsertChild(Tag& parent, size_t position, std::unique_ptr<Tag> child) {
  HV_ASSERT(HoldsInvariant(parent));
  if (position > parent.Children.size()) position = parent.Children.size();
  auto* texts = TrackedTexts(parent);
  child->Parent = &parent;
  Tag* raw = child.get();
  parent.Children.insert(parent.Children.begin() + static_cast<std::ptrdiff_t>(position), std::move(child));
  parent.Text.insert(parent.Text.begin() + static_cast<std::ptrdiff_t>(position) + 1, std::u16string());
  if (texts) {
    // The segment before the new child is new layout; the one read there
    // moves behind it.
    texts->insert(texts->begin() + static_cast<std::ptrdiff_t>(position), SourceText());
    if (parent.Children.size() == 1) {
      SourceText& closing = (*texts)[1];
      if (closing.blank && parent.Text[0] == u" ") parent.Text[0].clear();
      // "<a/>" or "<a></a>" had no layout to keep before the closing tag.
      if (closing.size == 0) closing.known = false;
    }
  }
  return raw;
}

std::unique_ptr<Tag> RemoveChild(Tag& parent, size_t index) {
  if (index >= parent.Children.size() || !HoldsInvariant(parent)) {
    HV_ASSERT_TEXT("index < Children.size() && Text.size() == Children.size() + 1");
    return nullptr;
  }
  auto* texts = TrackedTexts(parent);
  std::unique_ptr<Tag> child = std::move(parent.Children[index]);
  parent.Children.erase(parent.Children.begin() + static_cast<std::ptrdiff_t>(index));
  std::u16string& before = parent.Text[index];
  std::u16string after = std::move(parent.Text[index + 1]);
  parent.Text.erase(parent.Text.begin() + static_cast<std::ptrdiff_t>(index) + 1);
  if (!before.empty() && !after.empty() && before.back() == u' ' && after.front() == u' ') {
    after.erase(0, 1);
  } else if (index == 0 && before.empty() && !after.empty() && after.front() == u' ') {
    after.erase(0, 1);
  }
  before += after;
  if (texts) {
    SourceText& kept = (*texts)[index];
    SourceText& next = (*texts)[index + 1];
    if (kept.known && kept.blank && next.known && next.blank) {
      kept = std::move(next);
    } else {
      kept = SourceText();  // the joined text is written from its value
    }
    texts->erase(texts->begin() + static_cast<std::ptrdiff_t>(index) + 1);
  }
  child->Parent = nullptr;
  return child;
}

size_t IndexInParent(const Tag& child) {
  const Tag* parent = child.Parent;
  if (!parent) return 0;
  for (size_t i = 0; i < parent->Children.size(); ++i) {
    if (parent->Children[i].get() == &child) return i;
  }
  HV_ASSERT_TEXT("child is among its parent's children");
  return 0;
}

void DropSource(Tag& root) {
  std::vector<Tag*> pending{&root};
  while (!pending.empty()) {
    Tag* tag = pending.back();
    pending.pop_back();
    // The storage goes with the tag; the document text goes with the last
    // tag that still holds it.
    if (tag->Source) tag->Source->document_text.reset();
    tag->Source = nullptr;
    for (auto& child : tag->Children) pending.push_back(child.get());
  }
}

bool SameTree(const Tag& a, const Tag& b) {
  std::vector<std::pair<const Tag*, const Tag*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->Name != y->Name || x->Attributes != y->Attributes || x->Text != y->Text ||
        x->Children.size() != y->Children.size()) {
      return false;
    }
    for (size_t i = 0; i < x->Children.size(); ++i) {
      pending.emplace_back(x->Children[i].get(), y->Children[i].get());
    }
  }
  return true;
}

}  // namespace Xml
