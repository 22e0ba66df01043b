// Helper of the temporary-resources tests: makes a TemporaryResources in a process whose
// archive the test chose (a ".dat" beside this program), extracts each argument as an
// entry and reports one line per step. The directory goes when the program ends.
#include <sys/stat.h>

#include <cstdio>
#include <iostream>

#include "core/common/error.h"
#include "enterprise/installer/resource_temp_dir/temporary_resources.h"

namespace {

void PrintError(const Common::Error& error) {
  std::printf("error 0x%08x line %u\n", error.GetCode(), error.GetHead() != nullptr ? error.GetHead()->Line : 0u);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    EnterpriseInstaller::TemporaryResources resources;
    std::printf("dir %s\n", Common::ToUtf8(resources.GetPath().c_str()).c_str());
    for (int i = 1; i < argc; ++i) {
      try {
        std::string path = Common::ToUtf8(resources.Extract(Common::ToUtf16(argv[i])).c_str());
        struct stat st {};
        stat(path.c_str(), &st);
        std::printf("ok %s %lld\n", path.c_str(), static_cast<long long>(st.st_size));
      } catch (const Common::Error& error) {
        PrintError(error);
      }
    }
  } catch (const Common::Error& error) {
    PrintError(error);
    return 1;
  }
  return 0;
}
