// Test support: gMock matchers over an error's records, so that a test states the code,
// the raising site, the parameters and the causes it expects in one EXPECT_THAT. Each
// matcher takes a Common::Error (its head record) or a record pointer (null fails).
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/common/error.h"

namespace Testing {

inline const Common::ErrorRecord* RecordOf(const Common::Error& error) { return error.GetHead(); }
inline const Common::ErrorRecord* RecordOf(const Common::ErrorRecord* record) { return record; }

// The record `depth` causes below `record` (0 is the record itself), or null.
inline const Common::ErrorRecord* CauseRecord(const Common::ErrorRecord* record, int depth) {
  for (; record != nullptr && depth > 0; --depth) record = record->Cause;
  return record;
}

inline int ChainLengthOf(const Common::ErrorRecord* record) {
  int length = 0;
  for (; record != nullptr; record = record->Cause) ++length;
  return length;
}

inline std::string TextOfRecord(const Common::ErrorRecord* record) {
  Common::WString text;
  record->Kind->GetText(text, record);
  return Common::ToUtf8(text.c_str());
}

inline bool SameString(const char* actual, const char* expected) {
  if (actual == nullptr || expected == nullptr) return actual == expected;
  return std::strcmp(actual, expected) == 0;
}

// The record's code.
MATCHER_P(HasCode, code, "has code " + ::testing::PrintToString(code)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  *result_listener << "has code " << r->Code;
  return r->Code == static_cast<uint32_t>(code);
}

// The site's function and line, whatever the file.
MATCHER_P2(HasSite, function, line, std::string("raised in ") + function + " at line " + std::to_string(line)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  *result_listener << "raised in " << (r->Function ? r->Function : "(null)") << " at line " << r->Line;
  return SameString(r->Function, function) && r->Line == static_cast<uint32_t>(line);
}

// The location id of a site of `file` (a Common::SourceFileId) at `line`.
MATCHER_P2(HasLocation, file, line, "has the location id of line " + std::to_string(line)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  *result_listener << "has location " << std::hex << r->IdHigh << ":" << r->IdLow << std::dec;
  return r->IdHigh == file.High && r->IdLow == file.Base + static_cast<uint32_t>(line);
}

// The whole site: location id, path, function and line of `site` in `file` (a
// Common::SourceFile and a Common::Site).
MATCHER_P2(RaisedAt, file, site,
           std::string("raised at ") + file.Path + ":" + site.Function + ":" + std::to_string(site.Line)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  *result_listener << "raised at " << (r->File ? r->File : "(null)") << ":" << (r->Function ? r->Function : "(null)")
                   << ":" << r->Line << " with location " << std::hex << r->IdHigh << ":" << r->IdLow << std::dec;
  return r->IdHigh == file.Id.High && r->IdLow == file.Id.Base + site.Line && SameString(r->File, file.Path) &&
         SameString(r->Function, site.Function) && r->Line == site.Line;
}

// The record's text, as UTF-8.
MATCHER_P(HasText, text, "has text \"" + std::string(text) + "\"") {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  std::string actual = TextOfRecord(r);
  *result_listener << "has text \"" << actual << "\"";
  return actual == text;
}

// The record's list of parameter names.
MATCHER_P(HasParamNames, names, "has parameter names " + std::string(names)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  const char* actual = r->Kind->GetParamNames(r);
  *result_listener << "has parameter names " << (actual ? actual : "(null)");
  return SameString(actual, names);
}

// An 8-bit parameter of the record.
MATCHER_P2(HasAsciiParam, name, value, std::string("has ") + name + " = " + value) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  const char* actual = r->Kind->GetAsciiParam(r, name);
  *result_listener << "has " << name << " = " << (actual ? actual : "(null)");
  return SameString(actual, value);
}

// A number parameter of the record.
MATCHER_P2(HasNumberParam, name, value, std::string("has ") + name + " = " + std::to_string(value)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  uint64_t actual = r->Kind->GetNumberParam(r, name);
  *result_listener << "has " << name << " = " << actual;
  return actual == static_cast<uint64_t>(value);
}

// An errno record with value `errnum`.
MATCHER_P(IsErrno, errnum, "is the errno record of " + std::to_string(errnum)) {
  const Common::ErrorRecord* r = RecordOf(arg);
  if (r == nullptr) return *result_listener << "is empty", false;
  if (r->Code != Common::POSIX_ERROR) return *result_listener << "has code " << r->Code, false;
  *result_listener << "has errno " << r->Size;
  return static_cast<int>(r->Size) == errnum;
}

// The number of records in the chain, the head included.
MATCHER_P(HasChainLength, length, "has a chain of " + std::to_string(length) + " records") {
  int actual = ChainLengthOf(RecordOf(arg));
  *result_listener << "has a chain of " << actual;
  return actual == length;
}

// The record `depth` causes below matches `inner`.
MATCHER_P2(CauseAt, depth, inner,
           "has at depth " + std::to_string(depth) + " a record that " +
               ::testing::DescribeMatcher<const Common::ErrorRecord*>(inner)) {
  const Common::ErrorRecord* r = CauseRecord(RecordOf(arg), depth);
  if (r == nullptr) return *result_listener << "has no record at depth " << depth, false;
  return ::testing::ExplainMatchResult(inner, r, result_listener);
}

}  // namespace Testing
