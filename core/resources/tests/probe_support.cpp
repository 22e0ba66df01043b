// Support of the resource tests that need a fresh process.
#include "core/resources/tests/probe_support.h"

#include <gtest/gtest.h>

namespace ProbeTesting {

ProbeDir::ProbeDir(const std::string& programName) : program(dir.File(programName)) {}

std::string ProbeDir::Catalog(const std::string& name, const std::vector<std::string>& options) {
  std::string path = dir.File(name);
  EXPECT_TRUE(Testing::MakeCatalog(path, options)) << name;
  return path;
}

std::string ProbeDir::Archive(const std::string& name, const std::vector<Entry>& entries) {
  std::string spec = R"({"entries": [)";
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    spec += (i ? ", " : "") + std::string(R"({"method": 8, "name": ")") + e.Name + "\", " +
            (e.File.empty() ? "\"text\": \"" + e.Text + "\"" : "\"file\": \"" + e.File + "\"") + "}";
  }
  spec += "]}";
  std::string path = dir.File(name);
  EXPECT_TRUE(Testing::MakeZip(path, spec)) << spec;
  return path;
}

bool ProbeDir::Install(const std::string& archive, bool decoy) {
  return Testing::EmbedArchive(RESOURCE_PROBE, archive, program, decoy);
}

Testing::ProcessResult ProbeDir::Run(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                                     const std::string& i18n) {
  std::vector<std::string> argv = {program, "--i18n", i18n.empty() ? dir.File("no-i18n") : i18n};
  argv.insert(argv.end(), args.begin(), args.end());
  return Testing::RunCaptured(argv, environment);
}

}  // namespace ProbeTesting
