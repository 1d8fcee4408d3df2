#include "core/file/unix/file_name.h"

#include <gtest/gtest.h>

namespace {

// The converter is process-wide: give the default back to later tests.
class FileNameEncoding : public ::testing::Test {
 protected:
  void TearDown() override { FileLayer::UseFileNameConverter(nullptr); }
};

TEST_F(FileNameEncoding, CharactersTheEncodingLacksAreWrittenAsUtf8) {
  FileLayer::UseFileNameConverter("ISO-8859-1");
  EXPECT_EQ(FileLayer::FileNameToSystem(u"caf\u00E9"), "caf\xE9");
  EXPECT_EQ(FileLayer::FileNameToSystem(u"\u20AC1"),
            "\xE2\x82\xAC"
            "1");
  EXPECT_EQ(FileLayer::FileNameToSystem(u"x\U0010FFFF"), "x\xF4\x8F\xBF\xBF");
}

TEST_F(FileNameEncoding, LoneSurrogatesBecomeQuestionMarks) {
  for (const char* encoding : {"UTF-8", "ISO-8859-1"}) {
    FileLayer::UseFileNameConverter(encoding);
    EXPECT_EQ(FileLayer::FileNameToSystem(std::u16string{u'a', 0xD800, u'b'}), "a?b") << encoding;
    EXPECT_EQ(FileLayer::FileNameToSystem(std::u16string{0xDC00, u'\u00E9', 0xDBFF}),
              std::string("?") + (encoding[0] == 'U' ? "\xC3\xA9" : "\xE9") + "?")
        << encoding;
  }
}

}  // namespace
