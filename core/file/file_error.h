// File-system errors: a failed system call's errno becomes a file error that names the
// path or paths the call was about, with the errno record as its direct cause.
#pragma once

#include <cstdint>

#include "core/common/error.h"

// Records with one path ("path") or two ("path1", "path2"). Path fields follow the rule of
// Text: 0 is no value, a value below Size an offset into the record, anything else a
// pointer to a catalog string.
extern const Common::ErrorKind FilePathErrorKind;
extern const Common::ErrorKind FilePathPairErrorKind;

const char* GetFilePathParam(const Common::ErrorRecord* record, const char* name);
const char* GetFilePathPairParam(const Common::ErrorRecord* record, const char* name);
const char* GetFilePathParamNames(const Common::ErrorRecord* record);
const char* GetFilePathPairParamNames(const Common::ErrorRecord* record);

// Reads errno at entry, so call it directly after the failed system call. A mapped errno
// replaces `defaultCode` and `defaultText` by its own code and catalog text. The paths are
// the native byte strings the call received; path2 without path1 is dropped. Never
// throws: when memory runs out the head is the out-of-memory record.
Common::Error MakeFileError(Common::SourceLocation location, uint32_t defaultCode, const char16_t* defaultText,
                            const char* path1 = nullptr, const char* path2 = nullptr);

// MakeFileError with the default code's own catalog text; errno is read before the text
// is looked up, so this too belongs right after the failed call.
Common::Error FileErrorFromErrno(Common::SourceLocation location, uint32_t defaultCode, const char* path1 = nullptr,
                                 const char* path2 = nullptr);
