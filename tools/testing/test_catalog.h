// Test support: the generated message catalog. Test programs carry it in their archive
// (the build puts it into their ".zip" section), so the first lookup loads it for real.
#pragma once

#include "tools/testing/fixtures.h"
