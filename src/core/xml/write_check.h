// The check both XML writers make before they write a byte.
#pragma once

#include <cstddef>
#include <functional>

#include "core/xml/tag.h"

namespace Xml {

// Walks the tree and refuses, with kXmlFormatError from `function`, what no
// reader would take back: more than kMaxDepth levels, more than kMaxElements
// elements, an element whose texts do not fit its children. `each` sees
// every element with its depth (the root's is 1), may refuse more, and
// returns whether to walk the element's children.
void CheckBeforeWriting(const Tag& root, const char* function,
                        const std::function<bool(const Tag& tag, size_t depth)>& each);

}  // namespace Xml
