// The tag tree that XML documents are read into and written from.
//
// An element's text before its first child is its Text; the text after a
// child is that child's Tail.
#pragma once

#include <boost/container/flat_map.hpp>
#include <boost/smart_ptr/intrusive_ptr.hpp>
#include <boost/smart_ptr/intrusive_ref_counter.hpp>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Xml {

// Limits that keep hostile documents from exhausting the stack or memory.
// Readers refuse deeper or larger documents; writers refuse trees that the
// readers would refuse, so that everything written reads back.
// Machine files are a few kilobytes. The size cap bounds the memory of a
// tree too (an element read from text costs under 240 bytes at the
// peak of reading, a capped document about 55 MB); the element cap is what a
// text document of that size can hold ("<a/>" is the shortest element) and
// also holds for the more compact binary XML.
inline constexpr size_t kMaxDepth = 1000;
inline constexpr size_t kMaxDocumentSize = 1u << 20;
inline constexpr size_t kMaxElements = kMaxDocumentSize / 4;

// Elements of this name are comments: readers of text keep them, writers of
// text write them as comments.
inline constexpr std::string_view kCommentName = "!--";

// How a text segment stood in the document it was read from: where its
// markup lies in the document text (CDATA, references and instructions
// included). What it read as is decoded again from that markup when needed,
// so that a segment costs 8 bytes.
struct SourceText {
  SourceText() : known(false), blank(false), preserve(false) {}
  SourceText(uint32_t offset, uint32_t size, bool blank, bool preserve)
      : offset(offset), size(size), known(true), blank(blank), preserve(preserve) {}
  uint32_t offset = 0;
  uint32_t size : 29 = 0;
  uint32_t known : 1;  // false: added later, so written from its value
  // Whitespace alone outside xml:space="preserve": it reads as " " in an
  // element without children and as nothing (layout) beside children.
  uint32_t blank : 1;
  uint32_t preserve : 1;  // read inside xml:space="preserve"
};

enum class SourceEncoding { kUtf8, kUtf16Le, kUtf16Be };

// What lies outside the root element, and the encoding, of a document read
// from text.
struct DocumentSource {
  SourceEncoding encoding = SourceEncoding::kUtf8;
  bool byteOrderMark = false;  // of the UTF-8 text (a UTF-16 one always has one)
  std::string prolog;          // declaration, comments and whitespace before the root
  std::string epilog;          // everything after it
};

// The text of a document read from text, kept once and shared by the source
// forms of its tags (also of subtrees moved to another tree).
struct SourceDocumentText : boost::intrusive_ref_counter<SourceDocumentText> {
  explicit SourceDocumentText(std::string text) : text(std::move(text)) {}
  const std::string text;  // UTF-8, as the reader saw it
  DocumentSource document;
  uint32_t rootBegin = 0;  // where the root element starts
};

// How an element read from text was written, so that writing the document
// back can keep every byte of what nobody changed: offsets into the document
// text, which the tags share. The ends of the pieces are found again in the
// text, which keeps this small.
struct TagSource {
  boost::intrusive_ptr<const SourceDocumentText> document_text;
  uint32_t begin = 0;        // '<'; a comment's whole markup starts here
  uint32_t tailBegin = 0;    // whitespace and ">" or "/>" (after the attributes)
  uint32_t endTagBegin = 0;  // "</name>" as read
  SourceText text;           // of Tag::Text; the tail's is Tag::TailSource
  bool empty = false;        // written as <name/>
  bool comment = false;

  // The document around the root element; null on every other element.
  const DocumentSource* Document() const {
    return document_text->rootBegin == begin && !comment ? &document_text->document : nullptr;
  }
  std::string_view Name() const;
  std::string_view AttributeMarkup() const;  // with the whitespace before each attribute
  std::string_view Tail() const;             // a comment's whole markup
  std::string_view EndTag() const;
  std::string_view Raw(const SourceText& segment) const {
    return std::string_view(document_text->text).substr(segment.offset, segment.size);
  }
};

// Attributes sorted by name bytes, in one array: elements of machine files
// have at most a few.
using AttributeMap = boost::container::flat_map<std::string, std::u16string>;

struct Tag;

// The children of an element, linked through the children themselves so
// that an element costs one allocation however many children it has.
// Walking is cheap; indexing and size() walk from the first child.
// Children are added and taken out with InsertChild and RemoveChild.
class ChildList {
 public:
  template <class Slot>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::unique_ptr<Tag>;
    using difference_type = std::ptrdiff_t;
    using pointer = Slot*;
    using reference = Slot&;
    Iterator() = default;
    explicit Iterator(Slot* slot) : slot_(slot && *slot ? slot : nullptr) {}
    Slot& operator*() const { return *slot_; }
    Slot* operator->() const { return slot_; }
    Iterator& operator++();
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return slot_ == other.slot_; }
    bool operator!=(const Iterator& other) const { return slot_ != other.slot_; }

   private:
    Slot* slot_ = nullptr;  // null at the end
  };
  using iterator = Iterator<std::unique_ptr<Tag>>;
  using const_iterator = Iterator<const std::unique_ptr<Tag>>;

  ChildList() = default;
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;
  ~ChildList();

  iterator begin() { return iterator(&first_); }
  iterator end() { return iterator(); }
  const_iterator begin() const { return const_iterator(&first_); }
  const_iterator end() const { return const_iterator(); }
  bool empty() const { return !first_; }
  size_t size() const;
  std::unique_ptr<Tag>& operator[](size_t index);
  const std::unique_ptr<Tag>& operator[](size_t index) const;
  Tag* back() const { return last_; }
  // Tears the children down without recursion.
  void clear();

 private:
  friend Tag* InsertChild(Tag& parent, size_t position, std::unique_ptr<Tag> child);
  friend Tag* AppendChild(Tag& parent, std::unique_ptr<Tag> child);
  friend std::unique_ptr<Tag> RemoveChild(Tag& parent, size_t index);
  // The slot that holds the child after `previous` (null: the first).
  std::unique_ptr<Tag>& SlotAfter(Tag* previous);
  // Links child in after `previous` (null: first).
  Tag* Link(Tag* previous, std::unique_ptr<Tag> child);
  // The child `index` and the one before it (null for the first), or a
  // null child past the end.
  std::pair<Tag*, Tag*> Find(size_t index) const;
  std::unique_ptr<Tag> first_;
  Tag* last_ = nullptr;
};

struct Tag {
  Tag() = default;
  explicit Tag(std::string name) : Name(std::move(name)) {}
  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;
  virtual ~Tag() = default;

  std::string Name;  // UTF-8
  AttributeMap Attributes;
  ChildList Children;
  // The text before the first child (all of it in an element without
  // children), and the text after this element in its parent. The segments
  // of an element are thus its Text and the Tail of each child.
  std::u16string Text;
  std::u16string Tail;
  Tag* Parent = nullptr;
  // Set by the text reader, pointing into the same allocation (SourcedTag);
  // no part of the tree's value (SameTree ignores it).
  TagSource* Source = nullptr;
  // How Tail stood in the parent's document; read only while the parent
  // has its Source.
  SourceText TailSource;

 private:
  friend class ChildList;
  friend std::unique_ptr<Tag> RemoveChild(Tag& parent, size_t index);
  std::unique_ptr<Tag> next_;  // the next sibling
};

template <class Slot>
ChildList::Iterator<Slot>& ChildList::Iterator<Slot>::operator++() {
  slot_ = (*slot_)->next_ ? &(*slot_)->next_ : nullptr;
  return *this;
}

// A tag read from text, allocated together with its source form.
struct SourcedTag final : Tag {
  explicit SourcedTag(std::string_view name) : Tag(std::string(name)) { Source = &source; }
  TagSource source;
};

// The text segments of tag in document order: one more than it has
// children.
using TextSegments = std::vector<std::u16string>;
TextSegments Segments(const Tag& tag);
// All of them joined.
std::u16string JoinedText(const Tag& tag);

// Inserts child at position (0 = before the first child) with an empty text
// segment after it, and returns it. The layout read before that position
// stays after the new child (the closing tag keeps its indentation); a
// parent that read as whitespace alone gives that whitespace up to layout.
Tag* InsertChild(Tag& parent, size_t position, std::unique_ptr<Tag> child);
Tag* AppendChild(Tag& parent, std::unique_ptr<Tag> child);

// Takes child `index` out of parent and joins the text around it, so that
// the spaces an indented document had around the child do not double up.
// The layout that followed the child stays, so the next line keeps its
// indentation.
std::unique_ptr<Tag> RemoveChild(Tag& parent, size_t index);

// The position of child among its parent's children (its parent must be set).
size_t IndexInParent(const Tag& child);

// Forgets how the tree was read, so that it is written as a new document.
void DropSource(Tag& root);

// Deep equality of names, attributes, texts and children (no recursion).
bool SameTree(const Tag& a, const Tag& b);

}  // namespace Xml
