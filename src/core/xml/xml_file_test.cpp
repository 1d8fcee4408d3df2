#include "core/xml/xml_file.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/file/memory_file.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_testutil.h"
#include "thrown.h"

namespace Xml {
namespace {

using HvTest::Thrown;

// Fails every read with a stored error, as a file whose device went away.
class BrokenFile final : public i_file {
 public:
  void Read(void*, size_t, size_t& transferred) override {
    transferred = 0;
    SetError(Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read")));
  }
};

TEST(XmlFile, WritesAndReadsThroughFiles) {
  auto root = Testing::Element("r", u"a  b\nc");
  root->Attributes["k"] = u"\"v\"";
  for (unsigned flags : {0u, unsigned(kWriteBinary)}) {
    auto file = Common::CreateMemoryFile();
    WriteDocument(*root, *file, flags);
    ASSERT_TRUE(file->Rewind());
    ReadPosition where;
    auto back = LoadDocument(static_cast<i_file&>(*file), where);
    ASSERT_TRUE(back);
    EXPECT_TRUE(SameTree(*root, *back));
  }
}

TEST(XmlFile, PassesTheFilesOwnErrorOn) {
  BrokenFile file;
  ReadPosition where;
  Common::Error error = Thrown([&] { LoadDocument(file, where); });
  EXPECT_EQ(error.Code(), Code::kFileRead);
  EXPECT_TRUE(file.Failed());  // the file keeps it for its owner
}

}  // namespace
}  // namespace Xml
