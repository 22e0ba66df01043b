// Fakes for the backup stream tests: a sink that records every chunk (with buffers at an
// offset, writers that take some buffers and leave others, failures at a chosen step), a
// scripted chunk source, a scripted callback, and an iterator, a readable directory and a
// writable directory whose every answer the test sets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/file/backup.h"
#include "core/file/tests/file_test_doubles.h"
#include "core/include/file/posix_control.h"
#include "core/file/utils.h"

namespace BackupTesting {

using Bytes = std::vector<uint8_t>;

inline Bytes U32(uint32_t v) {
  Bytes b(4);
  BackupFormat::StoreLe32(b.data(), v);
  return b;
}
inline Bytes U64(uint64_t v) {
  Bytes b(8);
  BackupFormat::StoreLe64(b.data(), v);
  return b;
}
inline Bytes U16(uint16_t v) {
  Bytes b(2);
  BackupFormat::StoreLe16(b.data(), v);
  return b;
}
inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Units(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) {
    Bytes u = U16(c);
    b.insert(b.end(), u.begin(), u.end());
  }
  return b;
}

// A buffer that counts the live ones, so a test sees every buffer freed exactly once.
class CountedBuffer : public raw_data {
 public:
  CountedBuffer(uint32_t size, uint32_t offset) : raw_data(size, offset) { ++Live(); }
  ~CountedBuffer() override { --Live(); }
  static int& Live() {
    static int live = 0;
    return live;
  }
};

struct RecordedChunk {
  uint32_t Type = 0;
  Bytes Payload;
  int WriteCalls = 0;
  bool Closed = false;
};

// Options of the recording sink. Counters are 1-based; 0 means never.
struct SinkOptions {
  uint32_t BufferOffset = 0;        // room the writer keeps in front of each payload
  bool TakeOddBuffers = false;      // the writer keeps (frees itself) every odd-numbered buffer
  int FailCreateAt = 0;             // CreateChunk number N returns null
  int FailWriteAt = 0;              // WriteBuffer number N (over all chunks) records an error
  int NullBufferAt = 0;             // GetBuffer number N returns null
  int ShortBufferAt = 0;            // GetBuffer number N returns one byte less than asked
};

class RecordingSink : public ChunkSink {
 public:
  explicit RecordingSink(SinkOptions options = {}) : options(options) {}

  ChunkWriter* CreateChunk(uint32_t type) override {
    ++createCalls;
    if (createCalls == options.FailCreateAt) {
      ReplaceLastError(*this, FileTesting::InjectedError(Common::FILE_WRITE_ERROR));
      return nullptr;
    }
    chunks.push_back(RecordedChunk{type, {}, 0, false});
    return new Writer(*this, chunks.size() - 1);
  }

  std::vector<uint32_t> Types() const {
    std::vector<uint32_t> types;
    for (const RecordedChunk& c : chunks) types.push_back(c.Type);
    return types;
  }
  const RecordedChunk* Find(uint32_t type) const {
    for (const RecordedChunk& c : chunks)
      if (c.Type == type) return &c;
    return nullptr;
  }

  std::vector<RecordedChunk> chunks;
  int createCalls = 0;
  int writeCalls = 0;
  int bufferCalls = 0;
  std::vector<uint32_t> bufferSizes;

 private:
  class Writer : public ChunkWriter {
   public:
    Writer(RecordingSink& sink, size_t index) : sink(sink), index(index) {}
    ~Writer() override { sink.chunks[index].Closed = true; }

    std::unique_ptr<raw_data> GetBuffer(uint32_t size) override {
      int call = ++sink.bufferCalls;
      sink.bufferSizes.push_back(size);
      if (call == sink.options.NullBufferAt) return nullptr;
      if (call == sink.options.ShortBufferAt && size > 0) size -= 1;
      auto buffer = std::make_unique<CountedBuffer>(size, sink.options.BufferOffset);
      // Bytes in front of the payload must never reach the chunk.
      for (uint32_t i = 0; i < sink.options.BufferOffset; ++i) buffer->data[i] = 0xEE;
      return buffer;
    }

    void WriteBuffer(std::unique_ptr<raw_data>& buffer) override {
      int call = ++sink.writeCalls;
      RecordedChunk& chunk = sink.chunks[index];
      ++chunk.WriteCalls;
      if (call == sink.options.FailWriteAt) {
        ReplaceLastError(*this, FileTesting::InjectedError(Common::FILE_WRITE_ERROR));
        return;
      }
      if (!buffer) return;
      chunk.Payload.insert(chunk.Payload.end(), buffer->Payload(), buffer->Payload() + buffer->size);
      if (sink.options.TakeOddBuffers && call % 2 == 1) buffer.reset();
    }

   private:
    RecordingSink& sink;
    size_t index;
  };

  SinkOptions options;
};

// A chunk source over a list of chunks; each reader is an in-memory file.
class ScriptedSource : public ChunkSource {
 public:
  struct Chunk {
    uint8_t Type;
    Bytes Payload;
    uint32_t ReadLimit = 0;  // each Read stores at most this many bytes (0: no limit)
  };

  ScriptedSource() = default;
  ScriptedSource(std::initializer_list<Chunk> list) : chunks(list) {}

  void Add(uint8_t type, Bytes payload, uint32_t readLimit = 0) { chunks.push_back(Chunk{type, std::move(payload), readLimit}); }

  i_file* NextChunk(uint8_t* type) override {
    ++nextCalls;
    if (next >= chunks.size()) return nullptr;
    const Chunk& chunk = chunks[next++];
    *type = chunk.Type;
    readCalls.push_back(-1);
    auto* reader = new Reader(chunk.Payload, readersAlive, readCalls, readCalls.size() - 1);
    if (chunk.ReadLimit != 0) reader->SetReadChunkLimit(chunk.ReadLimit);
    return reader;
  }

  // Readers handed out and not yet deleted.
  int ReadersAlive() const { return readersAlive; }

  std::vector<Chunk> chunks;
  size_t next = 0;
  int nextCalls = 0;
  // Read calls each chunk's reader got, known once the reader is deleted (-1 before).
  std::vector<int> readCalls;

 private:
  class Reader : public FileTesting::MemoryFile {
   public:
    Reader(const Bytes& bytes, int& alive, std::vector<int>& reads, size_t index)
        : MemoryFile(bytes), alive(alive), reads(reads), index(index) {
      ++alive;
    }
    ~Reader() override {
      --alive;
      reads[index] = readCalls;
    }

   private:
    int& alive;
    std::vector<int>& reads;
    size_t index;
  };
  int readersAlive = 0;
};

class ScriptedCallback : public BackupCallback {
 public:
  void Progress(uint64_t bytes) override { progress.push_back(bytes); }
  bool IsCanceled() override {
    ++cancelQueries;
    return cancelAtQuery != 0 && cancelQueries >= cancelAtQuery;
  }
  uint32_t HandleSecurityError(Common::Error& error, const char16_t* path) override {
    ++questions;
    question = error;
    questionPath = path != nullptr ? path : u"";
    return answer;
  }

  int cancelAtQuery = 0;  // the Nth IsCanceled (and every later one) answers true
  uint32_t answer = 0;
  std::vector<uint64_t> progress;
  int cancelQueries = 0;
  int questions = 0;
  Common::Error question;
  std::u16string questionPath;
};

// An iterator whose every answer the test sets; the defaults are the interface's.
struct EntryFacts {
  std::u16string Name = u"entry";
  uint32_t Type = 0;
  int32_t Dos = -1;
  uint64_t Modified = 0;
  uint64_t Created = 0;
  int32_t Mode = -1;
  int32_t Uid = -1;
  int32_t Gid = -1;
  uint32_t Major = 0;
  uint32_t Minor = 0;
  bool HasLinkTarget = false;
  std::u16string LinkTarget;
};

class FakeIterator : public i_dir::iterator {
 public:
  explicit FakeIterator(EntryFacts facts) : facts(std::move(facts)) {}
  void Next() override {}
  file_identifier* GetIdentifier() override { return new FileTesting::StubIdentifier(); }
  const char16_t* GetName() override { return facts.Name.c_str(); }
  uint64_t GetSize() override { return 0; }
  uint32_t GetType() override { return facts.Type; }
  uint64_t GetModificationTime() override { return facts.Modified; }
  uint64_t GetCreationTime() override { return facts.Created; }
  int32_t GetDOSAttributes() override { return facts.Dos; }
  int32_t GetUnixMode() override { return facts.Mode; }
  int32_t GetUnixOwner() override { return facts.Uid; }
  int32_t GetUnixGroup() override { return facts.Gid; }
  uint32_t GetDeviceMajor() override { return facts.Major; }
  uint32_t GetDeviceMinor() override { return facts.Minor; }
  const char16_t* GetLinkTarget() override { return facts.HasLinkTarget ? facts.LinkTarget.c_str() : nullptr; }

 private:
  EntryFacts facts;
};

// A readable directory holding one entry (reached by any identifier, or as itself).
class FakeEntryDir : public FileTesting::NullDir {
 public:
  FakeEntryDir(EntryFacts facts, Bytes content = {}) : facts(std::move(facts)), content(std::move(content)) {}

  i_dir::iterator* GetIterator(const file_identifier*) override { return Iterator(); }
  i_dir::iterator* GetSelfIterator() override { return Iterator(); }
  ri_file* OpenI(const i_dir::iterator*, bool) override {
    ++opens;
    if (openFails) {
      ReplaceLastError(*this, FileTesting::InjectedError(Common::FILE_OPEN_ERROR));
      return nullptr;
    }
    auto* file = new FileTesting::MemoryFile(content);
    if (readChunkLimit != 0) file->SetReadChunkLimit(readChunkLimit);
    if (failReadAt != UINT64_MAX) file->FailReadsAt(failReadAt, FileTesting::InjectedError());
    return file;
  }
  const char16_t* GetDirPath() override { return dirPath.empty() ? nullptr : dirPath.c_str(); }

  EntryFacts facts;
  Bytes content;
  std::u16string dirPath = u"/fake/";
  bool iteratorFails = false;
  bool openFails = false;
  uint32_t readChunkLimit = 0;
  uint64_t failReadAt = UINT64_MAX;
  int opens = 0;

 private:
  i_dir::iterator* Iterator() {
    if (iteratorFails) {
      ReplaceLastError(*this, FileTesting::InjectedError(Common::FILE_NOT_FOUND));
      return nullptr;
    }
    return new FakeIterator(facts);
  }
};

// A restored file that records the control requests it gets.
class RecordingFile : public FileTesting::MemoryFile {
 public:
  explicit RecordingFile(std::vector<std::string>& log) : log(log) {}
  void IOCTL(void* request) override;
  std::vector<std::string>& log;
  Common::Error timesFailure;
};

// A writable directory that logs each operation as "Op(name,args)" and answers with the
// error the test set for that operation (by its name), success otherwise.
class RecordingDir : public FileTesting::NullDir {
 public:
  rio_file* Create(const char16_t* name, bool, const AccessRights* rights) override {
    Log("Create", name, rights == nullptr ? "default" : "rights");
    if (Fail("Create")) return nullptr;
    auto* file = new RecordingFile(log);
    file->timesFailure = failures["SFTM"];
    files.push_back(file);
    return file;
  }
  void CreateDir(const char16_t* name, const AccessRights* rights) override {
    Log("CreateDir", name, rights == nullptr ? "default" : "rights");
    Fail("CreateDir");
  }
  void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) override {
    Log("CreateDeviceNode", name, Num(type) + "," + Oct(mode) + "," + Num(major) + "," + Num(minor));
    Fail("CreateDeviceNode");
  }
  void CreateSymLink(const char16_t* name, const char16_t* target, uint32_t type, uint32_t flags) override {
    Log("CreateSymLink", name, Common::ToUtf8(target) + "," + Num(type) + "," + Num(flags));
    Fail("CreateSymLink");
  }
  void Remove(const char16_t* name) override {
    Log("Remove", name, "");
    Fail("Remove");
  }
  void SetDOSAttributes(const char16_t* name, uint32_t attributes) override {
    Log("SetDOSAttributes", name, Num(attributes));
    if (!Fail("SetDOSAttributes")) NullDir::SetDOSAttributes(name, attributes);
  }
  void SetUnixOwner(const char16_t* name, uint32_t uid, uint32_t gid) override {
    Log("SetUnixOwner", name, Num(uid) + "," + Num(gid));
    Fail("SetUnixOwner");
  }
  void SetUnixPermissions(const char16_t* name, uint32_t mode) override {
    Log("SetUnixPermissions", name, Oct(mode));
    Fail("SetUnixPermissions");
  }
  void IOCTL(void* request) override;
  const char16_t* GetDirPath() override { return dirPath.c_str(); }
  // What stands in the directory already: an entry of `existing`, or nothing.
  i_dir::iterator* GetIterator(const char16_t* name) override {
    auto found = existing.find(name);
    if (found == existing.end()) {
      ReplaceLastError(*this, FileTesting::InjectedError(Common::FILE_NOT_FOUND));
      return nullptr;
    }
    ReplaceLastError(*this, Common::NoError);
    EntryFacts facts;
    facts.Type = found->second;
    return new FakeIterator(facts);
  }

  // "Create(x,default) SetUnixOwner(x,1,2) ..." in call order.
  std::string Calls() const {
    std::string all;
    for (const std::string& call : log) all += (all.empty() ? "" : " ") + call;
    return all;
  }

  std::map<std::string, Common::Error> failures;
  std::map<std::u16string, uint32_t> existing;  // entry type by name
  std::vector<std::string> log;
  std::vector<RecordingFile*> files;  // owned by the processor: valid only while it lives
  std::u16string dirPath = u"/restore/";

  static std::string Num(uint64_t v) { return std::to_string(v); }
  static std::string Oct(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0%o", v);
    return text;
  }

 private:
  void Log(const char* op, const char16_t* name, const std::string& args) {
    log.push_back(std::string(op) + "(" + Common::ToUtf8(name) + (args.empty() ? "" : "," + args) + ")");
  }
  // Records the set failure (true) or success.
  bool Fail(const std::string& op) {
    auto found = failures.find(op);
    if (found == failures.end()) {
      ReplaceLastError(*this, Common::NoError);
      return false;
    }
    ReplaceLastError(*this, found->second);
    return true;
  }
};

inline void RecordingFile::IOCTL(void* request) {
  uint32_t code = PosixControl::ReadControlCode(request);
  if (code == PosixControl::kSetFileTimes) {
    auto* block = static_cast<PosixControl::SetFileTimesRequest*>(request);
    log.push_back("SFTM(" + RecordingDir::Num(block->ModificationTime) + "," + RecordingDir::Num(block->Unused) + "," +
                  RecordingDir::Num(block->AccessTime) + ")");
    if (timesFailure) ReplaceLastError(*this, timesFailure);
    return;
  }
  if (code == PosixControl::kSetFileFlags) {
    log.push_back("SMUF(" + RecordingDir::Num(static_cast<PosixControl::InodeFlagsRequest*>(request)->Flags) + ")");
    return;
  }
  MemoryFile::IOCTL(request);
}

inline void RecordingDir::IOCTL(void* request) {
  uint32_t code = PosixControl::ReadControlCode(request);
  if (code == PosixControl::kSetEntryTimes) {
    auto* block = static_cast<PosixControl::SetEntryTimesRequest*>(request);
    Log("STME", block->Name, Num(block->ModificationTime) + "," + Num(block->CreationTime) + "," + Num(block->AccessTime));
    Fail("STME");
    return;
  }
  if (code == PosixControl::kSetFlagsByName) {
    auto* block = static_cast<PosixControl::NamedFlagsRequest*>(request);
    Log("SMFN", block->Name, Num(block->Flags));
    Fail("SMFN");
    return;
  }
  NullDir::IOCTL(request);
}

}  // namespace BackupTesting
