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

ChildList::~ChildList() { clear(); }

void ChildList::clear() {
  // Each child's children are spliced in before its next sibling, so that
  // every tag is destroyed with no children and no sibling left.
  std::unique_ptr<Tag> chain = std::move(first_);
  last_ = nullptr;
  while (chain) {
    ChildList& children = chain->Children;
    if (children.first_) {
      children.last_->next_ = std::move(chain->next_);
      chain->next_ = std::move(children.first_);
      children.last_ = nullptr;
    }
    chain = std::move(chain->next_);
  }
}

size_t ChildList::size() const {
  size_t count = 0;
  for (const Tag* tag = first_.get(); tag; tag = tag->next_.get()) ++count;
  return count;
}

std::pair<Tag*, Tag*> ChildList::Find(size_t index) const {
  Tag* previous = nullptr;
  Tag* tag = first_.get();
  for (; tag && index; --index) {
    previous = tag;
    tag = tag->next_.get();
  }
  return {tag, previous};
}

std::unique_ptr<Tag>& ChildList::SlotAfter(Tag* previous) { return previous ? previous->next_ : first_; }

std::unique_ptr<Tag>& ChildList::operator[](size_t index) { return SlotAfter(Find(index).second); }

const std::unique_ptr<Tag>& ChildList::operator[](size_t index) const {
  return const_cast<ChildList*>(this)->SlotAfter(Find(index).second);
}

Tag* ChildList::Link(Tag* previous, std::unique_ptr<Tag> child) {
  std::unique_ptr<Tag>& slot = SlotAfter(previous);
  child->next_ = std::move(slot);
  if (!child->next_) last_ = child.get();
  slot = std::move(child);
  return slot.get();
}

namespace {

// Readies child to go in after `previous` (null: first) with an empty text
// segment after it; see InsertChild.
void PrepareInsert(Tag& parent, Tag* previous, Tag& child) {
  child.Parent = &parent;
  child.Tail.clear();
  child.TailSource = SourceText();
  if (parent.Source) {
    // The segment before the new child is new layout; the one read there
    // moves behind it.
    SourceText& before = previous ? previous->TailSource : parent.Source->text;
    child.TailSource = std::exchange(before, SourceText());
    if (!previous && parent.Children.empty()) {
      SourceText& closing = child.TailSource;
      if (closing.blank && parent.Text == u" ") parent.Text.clear();
      // "<a/>" or "<a></a>" had no layout to keep before the closing tag.
      if (closing.size == 0) closing.known = false;
    }
  }
}

}  // namespace

Tag* InsertChild(Tag& parent, size_t position, std::unique_ptr<Tag> child) {
  auto [at, previous] = parent.Children.Find(position);
  if (!at) previous = parent.Children.back();
  PrepareInsert(parent, previous, *child);
  return parent.Children.Link(previous, std::move(child));
}

Tag* AppendChild(Tag& parent, std::unique_ptr<Tag> child) {
  Tag* previous = parent.Children.back();
  PrepareInsert(parent, previous, *child);
  return parent.Children.Link(previous, std::move(child));
}

std::unique_ptr<Tag> RemoveChild(Tag& parent, size_t index) {
  auto [at, previous] = parent.Children.Find(index);
  if (!at) {
    HV_ASSERT_TEXT("index < Children.size()");
    return nullptr;
  }
  std::unique_ptr<Tag>& slot = parent.Children.SlotAfter(previous);
  std::unique_ptr<Tag> child = std::move(slot);
  slot = std::move(child->next_);
  if (parent.Children.last_ == child.get()) parent.Children.last_ = previous;
  std::u16string& before = previous ? previous->Tail : parent.Text;
  std::u16string after = std::move(child->Tail);
  child->Tail.clear();
  if (!before.empty() && !after.empty() && before.back() == u' ' && after.front() == u' ') {
    after.erase(0, 1);
  } else if (index == 0 && before.empty() && !after.empty() && after.front() == u' ') {
    after.erase(0, 1);
  }
  before += after;
  if (parent.Source) {
    SourceText& kept = previous ? previous->TailSource : parent.Source->text;
    const SourceText& next = child->TailSource;
    if (kept.known && kept.blank && next.known && next.blank) {
      kept = next;
    } else {
      kept = SourceText();  // the joined text is written from its value
    }
  }
  child->TailSource = SourceText();
  child->Parent = nullptr;
  return child;
}

size_t IndexInParent(const Tag& child) {
  const Tag* parent = child.Parent;
  if (!parent) return 0;
  size_t index = 0;
  for (const auto& sibling : parent->Children) {
    if (sibling.get() == &child) return index;
    ++index;
  }
  HV_ASSERT_TEXT("child is among its parent's children");
  return 0;
}

TextSegments Segments(const Tag& tag) {
  TextSegments segments{tag.Text};
  for (const auto& child : tag.Children) segments.push_back(child->Tail);
  return segments;
}

std::u16string JoinedText(const Tag& tag) {
  std::u16string text = tag.Text;
  for (const auto& child : tag.Children) text += child->Tail;
  return text;
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
    if (x->Name != y->Name || x->Attributes != y->Attributes || x->Text != y->Text) return false;
    auto i = x->Children.begin();
    auto j = y->Children.begin();
    for (; i != x->Children.end() && j != y->Children.end(); ++i, ++j) {
      if ((*i)->Tail != (*j)->Tail) return false;
      pending.emplace_back(i->get(), j->get());
    }
    if (i != x->Children.end() || j != y->Children.end()) return false;
  }
  return true;
}

}  // namespace Xml
