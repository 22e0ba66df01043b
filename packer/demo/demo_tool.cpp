// The demo tool that the packed launcher carries: it shows its arguments and the ten
// libraries it was started with, asks for a password and a two-factor code, and ends
// with the status its arguments ask for, so that every road of the launcher can be
// walked by hand:
//   --status=N    end with exit status N (0, 6, 7 or any other)
//   --signal=N    end by signal N instead
//   --no-prompts  ask nothing
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#define DEMO_LIBRARIES(X) X(arvo) X(brint) X(celto) X(dunmar) X(elsk) X(fenno) X(gorra) X(libhesk) X(istra) X(unwind)

extern "C" {
#define DEMO_DECLARE(stem)       \
  const char* stem##_name(void); \
  unsigned stem##_mix(unsigned hash, const char* text);
DEMO_LIBRARIES(DEMO_DECLARE)
#undef DEMO_DECLARE
}

// Under the user-mode emulator the leak checker's stop-the-world step never returns.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

namespace {

constexpr const char* kPasswordPrompt = "Enter password for user: ";
constexpr const char* kCodePrompt = "2FA verification: Enter the 6-digit code displayed on your authenticator app";
constexpr unsigned kFingerprintSeed = 2166136261u;

struct Options {
  int Status = 0;
  int Signal = 0;
  bool Prompts = true;
  std::vector<std::string> Arguments;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--status=", 0) == 0)
      options.Status = std::atoi(arg.c_str() + 9);
    else if (arg.rfind("--signal=", 0) == 0)
      options.Signal = std::atoi(arg.c_str() + 9);
    else if (arg == "--no-prompts")
      options.Prompts = false;
    else
      options.Arguments.push_back(arg);
  }
  return options;
}

// Every library takes a round, so the answer itself is never shown.
unsigned Fingerprint(const std::string& text) {
  unsigned hash = kFingerprintSeed;
#define DEMO_MIX(stem) hash = stem##_mix(hash, text.c_str());
  DEMO_LIBRARIES(DEMO_MIX)
#undef DEMO_MIX
  return hash;
}

bool IsSixDigits(const std::string& code) {
  return code.size() == 6 && code.find_first_not_of("0123456789") == std::string::npos;
}

// The launcher answers each prompt with one line on our standard input.
std::string Ask(const char* prompt, const char* after) {
  std::cout << prompt << after << std::flush;
  std::string answer;
  std::getline(std::cin, answer);
  return answer;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  std::cout << "ormivane_tool demo: " << options.Arguments.size() << " argument(s)\n";
  for (size_t i = 0; i < options.Arguments.size(); ++i)
    std::cout << "  argument " << i + 1 << ": " << options.Arguments[i] << "\n";
  std::cout << "Libraries:";
#define DEMO_NAME(stem) std::cout << " " << stem##_name();
  DEMO_LIBRARIES(DEMO_NAME)
#undef DEMO_NAME
  std::cout << "\n" << std::flush;

  if (options.Prompts) {
    // The answer is not echoed, so the line is ended here.
    std::string password = Ask(kPasswordPrompt, "");
    std::cout << "\n";
    std::string code = Ask(kCodePrompt, "\n");
    char fingerprint[16];
    std::snprintf(fingerprint, sizeof fingerprint, "%08x", Fingerprint(password));
    std::cout << "Signed in: password of " << password.size() << " character(s), fingerprint " << fingerprint
              << "; code " << (IsSixDigits(code) ? "accepted" : "rejected") << "\n";
  }

  if (options.Signal != 0) {
    std::cout << "Ending by signal " << options.Signal << std::endl;
    std::raise(options.Signal);
  }
  std::cout << "Ending with status " << options.Status << std::endl;
  return options.Status;
}
