// The packed launcher on a machine with nothing installed: its ELF file asks the loader for
// the C library's own objects alone, and it unpacks and runs its tool in a root that holds
// only the loader, libc and libm. Both are facts of the product's link, so the sanitizer
// builds (which link their runtimes dynamically) skip them. In every build its symbol
// tables name none of the test seams, which only the test programs carry.
#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "packer/tests/launcher_support.h"
#include "tools/testing/fixtures.h"

namespace {

// What a dynamic 32-bit program asks of the loader, from its ELF file.
struct DynamicNeeds {
  bool Read = false;
  std::string Interpreter;         // PT_INTERP
  std::vector<std::string> Needed;  // DT_NEEDED, in order
};

template <typename T>
bool At(const std::vector<unsigned char>& file, uint64_t offset, T& out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, file.data() + offset, sizeof(T));
  return true;
}

std::string StringAt(const std::vector<unsigned char>& file, uint64_t offset, uint64_t limit) {
  std::string text;
  for (uint64_t i = offset; i < limit && i < file.size() && file[i] != 0; ++i) text += static_cast<char>(file[i]);
  return text;
}

DynamicNeeds ReadDynamicNeeds(const std::string& path) {
  DynamicNeeds needs;
  std::vector<unsigned char> file = Testing::ReadFileBytes(path);
  Elf32_Ehdr header;
  if (!At(file, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS32)
    return needs;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Elf32_Phdr segment;
    if (!At(file, header.e_phoff + uint64_t{i} * header.e_phentsize, segment)) return needs;
    if (segment.p_type == PT_INTERP)
      needs.Interpreter = StringAt(file, segment.p_offset, uint64_t{segment.p_offset} + segment.p_filesz);
  }
  // The dynamic section names its string table through sh_link.
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf32_Shdr dynamic;
    Elf32_Shdr strings;
    if (!At(file, header.e_shoff + uint64_t{i} * header.e_shentsize, dynamic)) return needs;
    if (dynamic.sh_type != SHT_DYNAMIC) continue;
    if (!At(file, header.e_shoff + uint64_t{dynamic.sh_link} * header.e_shentsize, strings)) return needs;
    for (uint64_t at = dynamic.sh_offset; at + sizeof(Elf32_Dyn) <= uint64_t{dynamic.sh_offset} + dynamic.sh_size;
         at += sizeof(Elf32_Dyn)) {
      Elf32_Dyn entry;
      if (!At(file, at, entry)) return needs;
      if (entry.d_tag == DT_NULL) break;
      if (entry.d_tag == DT_NEEDED)
        needs.Needed.push_back(StringAt(file, uint64_t{strings.sh_offset} + entry.d_un.d_val,
                                        uint64_t{strings.sh_offset} + strings.sh_size));
    }
    needs.Read = true;
  }
  return needs;
}

// One entry of a symbol table.
struct Symbol {
  std::string Name;
  bool Defined = false;
  bool StrongGlobal = false;  // global binding, default visibility
  bool Data = false;          // a variable (STT_OBJECT or STT_TLS)
};

// The symbols of an ELF file of either class: a program's tables or an object's.
struct SymbolTables {
  bool Read = false;
  std::vector<Symbol> Symtab;  // .symtab, every symbol of the link (or of the object)
  std::vector<Symbol> Dynsym;  // .dynsym, what the program exports
};

template <typename Ehdr, typename Shdr, typename Sym>
SymbolTables ReadSymbolTablesOf(const std::vector<unsigned char>& file) {
  SymbolTables tables;
  Ehdr header;
  if (!At(file, 0, header)) return tables;
  // Each symbol table names its string table through sh_link.
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Shdr table;
    Shdr strings;
    if (!At(file, header.e_shoff + uint64_t{i} * header.e_shentsize, table)) return tables;
    if (table.sh_type != SHT_SYMTAB && table.sh_type != SHT_DYNSYM) continue;
    if (!At(file, header.e_shoff + uint64_t{table.sh_link} * header.e_shentsize, strings)) return tables;
    std::vector<Symbol>& symbols = table.sh_type == SHT_SYMTAB ? tables.Symtab : tables.Dynsym;
    for (uint64_t at = table.sh_offset; at + sizeof(Sym) <= uint64_t{table.sh_offset} + table.sh_size;
         at += sizeof(Sym)) {
      Sym entry;
      if (!At(file, at, entry)) return tables;
      Symbol symbol;
      symbol.Name = StringAt(file, uint64_t{strings.sh_offset} + entry.st_name,
                             uint64_t{strings.sh_offset} + strings.sh_size);
      symbol.Defined = entry.st_shndx != SHN_UNDEF;
      symbol.StrongGlobal =
          ELF32_ST_BIND(entry.st_info) == STB_GLOBAL && ELF32_ST_VISIBILITY(entry.st_other) == STV_DEFAULT;
      symbol.Data = ELF32_ST_TYPE(entry.st_info) == STT_OBJECT || ELF32_ST_TYPE(entry.st_info) == STT_TLS;
      symbols.push_back(std::move(symbol));
    }
  }
  tables.Read = true;
  return tables;
}

SymbolTables ReadSymbolTables(const std::string& path) {
  std::vector<unsigned char> file = Testing::ReadFileBytes(path);
  unsigned char ident[EI_NIDENT];
  if (!At(file, 0, ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return {};
  if (ident[EI_CLASS] == ELFCLASS32) return ReadSymbolTablesOf<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(file);
  if (ident[EI_CLASS] == ELFCLASS64) return ReadSymbolTablesOf<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(file);
  return {};
}

bool AnyNameHolds(const std::vector<Symbol>& symbols, const std::string& part) {
  for (const Symbol& symbol : symbols) {
    if (symbol.Name.find(part) != std::string::npos) return true;
  }
  return false;
}

std::string ReadText(const std::string& path) {
  std::vector<unsigned char> bytes = Testing::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// The lines of a file the build wrote: one path each.
std::vector<std::string> ListedPaths(const std::string& list) {
  std::vector<std::string> paths;
  std::istringstream lines(ReadText(list));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) paths.push_back(line);
  }
  return paths;
}

// What the objects of a library hold: the names they define for other objects (strong
// globals) and the names they take from elsewhere.
struct ObjectSymbols {
  bool Read = true;
  std::string Unreadable;
  std::set<std::string> Defined;
  std::set<std::string> Taken;
  std::set<std::string> DefinedData;  // the variables among Defined
};

ObjectSymbols ReadObjects(const std::vector<std::string>& objects) {
  ObjectSymbols symbols;
  for (const std::string& object : objects) {
    SymbolTables tables = ReadSymbolTables(object);
    if (!tables.Read || tables.Symtab.empty()) {
      symbols.Read = false;
      symbols.Unreadable = object;
      return symbols;
    }
    for (const Symbol& symbol : tables.Symtab) {
      if (symbol.Name.empty()) continue;
      if (!symbol.Defined) {
        symbols.Taken.insert(symbol.Name);
      } else if (symbol.StrongGlobal) {
        symbols.Defined.insert(symbol.Name);
        if (symbol.Data) symbols.DefinedData.insert(symbol.Name);
      }
    }
  }
  return symbols;
}

// The functions and variables a header declares: each name that comes before a '(', and
// each that ends a declaration beginning with extern, static or inline, outside comments and
// preprocessor lines.
std::set<std::string> DeclaredNames(const std::string& header) {
  std::string text = ReadText(header);
  text = std::regex_replace(text, std::regex(R"(/\*[\s\S]*?\*/)"), " ");
  text = std::regex_replace(text, std::regex(R"(//[^\n]*|^\s*#[^\n]*)", std::regex::multiline), " ");
  static const std::set<std::string> kNotNames = {"alignas", "alignof", "decltype", "noexcept", "operator",
                                                  "sizeof", "static_assert", "throw"};
  std::set<std::string> names;
  const std::regex call(R"(\b([A-Za-z_]\w*)\s*\()");
  const std::regex variable(R"(\b(?:extern|static|inline)\b[^;(){}]*?\b([A-Za-z_]\w*)\s*(?:\[[^\]]*\]\s*)*(?:[={][^;]*)?;)");
  for (const std::regex* declaration : {&call, &variable}) {
    for (auto it = std::sregex_iterator(text.begin(), text.end(), *declaration); it != std::sregex_iterator(); ++it) {
      if (kNotNames.count((*it)[1].str()) == 0) names.insert((*it)[1].str());
    }
  }
  return names;
}

// Every *_testing.h of the sources, with the names it declares; build trees (a folder
// with a CMakeCache.txt) and hidden folders are not sources.
std::map<std::string, std::set<std::string>> TestingHeaders(const std::string& sources) {
  namespace fs = std::filesystem;
  std::map<std::string, std::set<std::string>> headers;
  for (auto it = fs::recursive_directory_iterator(sources); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& path = it->path();
    if (it->is_directory()) {
      const bool source = !path.filename().string().starts_with(".") && !fs::exists(path / "CMakeCache.txt");
      if (!source) it.disable_recursion_pending();
      continue;
    }
    if (path.filename().string().ends_with("_testing.h"))
      headers[fs::relative(path, sources).string()] = DeclaredNames(path.string());
  }
  return headers;
}

// Whether a symbol names `function` (or a variable): as a C name, or as one component of a mangled name
// (its length, then the name, then no further identifier character).
bool NamesFunction(const std::string& symbol, const std::string& function) {
  if (symbol == function) return true;
  if (!symbol.starts_with("_Z")) return false;
  const std::string component = std::to_string(function.size()) + function;
  for (size_t at = symbol.find(component); at != std::string::npos; at = symbol.find(component, at + 1)) {
    if (at > 0 && std::isdigit(static_cast<unsigned char>(symbol[at - 1]))) continue;
    return true;
  }
  return false;
}

// The test seams are built into the test programs alone: the packed launcher names no
// symbol that the test-only library defines and no function or variable that a *_testing.h
// declares.
// The state those seams reach is the libraries' own: the launcher is linked with
// -rdynamic, and its dynamic symbol table exports none of the variables a seam takes.
TEST(LauncherSymbols, NameNoTestSeam) {
  const std::string program = LauncherTest::PackedProduct();
  SymbolTables tables = ReadSymbolTables(program);
  ASSERT_TRUE(tables.Read) << program;
  // Both tables were read: each names a function of the product (the directory's name
  // comes from its random bytes).
  ASSERT_TRUE(AnyNameHolds(tables.Symtab, "GetRandomBytes")) << program << ": .symtab";
  ASSERT_TRUE(AnyNameHolds(tables.Dynsym, "GetRandomBytes")) << program << ": .dynsym";

  ObjectSymbols seams = ReadObjects(ListedPaths(ORMIVANE_TESTING_OBJECTS));
  ASSERT_TRUE(seams.Read) << seams.Unreadable;
  ASSERT_FALSE(seams.Defined.empty()) << ORMIVANE_TESTING_OBJECTS;
  ObjectSymbols platform = ReadObjects(ListedPaths(ORMIVANE_PLATFORM_OBJECTS));
  ASSERT_TRUE(platform.Read) << platform.Unreadable;
  const std::map<std::string, std::set<std::string>> headers = TestingHeaders(ORMIVANE_SOURCE_DIR);
  ASSERT_FALSE(headers.empty()) << ORMIVANE_SOURCE_DIR;

  std::vector<std::string> found;
  for (const auto* table : {&tables.Symtab, &tables.Dynsym}) {
    const std::string where = table == &tables.Symtab ? " in .symtab" : " in .dynsym";
    for (const Symbol& symbol : *table) {
      if (seams.Defined.count(symbol.Name) != 0)
        found.push_back(symbol.Name + where + " (defined by the test-only library)");
      for (const auto& [header, functions] : headers) {
        for (const std::string& function : functions) {
          if (NamesFunction(symbol.Name, function))
            found.push_back(symbol.Name + where + " (" + function + " of " + header + ")");
        }
      }
    }
  }
  for (const Symbol& symbol : tables.Dynsym) {
    if (symbol.Defined && seams.Taken.count(symbol.Name) != 0 && platform.DefinedData.count(symbol.Name) != 0)
      found.push_back(symbol.Name + " in .dynsym (a variable the test-only library takes)");
  }
  EXPECT_THAT(found, testing::IsEmpty()) << program;
}

#if ORMIVANE_PRODUCT_LINK
constexpr bool kProductLink = true;
#else
constexpr bool kProductLink = false;
#endif
constexpr char kNotProductLink[] = "the sanitizer and native builds link their runtimes dynamically";

TEST(BareSystem, LauncherNeedsOnlyTheCLibrary) {
  if (!kProductLink) GTEST_SKIP() << kNotProductLink;
  const std::set<std::string> cLibrary = {"libc.so.6", "libm.so.6", "ld-linux.so.2"};
  for (const std::string& program : {LauncherTest::PackedProduct(), LauncherTest::ProbeLauncher()}) {
    DynamicNeeds needs = ReadDynamicNeeds(program);
    ASSERT_TRUE(needs.Read) << program;
    EXPECT_EQ(needs.Interpreter, "/lib/ld-linux.so.2") << program;
    EXPECT_FALSE(needs.Needed.empty()) << program;
    for (const std::string& name : needs.Needed) EXPECT_EQ(cLibrary.count(name), 1u) << program << " needs " << name;
  }
}

// A root with the loader, libc and libm of this machine, /tmp, and /dev/null and
// /dev/urandom as device nodes; false (with the reason) when it cannot be made here.
bool MakeBareRoot(const std::string& root, const std::string& interpreter, std::string& reason) {
  const std::string libraries = root + "/lib/i386-linux-gnu";
  for (const std::string& dir : {root + "/lib", libraries, root + "/tmp", root + "/dev"}) {
    if (mkdir(dir.c_str(), 0755) != 0) return reason = "mkdir " + dir + ": " + std::strerror(errno), false;
  }
  chmod((root + "/tmp").c_str(), 01777);
  struct Device {
    const char* Name;
    unsigned Minor;
  };
  for (const Device& device : {Device{"null", 3}, Device{"urandom", 9}}) {
    const std::string node = root + "/dev/" + device.Name;
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, device.Minor)) != 0)
      return reason = "mknod " + node + ": " + std::strerror(errno), false;
  }
  char* loader = realpath(interpreter.c_str(), nullptr);
  bool copied = loader != nullptr && Testing::CopyFile(loader, root + interpreter) &&
                Testing::CopyFile(ORMIVANE_RUNTIME_LIBC, libraries + "/libc.so.6") &&
                Testing::CopyFile(ORMIVANE_RUNTIME_LIBM, libraries + "/libm.so.6");
  free(loader);
  if (!copied) reason = "the C library's objects could not be copied";
  return copied;
}

TEST(BareSystem, LauncherRunsInARootWithOnlyTheCLibrary) {
  if (!kProductLink) GTEST_SKIP() << kNotProductLink;
  if (geteuid() != 0) GTEST_SKIP() << "chroot and mknod need root";
  DynamicNeeds needs = ReadDynamicNeeds(LauncherTest::ProbeLauncher());
  ASSERT_FALSE(needs.Interpreter.empty());

  Testing::TempDir dir;
  const std::string root = dir.File("root");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  std::string reason;
  if (!MakeBareRoot(root, needs.Interpreter, reason)) GTEST_SKIP() << "no bare root here: " << reason;
  ASSERT_TRUE(Testing::CopyFile(LauncherTest::ProbeLauncher(), root + "/ormivane_packed"));

  Testing::ProcessResult run =
      Testing::RunCaptured({"/usr/sbin/chroot", root, "/ormivane_packed", "print:inside-the-bare-root"});
  EXPECT_EQ(run.Signal, 0);
  EXPECT_EQ(run.Status, 0) << run.Output;
  EXPECT_NE(run.Output.find("Start executing...\n\ninside-the-bare-root\n"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("Unpacked ormivane_tool.exe to /tmp/"), std::string::npos) << run.Output;
  EXPECT_TRUE(std::filesystem::is_empty(root + "/tmp")) << "the run left files in the root's /tmp";
}

}  // namespace
