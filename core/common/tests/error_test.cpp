// Error records: construction, sharing, causes, errno records and running out of memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/common/error.h"
#include "tools/testing/failing_new.h"

using Common::Error;
using Common::ErrorRecord;
using Common::Message;

namespace {

const Common::SourceLocation kHere =
    Common::MakeLocation(Common::Locations::CoreFileZipfile, "core/common/tests/error_test.cpp", "Test", 541);

uint32_t Refs(const ErrorRecord* record) { return record->RefCount; }

size_t ChainLength(const Error& e) {
  size_t n = 0;
  for (ErrorRecord* r = e.GetHead(); r != nullptr && n < 100; r = r->Cause) ++n;
  return n;
}

Error Raise(uint32_t code, const char16_t* text) { return Error(kHere, code, text); }

TEST(ErrorTest, CodeZeroIsTheEmptyError) {
  EXPECT_TRUE(Raise(0, u"ignored").IsEmpty());
  EXPECT_EQ(Raise(0, u"ignored").GetHead(), nullptr);
  EXPECT_EQ(Error(kHere, 0).GetHead(), nullptr);
  EXPECT_TRUE(Common::NoError.IsEmpty());
  EXPECT_EQ(Common::NoError.GetCode(), 0u);
}

TEST(ErrorTest, RecordHoldsLocationAndCode) {
  Error e = Raise(Common::FILE_NOT_FOUND, u"x");
  const ErrorRecord* r = e.GetHead();
  EXPECT_EQ(r->Code, Common::FILE_NOT_FOUND);
  EXPECT_EQ(r->IdLow, 0x60C18179u);
  EXPECT_EQ(r->IdHigh, 0x86137B9Du);
  EXPECT_STREQ(r->File, "core/common/tests/error_test.cpp");
  EXPECT_EQ(r->Line, 541u);
  EXPECT_EQ(Refs(r), 1u);
}

TEST(ErrorTest, CatalogTextIsReferredToOtherTextIsCopied) {
  const char16_t* catalogText = Common::GetMessageText(Message(367));
  ASSERT_NE(catalogText, nullptr);
  Error referred = Raise(Common::FILE_NOT_FOUND, catalogText);
  auto* r = reinterpret_cast<const Common::TextErrorRecord*>(referred.GetHead());
  EXPECT_EQ(r->Header.Size, sizeof(Common::TextErrorRecord));
  EXPECT_EQ(Common::RecordTextPointer(r), catalogText);

  Common::WString local = u"copied text";
  Error copied = Raise(Common::FILE_NOT_FOUND, local.c_str());
  auto* c = reinterpret_cast<const Common::TextErrorRecord*>(copied.GetHead());
  EXPECT_EQ(c->Header.Size, sizeof(Common::TextErrorRecord) + (local.size() + 1) * 2);
  EXPECT_NE(Common::RecordTextPointer(c), local.c_str());
  local[0] = u'X';
  Common::WString text;
  c->Header.Kind->GetText(text, &c->Header);
  EXPECT_EQ(text, u"copied text");

  Error none = Raise(Common::FILE_NOT_FOUND, nullptr);
  none.GetHead()->Kind->GetText(text, none.GetHead());
  EXPECT_EQ(text, u"");
}

TEST(ErrorTest, CopiesShareRecordsAndReleaseThem) {
  Error a = Raise(Common::FILE_READ_ERROR, u"a");
  {
    Error b = a;
    Error c;
    c = b;
    EXPECT_EQ(b.GetHead(), a.GetHead());
    EXPECT_EQ(Refs(a.GetHead()), 3u);
  }
  EXPECT_EQ(Refs(a.GetHead()), 1u);
  a = a;
  EXPECT_EQ(Refs(a.GetHead()), 1u);
}

// AddCause: (this error, cause) -> the chain codes afterwards.
TEST(ErrorTest, AddCauseCases) {
  Error cause = Raise(Common::FILE_READ_ERROR, u"cause");

  Error empty;
  empty.AddCause(cause);
  EXPECT_EQ(empty.GetHead(), cause.GetHead());

  Error unshared = Raise(Common::FILE_OPEN_ERROR, u"head");
  Error old = Raise(Common::FILE_SEEK_ERROR, u"old");
  unshared.AddCause(old);
  EXPECT_EQ(Refs(old.GetHead()), 2u);
  unshared.AddCause(cause);
  EXPECT_EQ(Refs(old.GetHead()), 1u) << "the replaced cause is released";
  EXPECT_EQ(unshared.GetHead()->Cause, cause.GetHead());

  Error shared = Raise(Common::FILE_OPEN_ERROR, u"shared");
  shared.AddCause(old);
  Error other = shared;
  ErrorRecord* oldHead = shared.GetHead();
  shared.AddCause(cause);
  EXPECT_NE(shared.GetHead(), oldHead) << "a shared head is cloned";
  EXPECT_EQ(other.GetHead(), oldHead);
  EXPECT_EQ(other.GetHead()->Cause, old.GetHead()) << "the other holder keeps its chain";
  EXPECT_EQ(shared.GetHead()->Cause, cause.GetHead());
  EXPECT_EQ(Refs(oldHead), 1u);

  Error withCause = Raise(Common::FILE_OPEN_ERROR, u"h");
  withCause.AddCause(old);
  withCause.AddCause(Error());
  EXPECT_EQ(withCause.GetHead()->Cause, nullptr);
  EXPECT_EQ(Refs(old.GetHead()), 2u);  // held by `old` and by `other`'s head
}

TEST(ErrorTest, AnErrorMadeItsOwnCauseIsClonedNotLooped) {
  Error e = Raise(Common::FILE_OPEN_ERROR, u"self");
  e.AddCause(Raise(Common::FILE_READ_ERROR, u"deeper"));
  ErrorRecord* original = e.GetHead();
  e.AddCause(e);
  EXPECT_NE(e.GetHead(), original);
  EXPECT_EQ(e.GetHead()->Cause, original);
  EXPECT_EQ(ChainLength(e), 3u);
  EXPECT_EQ(Refs(original), 1u);
}

TEST(ErrorTest, AddPosixErrorMakesAnErrnoCause) {
  Error e = Raise(Common::FILE_NOT_FOUND, u"x");
  e.AddPosixError(2);
  ASSERT_EQ(ChainLength(e), 2u);
  const ErrorRecord* posix = e.GetHead()->Cause;
  EXPECT_EQ(posix->Code, Common::POSIX_ERROR);
  EXPECT_EQ(posix->Kind->GetNumberParam(posix, "code"), 2u);
  EXPECT_EQ(posix->Kind->GetNumberParam(posix, "other"), 0u);
  EXPECT_EQ(posix->Line, 346u);
  EXPECT_STREQ(posix->Function, "AddPosixError");
  EXPECT_STREQ(posix->File, "core/common/error.cpp");
  EXPECT_EQ(posix->IdLow, 0x64EDB7BEu + 346);
  EXPECT_EQ(posix->IdHigh, 0xBD28FDBDu);
  EXPECT_STREQ(posix->Kind->GetParamNames(posix), "code,$module");
  Common::WString text;
  posix->Kind->GetText(text, posix);
  EXPECT_EQ(Common::ToUtf8(text.c_str()), std::strerror(2));

  Error twice = e;
  e.AddPosixError(13);
  EXPECT_EQ(ChainLength(e), 2u) << "a second errno cause replaces the first";
  EXPECT_EQ(e.GetHead()->Cause->Kind->GetNumberParam(e.GetHead()->Cause, "code"), 13u);
  EXPECT_EQ(twice.GetHead()->Cause->Kind->GetNumberParam(twice.GetHead()->Cause, "code"), 2u);
}

// Copies of one error are used and released on other threads while this one clones the
// shared head: the clone must never read the count that they change atomically.
TEST(ErrorTest, CloningASharedHeadWhileOtherHoldersCount) {
  Error posixHead;
  posixHead.AddPosixError(5);  // an empty error takes the errno record as its head
  const struct {
    const char* name;
    Error shared;
    uint32_t holders;  // once the other threads let go
  } cases[] = {{"text record", Raise(Common::FILE_OPEN_ERROR, u"shared"), 1},
               {"errno record", posixHead, 2}};
  for (const auto& c : cases) {
    std::atomic<bool> stop{false};
    std::thread holder([&] {
      while (!stop.load()) {
        Error copy = c.shared;
        Error another = copy;
      }
    });
    for (int i = 0; i < 2000; ++i) {
      Error mine = c.shared;
      mine.AddCause(Raise(Common::FILE_READ_ERROR, u"cause"));
      ASSERT_NE(mine.GetHead(), c.shared.GetHead()) << c.name;
      EXPECT_EQ(Refs(mine.GetHead()), 1u) << c.name;
      EXPECT_EQ(mine.GetHead()->Code, c.shared.GetCode()) << c.name;
    }
    stop.store(true);
    holder.join();
    EXPECT_EQ(Refs(c.shared.GetHead()), c.holders) << c.name;
  }
}

TEST(ErrorTest, EveryKindAnswersTheModuleParameter) {
  Error text = Raise(Common::FILE_NOT_FOUND, u"x");
  Error plain(kHere, Common::CHILD_STD_HANDLE_ERROR);
  Error posix = Raise(Common::FILE_NOT_FOUND, u"x");
  posix.AddPosixError(5);
  for (const ErrorRecord* r : {text.GetHead(), plain.GetHead(), posix.GetHead()->Cause}) {
    EXPECT_STREQ(r->Kind->GetAsciiParam(r, "$module"), "ormivane_packed_lx_31346");
    EXPECT_EQ(r->Kind->GetAsciiParam(r, "module"), nullptr);
    EXPECT_EQ(r->Kind->GetWideParam(r, "$module"), nullptr);
    EXPECT_EQ(r->Kind->GetNumberParam(r, "missing"), 0u);
  }
  EXPECT_STREQ(text.GetHead()->Kind->GetParamNames(text.GetHead()), "$module");
  EXPECT_EQ(plain.GetHead()->Size, sizeof(ErrorRecord));
}

TEST(ErrorTest, MakeErrorFillsTheCodesMessage) {
  Error e = Common::MakeError(kHere, Common::LAUNCHER_EXECUTE_FAILED, {u"tool -x"});
  Common::WString text;
  e.GetHead()->Kind->GetText(text, e.GetHead());
  EXPECT_EQ(text, u"Failed to execute command tool -x.");
  Error plain = Common::MakeError(kHere, Common::FILE_CORRUPTED);
  auto* r = reinterpret_cast<const Common::TextErrorRecord*>(plain.GetHead());
  EXPECT_EQ(Common::RecordTextPointer(r), Common::GetMessageText(Message(349)));
  EXPECT_EQ(Common::MakeError(kHere, Common::CHILD_STD_HANDLE_ERROR).GetHead()->Kind, &Common::PlainErrorKind);
}

TEST(ErrorTest, CodeTableNamesAndWords) {
  EXPECT_EQ(Common::HighWord(Common::CHILD_CMDLINE_SPLIT_FAILED), Common::FACILITY_CHILD_PROCESS);
  EXPECT_EQ(Common::LowWord(Common::CHILD_CMDLINE_SPLIT_FAILED), 5u);
  EXPECT_STREQ(Common::CodeName(0x4000E), "FILE_NOT_SUPPORTED");
  EXPECT_EQ(Common::CodeName(0x12345), nullptr);
  EXPECT_EQ(Common::MessageOfCode(Common::INSTALLER_INTERNAL_ERROR), 154u);
}

TEST(ErrorTest, OutOfMemoryGivesTheSharedRecord) {
  ErrorRecord* oom = Common::GetOutOfMemoryRecord();
  uint32_t before = Refs(oom);
  {
    Testing::FailArrayNew = true;  // array new is how records are allocated
    Error text = Raise(Common::FILE_NOT_FOUND, u"lost");
    Error plain(kHere, Common::FILE_NOT_FOUND);
    Error withPosix = Raise(Common::FILE_OPEN_ERROR, u"lost");
    withPosix.AddPosixError(2);
    Testing::FailArrayNew = false;
    EXPECT_EQ(text.GetHead(), oom);
    EXPECT_EQ(plain.GetHead(), oom);
    EXPECT_EQ(withPosix.GetHead(), oom);
    EXPECT_EQ(oom->Code, Common::OUT_OF_MEMORY);
    EXPECT_EQ(oom->Line, 0u);
    EXPECT_EQ(oom->File, nullptr);
    EXPECT_EQ(Refs(oom), before + 3);  // text, plain, withPosix; the failed cause did not stay

    // With memory back, adding a cause clones the shared record.
    Error cause = Raise(Common::FILE_READ_ERROR, u"cause");
    text.AddCause(cause);
    EXPECT_NE(text.GetHead(), oom);
    EXPECT_EQ(text.GetHead()->Code, Common::OUT_OF_MEMORY);
    EXPECT_EQ(text.GetHead()->Cause, cause.GetHead());
  }
  EXPECT_EQ(Refs(oom), before);
}

}  // namespace
