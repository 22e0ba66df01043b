// What name_codec.cpp keeps process-wide and its test seam reaches (name_codec_testing.cpp,
// built into the test programs alone); nothing else uses this header. Hidden, so that the
// program's dynamic symbol table does not export it.
#pragma once

#include <unicode/utypes.h>

#include <atomic>

struct UConverter;

#pragma GCC visibility push(hidden)

namespace NameCodec::State {

// Opened on first need and never closed. Read without the lock only to decide whether
// ICU is needed yet.
extern std::atomic<UConverter*> g_nameConverter;

// Sets the escape callbacks of both directions on `converter`.
bool InstallEscapeCallbacks(UConverter* converter, UErrorCode& status);

}  // namespace NameCodec::State

#pragma GCC visibility pop
