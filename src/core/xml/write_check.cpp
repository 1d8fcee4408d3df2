#include "core/xml/write_check.h"

#include <string>
#include <utility>
#include <vector>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/xml/xml_text.h"

namespace Xml {

void CheckBeforeWriting(const Tag& root, const char* function,
                        const std::function<bool(const Tag& tag, size_t depth)>& each) {
  std::vector<std::pair<const Tag*, size_t>> pending{{&root, 1}};
  size_t count = 0;
  while (!pending.empty()) {
    auto [tag, depth] = pending.back();
    pending.pop_back();
    if (depth > kMaxDepth) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlTooDeep, function, "depth", {ToUtf16(std::to_string(kMaxDepth))});
    }
    if (++count > kMaxElements) {
      HV_THROW_ARGS(Code::kXmlFormatError, Msg::kXmlTooManyElements, function, "count",
                    {ToUtf16(std::to_string(kMaxElements))});
    }
    if (!each(*tag, depth)) continue;
    for (const auto& child : tag->Children) pending.emplace_back(child.get(), depth + 1);
  }
}

}  // namespace Xml
