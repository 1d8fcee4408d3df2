// The tag tree that XML documents are read into and written from.
//
// Each element holds one more text segment than it has children: Text[0] is
// the text before the first child, Text[i + 1] the text after child i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Xml {

// Limits that keep hostile documents from exhausting the stack or memory.
// Readers refuse deeper or larger documents; writers refuse trees that the
// readers would refuse, so that everything written reads back.
inline constexpr size_t kMaxDepth = 1000;
inline constexpr size_t kMaxElements = 1000000;
inline constexpr size_t kMaxDocumentSize = 16u << 20;

struct Tag {
  Tag() : Text(1) {}
  explicit Tag(std::string name) : Name(std::move(name)), Text(1) {}
  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;
  // Tears the subtree down without recursion.
  ~Tag();

  std::string Name;                                  // UTF-8
  std::map<std::string, std::u16string> Attributes;  // sorted by name bytes
  std::vector<std::unique_ptr<Tag>> Children;
  std::vector<std::u16string> Text;
  Tag* Parent = nullptr;
};

inline bool HoldsInvariant(const Tag& tag) { return tag.Text.size() == tag.Children.size() + 1; }

// Inserts child at position (0 = before the first child) with an empty text
// segment after it, and returns it.
Tag* InsertChild(Tag& parent, size_t position, std::unique_ptr<Tag> child);
inline Tag* AppendChild(Tag& parent, std::unique_ptr<Tag> child) {
  return InsertChild(parent, parent.Children.size(), std::move(child));
}

// Takes child `index` out of parent and joins the text around it, so that
// the spaces an indented document had around the child do not double up.
std::unique_ptr<Tag> RemoveChild(Tag& parent, size_t index);

// The position of child among its parent's children (its parent must be set).
size_t IndexInParent(const Tag& child);

// Deep equality of names, attributes, texts and children (no recursion).
bool SameTree(const Tag& a, const Tag& b);

}  // namespace Xml
