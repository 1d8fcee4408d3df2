// Round-trip checks shared by the XML fuzz targets.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error.h"
#include "core/xml/document.h"
#include "core/xml/text_writer.h"

namespace XmlFuzz {

// Reads input as a document: null when the reader refuses it with a coded
// error (the expected outcome for most inputs); aborts when it neither throws
// nor returns a tree.
inline std::unique_ptr<Xml::Tag> ReadOrNull(std::string_view input) {
  Xml::ReadPosition where;
  std::unique_ptr<Xml::Tag> tree;
  try {
    tree = Xml::LoadDocument(input, where);
  } catch (const Common::Error&) {
    return nullptr;
  }
  if (!tree) std::abort();
  return tree;
}

// Writes tree with flags, reads it back and aborts unless the same tree comes
// back. A tree the writers refuse (for example a name from binary XML) passes.
inline void CheckRoundTrip(const Xml::Tag& tree, unsigned flags) {
  std::string written;
  try {
    written = Xml::TextXmlString(tree, flags);
  } catch (const Common::Error&) {
    return;
  }
  Xml::ReadPosition where;
  auto back = Xml::LoadDocument(written, where);  // must not throw
  if (!back || !Xml::SameTree(tree, *back)) std::abort();
}

// Makes each comment element what the text writer can write: one sanitized
// text, no attributes, no children.
inline void NormalizeComments(Xml::Tag& root) {
  std::vector<Xml::Tag*> pending{&root};
  while (!pending.empty()) {
    Xml::Tag* tag = pending.back();
    pending.pop_back();
    if (tag->Name == Xml::kCommentName) {
      tag->Text = Xml::CommentText(*tag);
      tag->Attributes.clear();
      tag->Children.clear();
      continue;
    }
    for (auto& child : tag->Children) pending.push_back(child.get());
  }
}

}  // namespace XmlFuzz
