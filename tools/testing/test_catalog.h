// Test support: the generated message catalog, made current the way the loader would.
#pragma once

#include <string>
#include <vector>

namespace Testing {

// Path of the catalog the build generated.
std::string CatalogPath();
// The whole file, or empty when it cannot be read.
std::vector<unsigned char> ReadFileBytes(const std::string& path);
// Installs the loader that makes the generated catalog current on the first lookup.
void InstallTestCatalog();

}  // namespace Testing
