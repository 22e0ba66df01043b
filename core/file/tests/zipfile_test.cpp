// The ZIP reader: locating the end record, the central directory as a directory, and the
// entry files, over archives that the fixture tool builds (some with lying fields).
#include "core/file/zipfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/common/text.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/fixtures.h"
#include "tools/testing/location_id.h"
#include "tools/testing/memory_ri_file.h"

namespace {

using ::testing::AllOf;
using Testing::HasCode;
using Testing::RaisedAt;

using Bytes = std::vector<unsigned char>;
using Testing::MemoryRiFile;

constexpr Common::SourceFileId kZipfile = Common::Locations::CoreFileZipfile;
constexpr Common::SourceFile kZipfileSource{kZipfile, "core/file/zipfile.cpp"};
const Bytes kEndSignature = {0x50, 0x4B, 0x05, 0x06};

Bytes ZipBytes(const std::string& spec) {
  Testing::TempDir dir;
  EXPECT_TRUE(Testing::MakeZip(dir.File("a.zip"), spec)) << spec;
  return Testing::ReadFileBytes(dir.File("a.zip"));
}

Bytes ElfBytes(const std::string& spec) {
  Testing::TempDir dir;
  EXPECT_TRUE(Testing::MakeElf(dir.File("a.elf"), spec)) << spec;
  return Testing::ReadFileBytes(dir.File("a.elf"));
}

// A ZIP spec as an ELF section: {"class": .., "sections": [{"name": ".zip", "zip": ...}]}.
std::string ElfSpec(int elfClass, const std::string& zipSpec, const std::string& more = "") {
  return "{\"class\": " + std::to_string(elfClass) + ", \"sections\": [{\"name\": \".text\", \"hex\": \"90909090\"}, " +
         "{\"name\": \".zip\", \"zip\": " + zipSpec + "}, {\"name\": \".bss\", \"size\": 100000}]" + more + "}";
}

// A stray end-record signature after everything: only the section road looks past it.
const std::string kDecoyTrailer = ", \"trailer_hex\": \"504b0506000000000000000000000000000000000000\"";

const std::string kSmallZip = R"({"entries": [{"name": "a.txt", "text": "hello"}]})";

uint64_t ElfHeaderBytes(int elfClass) { return elfClass == 64 ? 64 : 52; }

// Offset of the end record inside the ".zip" section that ElfSpec puts second, after the
// four bytes of ".text".
uint64_t SectionEndRecord(int elfClass, const std::string& zipSpec) {
  return ElfHeaderBytes(elfClass) + 4 + ZipBytes(zipSpec).size() - 22;
}

uint64_t Locate(const Bytes& bytes, Common::Error& error) {
  MemoryRiFile file(bytes);
  return LocateCentralDirEnd(file, error);
}

// ---- Locating the end record ----

TEST(LocateCentralDirEndTest, PlainZipFilesAreFoundByTheBackwardSearch) {
  struct Case {
    const char* spec;
    uint64_t commentBytes;
  } cases[] = {
      {R"({"entries": [{"name": "a", "text": "x"}]})", 0},
      {R"({"entries": [{"name": "a", "text": "x"}], "comment": "a comment"})", 9},
      // The end record starts exactly 65535 bytes before the end of the file.
      {R"({"entries": [{"name": "a", "text": "x"}], "comment_bytes": 65513})", 65513},
  };
  for (const Case& c : cases) {
    Bytes bytes = ZipBytes(c.spec);
    Common::Error error = Common::MakeError(
        Common::MakeLocation(kZipfile, "core/file/tests/zipfile_test.cpp", "TestBody", 1), Common::FILE_READ_ERROR);
    EXPECT_EQ(Locate(bytes, error), bytes.size() - 22 - c.commentBytes) << c.spec;
    EXPECT_TRUE(error.IsEmpty());
  }
}

TEST(LocateCentralDirEndTest, NothingIsFoundOutsideTheSearchedTail) {
  const char* specs[] = {
      // One byte further back than the search reaches.
      R"({"entries": [{"name": "a", "text": "x"}], "comment_bytes": 65514})",
      // An empty archive of exactly 22 bytes: its record sits at offset 0.
      R"({"entries": []})",
  };
  for (const char* spec : specs) {
    Common::Error error;
    EXPECT_EQ(Locate(ZipBytes(spec), error), 0u) << spec;
    EXPECT_THAT(
        error, AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"SearchCentralDir", 472})));
  }
}

TEST(LocateCentralDirEndTest, SmallFilesReadNoWindow) {
  for (size_t size : {0, 1, 18, 22, 23}) {
    Bytes bytes(size, 0);
    if (size >= 4) std::memcpy(bytes.data(), kEndSignature.data(), 4);
    MemoryRiFile file(bytes);
    Common::Error error;
    EXPECT_EQ(LocateCentralDirEnd(file, error), 0u) << size;
    EXPECT_THAT(
        error, AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"SearchCentralDir", 472})));
    EXPECT_EQ(file.ReadCalls(), 1u) << "only the ELF probe reads, size " << size;
  }
}

TEST(LocateCentralDirEndTest, TheSignatureNearestTheEndWins) {
  // A second end record after the comment of the first.
  Bytes bytes = ZipBytes(
      R"({"entries": [{"name": "a", "text": "x"}], "comment": "c",
          "suffix_hex": "504b0506000000000000000000000000000000000000"})");
  Common::Error error;
  EXPECT_EQ(Locate(bytes, error), bytes.size() - 22);
  // Windows overlap by 4 bytes: a signature on a window boundary is still seen.
  for (size_t back : {1020, 1021, 1022, 1023, 1024, 1025, 2044, 2045}) {
    Bytes filler(back + 40, 'f');
    size_t at = filler.size() - back - 4;
    std::memcpy(filler.data() + at, kEndSignature.data(), 4);
    EXPECT_EQ(Locate(filler, error), at) << back;
  }
}

TEST(LocateCentralDirEndTest, TheElfRoadFindsTheRecordThatClosesTheZipSection) {
  for (int elfClass : {32, 64}) {
    Bytes bytes = ElfBytes(ElfSpec(elfClass, kSmallZip, kDecoyTrailer));
    Common::Error error;
    EXPECT_EQ(Locate(bytes, error), SectionEndRecord(elfClass, kSmallZip)) << elfClass;
    EXPECT_TRUE(error.IsEmpty());
  }
  // An ELF64 file is read little-endian whatever its data byte says.
  Bytes bigEndianMark = ElfBytes(ElfSpec(64, kSmallZip, kDecoyTrailer + ", \"data\": 2"));
  Common::Error error;
  EXPECT_EQ(Locate(bigEndianMark, error), SectionEndRecord(64, kSmallZip));
}

TEST(LocateCentralDirEndTest, AnArchiveWithACommentFallsBackToTheWholeFile) {
  const std::string withComment = R"({"entries": [{"name": "a", "text": "x"}], "comment": "note"})";
  Bytes decoyed = ElfBytes(ElfSpec(32, withComment, kDecoyTrailer));
  Common::Error error;
  EXPECT_EQ(Locate(decoyed, error), decoyed.size() - 22);
  Bytes plain = ElfBytes(ElfSpec(32, withComment));
  EXPECT_EQ(Locate(plain, error), SectionEndRecord(32, withComment) - 4);
}

// Every lie of the ELF headers sends the search to the end of the file (where the decoy
// is), and none of them may make the reader leave what it read.
TEST(LocateCentralDirEndTest, LyingElfHeadersFallBackWithoutReadingOutOfBounds) {
  struct Case {
    int elfClass;
    const char* more;
  } cases[] = {
      {32, R"(, "header": {"e_version": 2})"},
      {32, R"(, "header": {"e_ehsize": 51})"},
      {64, R"(, "header": {"e_ehsize": 63})"},
      {32, R"(, "header": {"e_shnum": 0})"},
      {32, R"(, "header": {"e_shentsize": 0})"},
      {32, R"(, "header": {"e_shentsize": 8})"},
      {64, R"(, "header": {"e_shentsize": 39})"},
      {32, R"(, "header": {"e_shstrndx": 5})"},
      {32, R"(, "header": {"e_shstrndx": 65535})"},
      {32, R"(, "header": {"e_shoff": 4294967295})"},
      {64, R"(, "header": {"e_shoff": 18446744073709551600})"},
      {32, R"(, "header": {"e_shnum": 65535})"},
      {32, R"(, "shstrtab": {"sh_size": 4294967295})"},
      {64, R"(, "shstrtab": {"sh_offset": 18446744073709551615, "sh_size": 2})"},
      {32, R"(, "shstrtab": {"sh_size": 0})"},
      // The name table's last name loses its NUL.
      {32, R"(, "names_hex": "002e74657874")"},
      {32, R"(, "header": {"magic": 1179403648})"},
      {32, R"(, "header": {"class": 3})"},
      {32, R"(, "data": 2)"},
      {32, R"(, "header": {"version": 0})"},
  };
  for (const Case& c : cases) {
    Bytes bytes = ElfBytes(ElfSpec(c.elfClass, kSmallZip, kDecoyTrailer + c.more));
    Common::Error error;
    EXPECT_EQ(Locate(bytes, error), bytes.size() - 22) << c.elfClass << c.more;
    EXPECT_TRUE(error.IsEmpty()) << c.more;
  }
}

TEST(LocateCentralDirEndTest, LyingZipSectionsFallBack) {
  const char* sections[] = {
      R"({"name": ".zip", "zip": {"entries": [{"name": "a", "text": "x"}]}, "sh_size": 4294967295})",
      R"({"name": ".zip", "zip": {"entries": [{"name": "a", "text": "x"}]}, "sh_size": 10})",
      R"({"name": ".zip", "zip": {"entries": [{"name": "a", "text": "x"}]}, "sh_name": 9999})",
      R"({"name": ".zipx", "zip": {"entries": [{"name": "a", "text": "x"}]}})",
      R"({"name": ".zi", "zip": {"entries": [{"name": "a", "text": "x"}]}})",
      R"({"name": ".zip", "zip": {"entries": [{"name": "a", "text": "x"}]}, "sh_offset": 0})",
  };
  for (const char* section : sections) {
    std::string spec = std::string("{\"class\": 32, \"sections\": [") + section + "]" + kDecoyTrailer + "}";
    Bytes bytes = ElfBytes(spec);
    Common::Error error;
    EXPECT_EQ(Locate(bytes, error), bytes.size() - 22) << section;
  }
  // A section that reaches past the end of a 64-bit offset.
  Bytes wrap = ElfBytes(std::string(R"({"class": 64, "sections": [{"name": ".zip", "hex": "00",
      "sh_offset": 18446744073709551615, "sh_size": 30}])") + kDecoyTrailer + "}");
  Common::Error error;
  EXPECT_EQ(Locate(wrap, error), wrap.size() - 22);
}

// A real program (this one) with an archive added by objcopy and a stray end record
// appended after everything: the backward search would take the stray one.
TEST(LocateCentralDirEndTest, ARealProgramsZipSectionIsFoundThroughItsHeaders) {
  Testing::TempDir dir;
  ASSERT_TRUE(Testing::MakeZip(dir.File("a.zip"), R"({"entries": [{"name": "inside", "text": "carried"}]})"));
  ASSERT_TRUE(Testing::EmbedArchive(Common::GetModulePath(), dir.File("a.zip"), dir.File("program"), true));
  Bytes bytes = Testing::ReadFileBytes(dir.File("program"));
  ASSERT_GT(bytes.size(), 100000u);
  ASSERT_TRUE(std::equal(kEndSignature.begin(), kEndSignature.end(), bytes.end() - 22));
  size_t size = bytes.size();
  std::unique_ptr<si_dir> archive(OpenZipArchive(new MemoryRiFile(std::move(bytes))));
  ASSERT_TRUE(archive) << "a program of " << size << " bytes";
  std::unique_ptr<si_file> file(archive->OpenI(u"inside", false));
  ASSERT_TRUE(file);
  char buffer[16];
  uint32_t done = 0;
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(std::string(buffer, done), "carried");
}

TEST(LocateCentralDirEndTest, AFailedReadOfTheSearchCarriesTheSourceError) {
  Bytes bytes = ZipBytes(kSmallZip);
  MemoryRiFile file(bytes);
  file.FailReadsFrom(bytes.size() - 30);
  Common::Error error;
  EXPECT_EQ(LocateCentralDirEnd(file, error), 0u);
  EXPECT_THAT(error,
              AllOf(HasCode(Common::FILE_READ_ERROR), RaisedAt(kZipfileSource, Common::Site{"SearchCentralDir", 460})));
  EXPECT_EQ(Testing::LocationId(error), 0x86137B9D60C18128u);  // zipfile, line 460
  ASSERT_NE(error.GetHead()->Cause, nullptr);
  EXPECT_EQ(error.GetHead()->Cause->Code, Common::FILE_READ_ERROR);
  EXPECT_STREQ(error.GetHead()->Cause->Function, "MemoryRead");
  EXPECT_TRUE(file.last_error.IsEmpty()) << "the source's error was moved into the cause";
}

// ---- The central directory ----

std::unique_ptr<si_dir> OpenArchive(const Bytes& bytes) {
  return std::unique_ptr<si_dir>(OpenZipArchive(new MemoryRiFile(bytes)));
}

std::string ReadAll(si_file& file, uint32_t piece = 65536) {
  std::string out;
  std::vector<char> buffer(piece);
  for (;;) {
    uint32_t done = 0;
    file.Read(buffer.data(), piece, &done);
    if (done == 0) return out;
    out.append(buffer.data(), done);
  }
}

std::string ReadEntry(si_dir& dir, const char16_t* name, uint32_t piece = 65536) {
  std::unique_ptr<si_file> file(dir.OpenI(name, false));
  if (!file) return "<missing>";
  std::string data = ReadAll(*file, piece);
  if (file->last_error) return "<error " + std::to_string(file->last_error.GetCode()) + ">";
  return data;
}

std::string Utf8(const char16_t* text) { return Common::ToUtf8(text); }

TEST(ZipDirectoryTest, TheIteratorWalksEveryEntryOnce) {
  std::string spec = R"({"entries": [)";
  for (int i = 0; i < 16; ++i) {
    spec += (i ? ", " : "") + std::string(R"({"name": "entry)") + std::to_string(i) + R"(", "text": ")" +
            std::string(i, 'x') + R"(", "method": )" + (i % 2 ? "8" : "0") + "}";
  }
  spec += "]}";
  auto dir = OpenArchive(ZipBytes(spec));
  ASSERT_TRUE(dir);
  std::unique_ptr<i_dir::iterator> it(dir->GetIterator());
  ASSERT_TRUE(it);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(Utf8(it->GetName()), "entry" + std::to_string(i));
    EXPECT_EQ(it->GetSize(), static_cast<uint64_t>(i));
    EXPECT_EQ(it->GetType(), 0u);
    EXPECT_TRUE(it->last_error.IsEmpty());
    it->Next();
  }
  EXPECT_THAT(it->last_error,
              AllOf(HasCode(Common::FILE_END_OF_FILE), RaisedAt(kZipfileSource, Common::Site{"Next", 584})));
  EXPECT_EQ(Utf8(it->GetName()), "entry15") << "the iterator stays on its last entry";
}

TEST(ZipDirectoryTest, NamesMatchIgnoringAsciiCaseAndWithBackslashForSlash) {
  auto dir = OpenArchive(ZipBytes(R"({"entries": [
      {"name": "Dir/Sub/File.TXT", "text": "file"},
      {"name_hex": "6261636b5c736c617368", "text": "backslash"},
      {"name_hex": "80ff2e62696e", "text": "high"},
      {"name_hex": "e9", "text": "e-acute"},
      {"name": "dir/", "text": ""}]})"));
  ASSERT_TRUE(dir);
  struct Case {
    const char16_t* request;
    const char* found;
  } cases[] = {
      {u"Dir/Sub/File.TXT", "file"},
      {u"dir/sub/file.txt", "file"},
      {u"DIR\\SUB\\FILE.TXT", "file"},
      {u"dir\\sub/file.txt", "file"},
      {u"dir/sub/file.tx", "<missing>"},
      {u"dir/sub/file.txtx", "<missing>"},
      {u"dir/sub\\\\file.txt", "<missing>"},
      // A stored backslash never matches.
      {u"back\\slash", "<missing>"},
      {u"back/slash", "<missing>"},
      {u"\u0080\u00ff.bin", "high"},
      {u"\u0080\u00ff.BIN", "high"},
      {u"\u0080\u0178.bin", "<missing>"},
      // Only ASCII letters fold.
      {u"\u00c9", "<missing>"},
      {u"\u00e9", "e-acute"},
      {u"DIR/", ""},
      {u"dir\\", ""},
      {u"", "<missing>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadEntry(*dir, c.request), c.found) << Utf8(c.request);
  }
  EXPECT_EQ(dir->GetIterator(u"absent"), nullptr);
  EXPECT_THAT(dir->last_error,
              AllOf(HasCode(Common::FILE_END_OF_FILE), RaisedAt(kZipfileSource, Common::Site{"Next", 584})));
  std::unique_ptr<i_dir::iterator> it(dir->GetIterator(u"DIR/SUB/FILE.TXT"));
  ASSERT_TRUE(it);
  EXPECT_TRUE(dir->last_error.IsEmpty());
}

TEST(ZipDirectoryTest, LyingEndRecordsAndCentralHeadersAreRefused) {
  struct Case {
    const char* spec;
    uint32_t code;
    const char* function;
    uint32_t line;  // 0: a bounds check of the central directory
  } cases[] = {
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"disk": 1}})", Common::FILE_CORRUPTED, "zip_file_impl", 244},
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"cd_disk": 1}})", Common::FILE_CORRUPTED, "zip_file_impl",
       244},
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"entries_disk": 2}})", Common::FILE_CORRUPTED,
       "zip_file_impl", 244},
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"entries_disk": 0, "entries_total": 0}})",
       Common::FILE_CORRUPTED, "zip_file_impl", 244},
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"cd_offset": 4000}})", Common::FILE_CORRUPTED,
       "zip_file_impl", 244},
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"cd_size": 4294967295}})", Common::FILE_CORRUPTED,
       "zip_file_impl", 244},
      // More entries than the central directory holds.
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"entries_disk": 2, "entries_total": 2}})",
       Common::FILE_CORRUPTED, "zip_file_impl", 0},
      // Variable fields that reach past the central directory.
      {R"({"entries": [{"name": "a", "text": "x", "central": {"name_len": 300}}]})", Common::FILE_CORRUPTED,
       "zip_file_impl", 0},
      {R"({"entries": [{"name": "a", "text": "x", "central": {"extra_len": 1}}]})", Common::FILE_CORRUPTED,
       "zip_file_impl", 0},
      {R"({"entries": [{"name": "a", "text": "x", "central": {"comment_len": 65535}}]})", Common::FILE_CORRUPTED,
       "zip_file_impl", 0},
      {R"({"entries": [{"name": "a", "text": "x"}], "end": {"cd_size": 40, "cd_offset": 52}})",
       Common::FILE_CORRUPTED, "zip_file_impl", 0},
  };
  for (const Case& c : cases) {
    Bytes bytes = ZipBytes(c.spec);
    zip_file_impl archive(new MemoryRiFile(bytes));
    ASSERT_EQ(archive.last_error.GetCode(), c.code) << c.spec;
    EXPECT_STREQ(archive.last_error.GetHead()->Function, c.function);
    if (c.line != 0) {
      EXPECT_EQ(archive.last_error.GetHead()->Line, c.line) << c.spec;
    }
    EXPECT_EQ(archive.GetIterator(), nullptr);
    EXPECT_THAT(archive.last_error,
                AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"GetIterator", 507})));
    EXPECT_EQ(OpenArchive(bytes), nullptr) << c.spec;
  }
}

// After the search come two reads: the end record, then the central directory. Either
// failing fails the construction with the source's error as the cause.
TEST(ZipDirectoryTest, FailedReadsOfTheEndRecordAndTheCentralDirectory) {
  Bytes bytes = ZipBytes(kSmallZip);
  MemoryRiFile searched(bytes);
  Common::Error ignored;
  ASSERT_NE(LocateCentralDirEnd(searched, ignored), 0u);
  const uint32_t searchReads = searched.ReadCalls();
  const struct {
    uint32_t call;
    uint32_t line;
  } cases[] = {{searchReads + 1, 235}, {searchReads + 2, 258}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto* source = new MemoryRiFile(bytes);
    source->FailReadCall(c.call);
    zip_file_impl archive(source);
    EXPECT_THAT(archive.last_error, AllOf(HasCode(Common::FILE_READ_ERROR),
                                          RaisedAt(kZipfileSource, Common::Site{"zip_file_impl", c.line})));
    ASSERT_NE(archive.last_error.GetHead()->Cause, nullptr);
    EXPECT_EQ(archive.last_error.GetHead()->Cause->Code, Common::FILE_READ_ERROR);
    EXPECT_STREQ(archive.last_error.GetHead()->Cause->Function, "MemoryRead");
    EXPECT_TRUE(source->last_error.IsEmpty()) << "the source's error was moved into the cause";
    EXPECT_EQ(archive.GetIterator(), nullptr);
    EXPECT_THAT(archive.last_error,
                AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"GetIterator", 507})));
  }
}

TEST(ZipDirectoryTest, AnArchiveInsideALargerFileReadsFromItsOwnStart) {
  auto dir = OpenArchive(ZipBytes(R"({"prefix": 777, "entries": [
      {"name": "one", "text": "first entry"}, {"name": "two", "repeat": ["abc", 500], "method": 8}]})"));
  ASSERT_TRUE(dir);
  EXPECT_EQ(ReadEntry(*dir, u"one"), "first entry");
  std::string abc;
  for (int i = 0; i < 500; ++i) abc += "abc";
  EXPECT_EQ(ReadEntry(*dir, u"two"), abc);
}

TEST(ZipDirectoryTest, CopiesIdentifiersAndUnsupportedOperations) {
  auto dir = OpenArchive(ZipBytes(R"({"entries": [{"name": "a", "text": "A"}, {"name": "b", "text": "B"}]})"));
  ASSERT_TRUE(dir);
  std::unique_ptr<si_dir> self(dir->OpenDir(u"."));
  const char16_t* path = u"x/y";
  std::unique_ptr<si_dir> parent(dir->GetParentDir(&path));
  ASSERT_TRUE(self && parent);
  EXPECT_STREQ(Utf8(path).c_str(), "x/y") << "the path is not advanced";
  EXPECT_EQ(dir->CompareLocation(dir.get()), 0u);
  EXPECT_EQ(dir->CompareLocation(self.get()), 2u);
  EXPECT_EQ(self->CompareLocation(parent.get()), 2u);
  EXPECT_EQ(ReadEntry(*self, u"b"), "B");
  EXPECT_FALSE(dir->IsCaseSensitive());

  std::unique_ptr<i_dir::iterator> it(dir->GetIterator());
  std::unique_ptr<file_identifier> first(it->GetIdentifier());
  std::unique_ptr<file_identifier> clone(first->Clone());
  it->Next();
  std::unique_ptr<file_identifier> second(it->GetIdentifier());
  EXPECT_EQ(dir->CompareIdentifiers(first.get(), clone.get()), 0);
  EXPECT_EQ(dir->CompareIdentifiers(first.get(), second.get()), 1);
  std::unique_ptr<i_dir::iterator> again(dir->GetIterator(clone.get()));
  ASSERT_TRUE(again);
  EXPECT_EQ(Utf8(again->GetName()), "a");
  std::unique_ptr<si_file> byId(dir->OpenI(second.get(), false));
  ASSERT_TRUE(byId);
  EXPECT_EQ(ReadAll(*byId), "B");
  std::unique_ptr<si_file> byIterator(dir->OpenI(again.get(), false));
  ASSERT_TRUE(byIterator);
  EXPECT_EQ(ReadAll(*byIterator), "A");

  struct Failure {
    std::function<void*()> call;
    uint32_t code;
    const char* function;
    uint32_t line;
  } failures[] = {
      {[&] { return dir->OpenDir(u".."); }, Common::FILE_NOT_SUPPORTED, "OpenDir", 285},
      {[&] { return dir->OpenDir(u"./"); }, Common::FILE_NOT_SUPPORTED, "OpenDir", 285},
      {[&] { return dir->OpenDir(it.get()); }, Common::FILE_NOT_SUPPORTED, "OpenDir", 291},
      {[&] { return dir->OpenDir(first.get()); }, Common::FILE_NOT_SUPPORTED, "OpenDir", 297},
      {[&] { return dir->GetSelfIterator(); }, Common::FILE_NOT_SUPPORTED, "GetSelfIterator", 547},
      {[&] { return dir->GetIterator(static_cast<const file_identifier*>(nullptr)); }, Common::FILE_NOT_FOUND,
       "GetIterator", 541},
      {[&] { return dir->OpenI(static_cast<const file_identifier*>(nullptr), false); }, Common::FILE_OPEN_ERROR,
       "OpenI", 499},
  };
  for (const Failure& f : failures) {
    EXPECT_EQ(f.call(), nullptr) << f.function << f.line;
    EXPECT_THAT(dir->last_error, AllOf(HasCode(f.code), RaisedAt(kZipfileSource, Common::Site{f.function, f.line})));
  }
  // An iterator that has run past the end cannot open anything.
  it->Next();
  ASSERT_TRUE(it->last_error);
  EXPECT_EQ(dir->OpenI(it.get(), false), nullptr);
  EXPECT_THAT(dir->last_error,
              AllOf(HasCode(Common::FILE_OPEN_ERROR), RaisedAt(kZipfileSource, Common::Site{"OpenI", 480})));
}

TEST(ZipDirectoryTest, EntriesAndIteratorsOutliveTheDirectory) {
  auto dir = OpenArchive(ZipBytes(R"({"entries": [{"name": "a", "repeat": ["z", 5000], "method": 8}]})"));
  ASSERT_TRUE(dir);
  std::unique_ptr<si_file> file(dir->OpenI(u"A", false));
  std::unique_ptr<i_dir::iterator> it(dir->GetIterator());
  dir.reset();
  ASSERT_TRUE(file);
  EXPECT_EQ(ReadAll(*file), std::string(5000, 'z'));
  EXPECT_EQ(Utf8(it->GetName()), "a");
}

// Identifiers point into their archive's central directory, which goes with it: one of
// another archive must be refused, never read, by every operation that takes one.
TEST(ZipDirectoryTest, IteratorsAndIdentifiersOfAnotherArchiveAreRefused) {
  const std::string spec = R"({"entries": [{"name": "a", "text": "A"}, {"name": "b", "text": "B"}]})";
  auto dir = OpenArchive(ZipBytes(spec));
  auto other = OpenArchive(ZipBytes(spec));
  ASSERT_TRUE(dir && other);
  std::unique_ptr<i_dir::iterator> foreign(other->GetIterator(u"b"));
  ASSERT_TRUE(foreign);
  std::unique_ptr<file_identifier> gone;
  {
    auto gone_archive = OpenArchive(ZipBytes(spec));
    std::unique_ptr<i_dir::iterator> it(gone_archive->GetIterator(u"b"));
    gone.reset(it->GetIdentifier());
  }
  std::unique_ptr<si_dir> self(dir->OpenDir(u"."));
  std::unique_ptr<i_dir::iterator> ownCopy(self->GetIterator(u"b"));
  std::unique_ptr<file_identifier> ownCopyId(ownCopy->GetIdentifier());

  EXPECT_EQ(dir->OpenI(foreign.get(), false), nullptr);
  EXPECT_THAT(dir->last_error,
              AllOf(HasCode(Common::FILE_OPEN_ERROR), RaisedAt(kZipfileSource, Common::Site{"OpenI", 480})));
  EXPECT_EQ(dir->OpenI(gone.get(), false), nullptr);
  EXPECT_THAT(dir->last_error,
              AllOf(HasCode(Common::FILE_OPEN_ERROR), RaisedAt(kZipfileSource, Common::Site{"OpenI", 499})));
  EXPECT_EQ(dir->GetIterator(gone.get()), nullptr);
  EXPECT_THAT(dir->last_error,
              AllOf(HasCode(Common::FILE_NOT_FOUND), RaisedAt(kZipfileSource, Common::Site{"GetIterator", 541})));

  // A copy of this archive (OpenDir ".") shares its central directory: its iterators and
  // identifiers belong here.
  std::unique_ptr<si_file> byIterator(dir->OpenI(ownCopy.get(), false));
  ASSERT_TRUE(byIterator);
  EXPECT_EQ(ReadAll(*byIterator), "B");
  std::unique_ptr<i_dir::iterator> byId(dir->GetIterator(ownCopyId.get()));
  ASSERT_TRUE(byId);
  EXPECT_EQ(Utf8(byId->GetName()), "b");
}

// ---- Entries ----

struct EntryRead {
  std::string data;
  Common::Error error;
};

EntryRead ReadOnly(const std::string& spec, const char16_t* name, uint32_t piece) {
  auto dir = OpenArchive(ZipBytes(spec));
  EntryRead result;
  if (!dir) return {"<no archive>", {}};
  std::unique_ptr<si_file> file(dir->OpenI(name, false));
  if (!file) return {"<no entry>", dir->last_error};
  result.data = ReadAll(*file, piece);
  result.error = file->last_error;
  return result;
}

TEST(ZipEntryTest, StoredAndDeflatedEntriesReadTheSameInAnyPieces) {
  const char* specs[] = {
      R"({"entries": [{"name": "e", "text": "0123456789"}]})",
      R"({"entries": [{"name": "e", "repeat": ["The quick brown fox. ", 4000], "method": 8}]})",
      R"({"entries": [{"name": "e", "random": [100000, 7], "method": 8}]})",
      R"({"entries": [{"name": "e", "random": [70000, 3], "method": 0}]})",
      R"({"entries": [{"name": "e", "repeat": ["described ", 300], "method": 8, "descriptor": true}]})",
      R"({"entries": [{"name": "e", "text": "stored and described", "descriptor": true}]})",
      R"({"entries": [{"name": "e", "text": ""}]})",
      R"({"entries": [{"name": "e", "text": "", "method": 8}]})",
  };
  for (const char* spec : specs) {
    EntryRead whole = ReadOnly(spec, u"e", 1 << 20);
    EXPECT_TRUE(whole.error.IsEmpty()) << spec;
    for (uint32_t piece : {1u, 7u, 4096u}) {
      if (piece == 1 && whole.data.size() > 20000) continue;
      EntryRead pieces = ReadOnly(spec, u"e", piece);
      EXPECT_EQ(pieces.data, whole.data) << spec << " in pieces of " << piece;
      EXPECT_TRUE(pieces.error.IsEmpty()) << spec;
    }
  }
  EXPECT_EQ(ReadOnly(specs[0], u"e", 4096).data, "0123456789");
  EXPECT_EQ(ReadOnly(specs[2], u"e", 4096).data.size(), 100000u);
}

TEST(ZipEntryTest, TheEndCallComparesTheCrc) {
  auto dir = OpenArchive(ZipBytes(R"({"entries": [{"name": "e", "text": "0123456789", "crc": 305419896}]})"));
  ASSERT_TRUE(dir);
  std::unique_ptr<si_file> file(dir->OpenI(u"e", false));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Size(), 10u);
  char buffer[4096];
  uint32_t done = 0;
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 10u);
  EXPECT_TRUE(file->last_error.IsEmpty()) << "a reader that stops at the size never compares";
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_THAT(file->last_error,
              AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"Read", 82})));
  // A length of 0 does nothing, even at the end.
  std::unique_ptr<si_file> again(dir->OpenI(u"e", false));
  again->Read(buffer, 0, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(again->last_error.IsEmpty());
}

TEST(ZipEntryTest, BrokenEntriesFailAsTheirFaultSays) {
  struct Case {
    const char* spec;
    uint32_t code;
    const char* function;
    uint32_t line;
  } cases[] = {
      {R"({"entries": [{"name": "e", "text": "x", "method": 12}]})", Common::FILE_NOT_SUPPORTED, "ReadLocalHeader",
       198},
      {R"({"entries": [{"name": "e", "text": "x", "method": 9}]})", Common::FILE_NOT_SUPPORTED, "ReadLocalHeader",
       198},
      {R"({"entries": [{"name": "e", "text": "x", "local": {"signature": 1}}]})", Common::FILE_CORRUPTED,
       "ReadLocalHeader", 215},
      {R"({"entries": [{"name": "e", "text": "x", "local": {"method": 8}}]})", Common::FILE_CORRUPTED,
       "ReadLocalHeader", 215},
      {R"({"entries": [{"name": "e", "text": "x", "local": {"crc": 1}}]})", Common::FILE_CORRUPTED,
       "ReadLocalHeader", 215},
      {R"({"entries": [{"name": "e", "text": "x", "local": {"usize": 2}}]})", Common::FILE_CORRUPTED,
       "ReadLocalHeader", 215},
      // Zero CRC and sizes in the local header without the descriptor flag.
      {R"({"entries": [{"name": "e", "text": "xyz", "descriptor": true, "local": {"flags": 0}}]})",
       Common::FILE_CORRUPTED, "ReadLocalHeader", 215},
      // A local header offset beyond the file.
      {R"({"entries": [{"name": "e", "text": "x", "central": {"offset": 100000}}]})", Common::FILE_END_OF_FILE, "Read",
       27},
      // A deflate stream cut short, and data that is not deflate data.
      {R"({"entries": [{"name": "e", "random": [5000, 1], "method": 8, "truncate": 100}]})", Common::FILE_CORRUPTED,
       "Read", 141},
      {R"({"entries": [{"name": "e", "text": "not deflate at all", "method": 0, "local": {"method": 8},
           "central": {"method": 8}}]})",
       Common::FILE_CORRUPTED, "Read", 141},
      // Sizes that promise more than the archive holds.
      {R"({"entries": [{"name": "e", "text": "short", "descriptor": true,
           "central": {"usize": 100000, "csize": 100000}}]})",
       Common::FILE_CORRUPTED, "Read", 141},
      {R"({"entries": [{"name": "e", "text": "short", "descriptor": true, "central": {"usize": 50}}]})",
       Common::FILE_CORRUPTED, "Read", 141},
  };
  for (const Case& c : cases) {
    EntryRead read = ReadOnly(c.spec, u"e", 4096);
    SCOPED_TRACE(c.spec);
    if (c.line == 27) {
      ASSERT_EQ(read.error.GetCode(), Common::FILE_READ_ERROR);
      ASSERT_NE(read.error.GetHead()->Cause, nullptr);
      EXPECT_EQ(read.error.GetHead()->Line, 205u);
      EXPECT_EQ(read.error.GetHead()->Cause->Code, c.code);
      continue;
    }
    EXPECT_THAT(read.error, AllOf(HasCode(c.code), RaisedAt(kZipfileSource, Common::Site{c.function, c.line})));
  }
}

TEST(ZipEntryTest, ACutStreamDeliversWhatInflatesFirst) {
  EntryRead read =
      ReadOnly(R"({"entries": [{"name": "e", "repeat": ["abcdefgh", 20000], "method": 8, "truncate": 40}]})", u"e", 100);
  EXPECT_THAT(read.error, AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"Read", 141})));
  EXPECT_GT(read.data.size(), 1000u);
  EXPECT_LT(read.data.size(), 160000u);
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "abcdefgh";
  EXPECT_EQ(read.data, expected.substr(0, read.data.size()));
}

TEST(ZipEntryTest, AnUnsupportedEntryOpensAndAnswersItsSize) {
  auto dir = OpenArchive(ZipBytes(R"({"entries": [{"name": "e", "text": "12345", "method": 12}]})"));
  std::unique_ptr<si_file> file(dir->OpenI(u"e", false));
  ASSERT_TRUE(file);
  EXPECT_TRUE(dir->last_error.IsEmpty());
  EXPECT_EQ(file->Size(), 5u);
  char buffer[16];
  uint32_t done = 7;
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_THAT(file->last_error, AllOf(HasCode(Common::FILE_NOT_SUPPORTED),
                                      RaisedAt(kZipfileSource, Common::Site{"ReadLocalHeader", 198})));
}

TEST(ZipEntryTest, RewindIsNotSupported) {
  auto dir = OpenArchive(ZipBytes(kSmallZip));
  std::unique_ptr<si_file> file(dir->OpenI(u"a.txt", false));
  file->Rewind();
  EXPECT_THAT(file->last_error,
              AllOf(HasCode(Common::FILE_NOT_SUPPORTED), RaisedAt(kZipfileSource, Common::Site{"Rewind", 160})));
  char buffer[16];
  uint32_t done = 1;
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 0u);
  // A file that holds an error keeps it: Rewind adds nothing.
  file->Rewind();
  EXPECT_THAT(file->last_error,
              AllOf(HasCode(Common::FILE_NOT_SUPPORTED), RaisedAt(kZipfileSource, Common::Site{"Rewind", 160})));
}

TEST(ZipEntryTest, AFailingSourceFailsTheReadAndStaysUsable) {
  for (int method : {0, 8}) {
    std::string spec = R"({"entries": [{"name": "big", "random": [90000, 5], "method": )" + std::to_string(method) +
                       R"(}, {"name": "small", "text": "still readable"}]})";
    Bytes bytes = ZipBytes(spec);
    auto* source = new MemoryRiFile(bytes);
    std::unique_ptr<si_dir> dir(OpenZipArchive(source));
    ASSERT_TRUE(dir);
    source->FailReadsFrom(40000);
    std::unique_ptr<si_file> big(dir->OpenI(u"big", false));
    ReadAll(*big, 8192);
    EXPECT_THAT(big->last_error, AllOf(HasCode(Common::FILE_READ_ERROR),
                                       RaisedAt(kZipfileSource, Common::Site{"Read", method == 0 ? 129u : 104u})));
    ASSERT_NE(big->last_error.GetHead()->Cause, nullptr);
    EXPECT_STREQ(big->last_error.GetHead()->Cause->Function, "MemoryRead");
    source->FailReadsFrom(UINT64_MAX);
    EXPECT_EQ(ReadEntry(*dir, u"small"), "still readable");
  }
}

// Entries share one source: each read repositions it under the archive's lock.
TEST(ZipEntryTest, TwoEntriesReadAlternatelyDeliverTheirOwnBytes) {
  auto dir = OpenArchive(ZipBytes(R"({"entries": [
      {"name": "one", "random": [80000, 11], "method": 8},
      {"name": "two", "repeat": ["0123456789", 9000], "method": 0},
      {"name": "three", "repeat": ["three ", 9000], "method": 8}]})"));
  ASSERT_TRUE(dir);
  std::string expected[3] = {ReadEntry(*dir, u"one"), ReadEntry(*dir, u"two"), ReadEntry(*dir, u"three")};
  std::unique_ptr<si_file> files[3] = {std::unique_ptr<si_file>(dir->OpenI(u"one", false)),
                                       std::unique_ptr<si_file>(dir->OpenI(u"two", false)),
                                       std::unique_ptr<si_file>(dir->OpenI(u"three", false))};
  std::string got[3];
  bool more = true;
  while (more) {
    more = false;
    for (int i = 0; i < 3; ++i) {
      char buffer[997];
      uint32_t done = 0;
      files[i]->Read(buffer, sizeof buffer, &done);
      got[i].append(buffer, done);
      more = more || done > 0;
    }
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i], expected[i]) << i;
    EXPECT_TRUE(files[i]->last_error.IsEmpty()) << i;
  }

  // The same from two threads at once.
  std::unique_ptr<si_file> one(dir->OpenI(u"one", false));
  std::unique_ptr<si_file> three(dir->OpenI(u"three", false));
  std::string threaded[2];
  std::thread a([&] { threaded[0] = ReadAll(*one, 333); });
  std::thread b([&] { threaded[1] = ReadAll(*three, 512); });
  a.join();
  b.join();
  EXPECT_EQ(threaded[0], expected[0]);
  EXPECT_EQ(threaded[1], expected[2]);
}

}  // namespace
