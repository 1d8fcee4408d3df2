// The tag tree that XML documents are read into and written from.
//
// Each element holds one more text segment than it has children: Text[0] is
// the text before the first child, Text[i + 1] the text after child i.
#pragma once

#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Xml {

// Limits that keep hostile documents from exhausting the stack or memory.
// Readers refuse deeper or larger documents; writers refuse trees that the
// readers would refuse, so that everything written reads back.
// Machine files are a few kilobytes. The size cap bounds the memory of a
// tree too (an element costs a few hundred bytes); the element cap is what a
// text document of that size can hold ("<a/>" is the shortest element) and
// also holds for the more compact binary XML.
inline constexpr size_t kMaxDepth = 1000;
inline constexpr size_t kMaxDocumentSize = 1u << 20;
inline constexpr size_t kMaxElements = kMaxDocumentSize / 4;

// Elements of this name are comments: readers of text keep them, writers of
// text write them as comments.
inline constexpr std::string_view kCommentName = "!--";

// How a text segment stood in the document it was read from.
struct SourceText {
  std::string raw;       // the markup as read (UTF-8), instructions included
  std::u16string value;  // what it read as
  bool known = false;    // false: added later, so written from its value
  // Whitespace alone outside xml:space="preserve": it reads as " " in an
  // element without children and as nothing (layout) beside children.
  bool blank = false;
};

struct SourceAttribute {
  std::string name;
  std::u16string value;
  std::string raw;  // leading whitespace, name, '=' and quoted value
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

// How an element read from text was written, so that writing the document
// back can keep every byte of what nobody changed.
struct TagSource {
  std::string name;
  std::vector<SourceAttribute> attributes;  // in document order
  std::string tail;                         // whitespace and ">" or "/>"; a comment's whole markup
  std::string endTag;                       // "</name>" as read
  bool empty = false;                       // written as <name/>
  bool comment = false;
  // Parallel to Text; InsertChild and RemoveChild keep it so. Most elements
  // hold one segment, which lives inside the tag.
  boost::container::small_vector<SourceText, 1> texts;
  std::unique_ptr<DocumentSource> document;  // on the root only
};

// Text segments; a leaf element's one segment lives inside the tag, so that
// a tree costs one allocation per element.
using TextSegments = boost::container::small_vector<std::u16string, 1>;

struct Tag {
  Tag() : Text(1) {}
  explicit Tag(std::string name) : Name(std::move(name)), Text(1) {}
  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;
  // Tears the subtree down without recursion.
  virtual ~Tag();

  std::string Name;                                  // UTF-8
  std::map<std::string, std::u16string> Attributes;  // sorted by name bytes
  std::vector<std::unique_ptr<Tag>> Children;
  TextSegments Text;
  Tag* Parent = nullptr;
  // Set by the text reader, pointing into the same allocation (SourcedTag);
  // no part of the tree's value (SameTree ignores it).
  TagSource* Source = nullptr;
};

// A tag read from text, allocated together with its source form.
struct SourcedTag final : Tag {
  explicit SourcedTag(std::string name) : Tag(std::move(name)) { Source = &source; }
  TagSource source;
};

inline bool HoldsInvariant(const Tag& tag) { return tag.Text.size() == tag.Children.size() + 1; }

// Inserts child at position (0 = before the first child) with an empty text
// segment after it, and returns it. The layout read before that position
// stays after the new child (the closing tag keeps its indentation); a
// parent that read as whitespace alone gives that whitespace up to layout.
Tag* InsertChild(Tag& parent, size_t position, std::unique_ptr<Tag> child);
inline Tag* AppendChild(Tag& parent, std::unique_ptr<Tag> child) {
  return InsertChild(parent, parent.Children.size(), std::move(child));
}

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
