#include "core/common/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "core/common/messages.h"
#include "thrown.h"

namespace {

using Common::Error;

TEST(ErrorTest, CodeZeroIsSuccessWhateverTheMessage) {
  EXPECT_TRUE(Common::MakeError(0, u"ignored", HV_SITE("F")).IsSuccess());
  EXPECT_TRUE(Common::MakeError(0, Msg::kOpenServerFailed, HV_SITE("F")).IsSuccess());
  EXPECT_TRUE(Common::MakeNarrowError(0, "x", HV_SITE("F")).IsSuccess());
}

TEST(ErrorTest, TableMessagesAreReferencedOthersCopied) {
  const Error fromTable =
      Common::MakeError(Code::kOpenServerFailed, Msg::kOpenServerFailed, HV_SITE("SafeOpenVirtualServer"));
  EXPECT_EQ(fromTable.Record()->size, Common::kErrorRecordFixedSize);
  EXPECT_EQ(fromTable.Message(), u"Failed to open the virtualization server.");

  std::u16string buffer = u"formatted text 42";
  const Error copied = Common::MakeError(Code::kFileRead, buffer.c_str(), HV_SITE("Read"));
  EXPECT_GT(copied.Record()->size, Common::kErrorRecordFixedSize);
  buffer.assign(buffer.size(), u'x');
  EXPECT_EQ(copied.Message(), u"formatted text 42");
}

TEST(ErrorTest, SiteFieldsAndModuleArgument) {
  const int line = __LINE__ + 1;
  const Error e = Common::MakeError(Code::kFileSeek, Msg::kFileSeekError, HV_SITE("Rewind"));
  EXPECT_EQ(e.Code(), Code::kFileSeek);
  EXPECT_STREQ(e.Function(), "Rewind");
  EXPECT_STREQ(e.Source(), "core/common/error_test");
  EXPECT_EQ(e.Line(), static_cast<uint32_t>(line));
  EXPECT_STREQ(e.GetNarrow("$module"), "hvplug_glxa64_42582");
  EXPECT_STREQ(e.ArgumentNames(), "$module");
  EXPECT_EQ(e.GetNarrow("other"), nullptr);
  // One site value per statement: same file base, differing by the line.
  const Error f = Common::MakeError(Code::kFileSeek, Msg::kFileSeekError, HV_SITE("Rewind"));
  EXPECT_EQ(f.SiteValue() - e.SiteValue(), f.Line() - e.Line());
  EXPECT_NE(e.SiteValue() & ~0xFFFFFull, Common::Detail::SourceSiteBase("core/common/other.cpp"));
}

TEST(ErrorTest, ArgumentsByNameAndFormatting) {
  const Error e = Common::MakeErrorWithArgs(Code::kRenameVMFailed, Msg::kRenameVMFailed, HV_SITE("Rename"),
                                            "path1,path2", {u"old", u"new"});
  EXPECT_STREQ(e.ArgumentNames(), "path1,path2,$module");
  EXPECT_EQ(std::u16string(e.GetWide("path2")), u"new");
  EXPECT_EQ(e.GetWide("path"), nullptr);  // whole names only
  EXPECT_EQ(Common::FormatErrorMessage(e), u"Failed to rename virtual machine 'old' to 'new'.");
  // Clones keep the arguments (offsets are relative to the record).
  Error shared = e;
  Common::SetCause(shared, Common::MakePosixError(ENOENT));
  EXPECT_EQ(std::u16string(shared.GetWide("path1")), u"old");
}

TEST(ErrorTest, NarrowAndNoMessageKinds) {
  EXPECT_EQ(Common::MakeNarrowError(Code::kConfigurationError, "RemoveValue Not supported yet.", HV_SITE("RemoveValue"))
                .Message(),
            u"RemoveValue Not supported yet.");
  const Error none = Common::MakeNoMessageError(Code::kNotADecimalNumber, HV_SITE("Convert"));
  EXPECT_EQ(none.Code(), Code::kNotADecimalNumber);
  EXPECT_TRUE(none.Message().empty());
}

TEST(ErrorTest, PosixRecord) {
  const Error e = Common::MakePosixError(EACCES);
  EXPECT_EQ(e.Code(), Code::kPosix);
  EXPECT_EQ(e.GetNumber("code"), static_cast<uint64_t>(EACCES));
  EXPECT_STREQ(e.ArgumentNames(), "code,$module");
  EXPECT_STREQ(e.Function(), "AddPosixError");
  EXPECT_STREQ(e.Source(), "core/common/error");
  EXPECT_EQ(e.Line(), 346u);
  EXPECT_EQ(Common::Utf16ToUtf8(e.Message()), std::strerror(EACCES));
}

TEST(ErrorTest, AddPosixErrorThreeCases) {
  Error empty;
  Common::AddPosixError(empty, ENOSPC);
  EXPECT_EQ(empty.Code(), Code::kPosix);

  // Sole holder: the cause is replaced in place.
  Error sole = Common::MakeError(Code::kDiskFull, u"disk full", HV_SITE("Write"));
  Common::ErrorRecord* before = sole.Record();
  Common::AddPosixError(sole, ENOENT);
  Common::AddPosixError(sole, ENOSPC);
  EXPECT_EQ(sole.Record(), before);
  EXPECT_EQ(sole.Cause().GetNumber("code"), static_cast<uint64_t>(ENOSPC));
  EXPECT_TRUE(sole.Cause().Cause().IsSuccess());

  // Shared: the other holder's view stays as it was.
  Error other = sole;
  Common::AddPosixError(sole, EPERM);
  EXPECT_NE(sole.Record(), other.Record());
  EXPECT_EQ(sole.Cause().GetNumber("code"), static_cast<uint64_t>(EPERM));
  EXPECT_EQ(other.Cause().GetNumber("code"), static_cast<uint64_t>(ENOSPC));
  EXPECT_EQ(sole.Message(), other.Message());
  EXPECT_EQ(other.Record()->refCount.load(), 1u);
}

TEST(ErrorTest, WrapKeepsInnerAsCauseAndDescribesChain) {
  const Error inner = Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read"));
  const Error outer = Common::Wrap(Common::MakeErrorWithArgs(Code::kOpenVMFailed, Msg::kOpenVMFailed,
                                                             HV_SITE("GetRegisteredVM"), "VmId", {u"/vm/a.vmc"}),
                                   inner);
  EXPECT_EQ(outer.Cause().Record(), inner.Record());
  EXPECT_EQ(Common::DescribeErrorChain(outer),
            "0x530016 Failed to open virtual machine '/vm/a.vmc'.\n0x40001 Error occurred while reading the file.");
  // Wrapping success changes nothing.
  Error alone = Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read"));
  Common::SetCause(alone, Error());
  EXPECT_TRUE(alone.Cause().IsSuccess());
}

TEST(ErrorTest, ThrownAsErrorHandle) {
  const Error e = HvTest::Thrown([] { HV_THROW(Code::kNotSupported, Msg::kOperationNotSupported, "IOCTL"); });
  EXPECT_EQ(e.Code(), Code::kNotSupported);
  EXPECT_STREQ(e.Function(), "IOCTL");
}

TEST(ErrorTest, LongChainsReleaseWithoutRecursion) {
  Error chain;
  for (int i = 0; i < 200000; ++i) {
    Error next = Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read"));
    Common::SetCause(next, chain);
    chain = std::move(next);
  }
  chain = Error();  // must not overflow the stack
}

}  // namespace
