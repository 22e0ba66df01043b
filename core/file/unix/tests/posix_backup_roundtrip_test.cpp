// Round trips through "BKUP" and "RSTR" between two real directories: a file's bytes,
// size, modification time, owner, group and mode, its extended attributes, and symbolic
// links, FIFOs, sockets, devices and directories.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/file/unix/tests/posix_backup_fixture.h"
#include "core/file/unix/tests/posixsp_support.h"

namespace {

using BackupTesting::RecordingSink;
using PosixBackupTest::GetAttribute;
using PosixBackupTest::Lstat;
using PosixBackupTest::MtimeMillis;
using PosixBackupTest::SendBackup;
using PosixBackupTest::SendRestore;

std::string Describe(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

// A source and a target directory in one scratch directory.
class RoundTrip : public testing::Test {
 protected:
  RoundTrip() {
    scratch.MakeDir("src");
    scratch.MakeDir("dst");
  }

  std::string Src(const std::string& name) const { return scratch.At("src/" + name); }
  std::string Dst(const std::string& name) const { return scratch.At("dst/" + name); }

  // Backs up src/name and restores it as dst/name.
  void Copy(const std::string& name) {
    RecordingSink sink;
    posix_dir src(scratch.At("src"));
    Common::Error backedUp = SendBackup(src, name.c_str(), &sink);
    ASSERT_TRUE(backedUp.IsEmpty()) << Describe(backedUp);
    chunks = sink.chunks;
    posix_dir dst(scratch.At("dst"));
    Common::Error restored = SendRestore(dst, Common::ToUtf16(name.c_str()).c_str(), chunks);
    ASSERT_TRUE(restored.IsEmpty()) << Describe(restored);
  }

  PosixTest::ScratchDir scratch;
  std::vector<BackupTesting::RecordedChunk> chunks;
};

void SetMtime(const std::string& path, time_t seconds, long nanos) {
  timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST_F(RoundTrip, RegularFileKeepsBytesSizeAndMillisecondMtime) {
  std::string content;
  for (int i = 0; i < 70000; ++i) content.push_back(static_cast<char>(i * 13 + i / 256));
  scratch.WriteFile("src/f", content, 0640);
  SetMtime(Src("f"), 1600000000, 123456789);

  Copy("f");

  EXPECT_EQ(scratch.ReadFile("dst/f"), content);
  struct stat64 st = Lstat(Dst("f"));
  EXPECT_EQ(st.st_size, 70000);
  EXPECT_EQ(MtimeMillis(st), 1600000000123u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(RoundTrip, EmptyFile) {
  scratch.WriteFile("src/e", "", 0600);
  Copy("e");
  EXPECT_EQ(Lstat(Dst("e")).st_size, 0);
  EXPECT_TRUE(S_ISREG(Lstat(Dst("e")).st_mode));
}

TEST_F(RoundTrip, ModesWithSpecialBits) {
  struct Case {
    const char* Name;
    bool Directory;
    mode_t Mode;
  } cases[] = {{"setuid", false, 04755}, {"setgid", false, 02750}, {"both", false, 06711},
               {"sticky", true, 01777}, {"gid_dir", true, 02770}, {"private", false, 0400}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Directory)
      scratch.MakeDir(std::string("src/") + c.Name);
    else
      scratch.WriteFile(std::string("src/") + c.Name, "x");
    ASSERT_EQ(chmod(Src(c.Name).c_str(), c.Mode), 0);
    Copy(c.Name);
    EXPECT_EQ(Lstat(Dst(c.Name)).st_mode & 07777, c.Mode);
    EXPECT_EQ(S_ISDIR(Lstat(Dst(c.Name)).st_mode), c.Directory);
  }
}

TEST_F(RoundTrip, OwnerAndGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  scratch.WriteFile("src/owned", "o", 04750);
  ASSERT_EQ(chown(Src("owned").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chmod(Src("owned").c_str(), 04750), 0);
  ASSERT_EQ(symlink("owned", Src("link").c_str()), 0);
  ASSERT_EQ(lchown(Src("link").c_str(), 4321, 8765), 0);

  Copy("owned");
  Copy("link");

  struct stat64 file = Lstat(Dst("owned"));
  EXPECT_EQ(file.st_uid, 1234u);
  EXPECT_EQ(file.st_gid, 5678u);
  // chown clears the setuid bit; the mode comes after the owner.
  EXPECT_EQ(file.st_mode & 07777, 04750u);
  struct stat64 link = Lstat(Dst("link"));
  EXPECT_EQ(link.st_uid, 4321u);
  EXPECT_EQ(link.st_gid, 8765u);
}

TEST_F(RoundTrip, UserAndTrustedAttributes) {
  bool user = PosixBackupTest::AttributesWork(scratch.Path(), "user.probe");
  bool trusted = PosixBackupTest::AttributesWork(scratch.Path(), "trusted.probe");
  if (!user && !trusted) GTEST_SKIP() << "this file system takes neither user. nor trusted. attributes";
  scratch.WriteFile("src/attrs", "body");
  if (user) {
    ASSERT_EQ(setxattr(Src("attrs").c_str(), "user.colour", "blue", 4, 0), 0);
    ASSERT_EQ(setxattr(Src("attrs").c_str(), "user.empty", "", 0, 0), 0);
    std::string big(3000, 'b');
    ASSERT_EQ(setxattr(Src("attrs").c_str(), "user.big", big.data(), big.size(), 0), 0);
  }
  if (trusted) {
    ASSERT_EQ(setxattr(Src("attrs").c_str(), "trusted.t", "\x00\x01\x02", 3, 0), 0);
  }

  Copy("attrs");

  if (user) {
    EXPECT_EQ(GetAttribute(Dst("attrs"), "user.colour"), "blue");
    EXPECT_EQ(GetAttribute(Dst("attrs"), "user.empty"), "");
    EXPECT_EQ(GetAttribute(Dst("attrs"), "user.big"), std::string(3000, 'b'));
  }
  if (trusted) {
    EXPECT_EQ(GetAttribute(Dst("attrs"), "trusted.t"), std::string("\x00\x01\x02", 3));
  }
  EXPECT_EQ(scratch.ReadFile("dst/attrs"), "body");
}

// chown clears a file capability: the restore sets it again after the owner.
TEST_F(RoundTrip, FileCapabilitySurvivesTheOwnerChange) {
  if (geteuid() != 0) GTEST_SKIP() << "file capabilities and owners need root";
  scratch.WriteFile("src/tool", "#!", 0755);
  vfs_cap_data cap{};
  cap.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
  cap.data[0].permitted = 1u << CAP_NET_RAW;
  if (setxattr(Src("tool").c_str(), "security.capability", &cap, XATTR_CAPS_SZ_2, 0) != 0)
    GTEST_SKIP() << "file capabilities cannot be set here: " << std::strerror(errno);
  ASSERT_EQ(chown(Src("tool").c_str(), 1234, 1234), 0);
  // Owner changes by root drop the attribute: set it again on the owned file.
  ASSERT_EQ(setxattr(Src("tool").c_str(), "security.capability", &cap, XATTR_CAPS_SZ_2, 0), 0);
  std::string expected = GetAttribute(Src("tool"), "security.capability");
  ASSERT_NE(expected, "<none>");

  Copy("tool");

  EXPECT_EQ(Lstat(Dst("tool")).st_uid, 1234u);
  EXPECT_EQ(GetAttribute(Dst("tool"), "security.capability"), expected);
}

TEST_F(RoundTrip, SymbolicLinkKeepsItsTextUnfollowed) {
  ASSERT_EQ(symlink("../nowhere/t\xC3\xA9st", Src("dangling").c_str()), 0);
  Copy("dangling");
  char target[256] = {};
  ASSERT_GT(readlink(Dst("dangling").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "../nowhere/t\xC3\xA9st");
  EXPECT_TRUE(S_ISLNK(Lstat(Dst("dangling")).st_mode));
}

TEST_F(RoundTrip, FifoAndSocket) {
  ASSERT_EQ(mkfifo(Src("fifo").c_str(), 0640), 0);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string socketPath = Src("sock");
  if (socketPath.size() >= sizeof address.sun_path) GTEST_SKIP() << "scratch path too long for a socket";
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(s);
  ASSERT_EQ(chmod(Src("sock").c_str(), 0751), 0);

  Copy("fifo");
  Copy("sock");

  struct stat64 fifo = Lstat(Dst("fifo"));
  EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
  EXPECT_EQ(fifo.st_mode & 07777, 0640u);
  struct stat64 sock = Lstat(Dst("sock"));
  EXPECT_TRUE(S_ISSOCK(sock.st_mode));
  EXPECT_EQ(sock.st_mode & 07777, 0751u);
}

TEST_F(RoundTrip, Devices) {
  if (mknod(Src("chr").c_str(), S_IFCHR | 0620, makedev(1, 3)) != 0 ||
      mknod(Src("blk").c_str(), S_IFBLK | 0640, makedev(7, 200)) != 0)
    GTEST_SKIP() << "device nodes cannot be made here: " << std::strerror(errno);
  ASSERT_EQ(chmod(Src("chr").c_str(), 0620), 0);
  Copy("chr");
  Copy("blk");
  struct stat64 chr = Lstat(Dst("chr"));
  EXPECT_TRUE(S_ISCHR(chr.st_mode));
  EXPECT_EQ(major(chr.st_rdev), 1u);
  EXPECT_EQ(minor(chr.st_rdev), 3u);
  EXPECT_EQ(chr.st_mode & 07777, 0620u);
  struct stat64 blk = Lstat(Dst("blk"));
  EXPECT_TRUE(S_ISBLK(blk.st_mode));
  EXPECT_EQ(major(blk.st_rdev), 7u);
  EXPECT_EQ(minor(blk.st_rdev), 200u);
}

TEST_F(RoundTrip, DirectoryItselfByNullIdentifier) {
  scratch.MakeDir("src/tree", 0710);
  scratch.WriteFile("src/tree/child", "not copied");
  RecordingSink sink;
  posix_dir tree(Src("tree"));
  ASSERT_TRUE(SendBackup(tree, nullptr, &sink).IsEmpty());
  EXPECT_EQ(sink.Find(CHUNK_DATA), nullptr);
  ASSERT_NE(sink.Find(CHUNK_ATTRIBUTES), nullptr);
  EXPECT_EQ(sink.Find(CHUNK_ATTRIBUTES)->Payload, BackupTesting::U32(0x10));

  posix_dir dst(scratch.At("dst"));
  ASSERT_TRUE(SendRestore(dst, u"copy", sink.chunks).IsEmpty());
  struct stat64 st = Lstat(Dst("copy"));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0710u);
  EXPECT_NE(access(Dst("copy/child").c_str(), F_OK), 0);
}

// A directory backed up as itself carries its extended attributes; the restore makes the
// directory and leaves them, since only an open file takes attributes.
TEST_F(RoundTrip, DirectoryItselfWithAttributes) {
  scratch.MakeDir("src/tree", 0750);
  const char* name = PosixBackupTest::AttributesWork(scratch.Path(), "user.probe")      ? "user.colour"
                     : PosixBackupTest::AttributesWork(scratch.Path(), "trusted.probe") ? "trusted.colour"
                                                                                        : nullptr;
  if (name == nullptr) GTEST_SKIP() << "this file system takes neither user. nor trusted. attributes";
  ASSERT_EQ(setxattr(Src("tree").c_str(), name, "blue", 4, 0), 0);
  RecordingSink sink;
  posix_dir tree(Src("tree"));
  ASSERT_TRUE(SendBackup(tree, nullptr, &sink).IsEmpty());
  const BackupTesting::RecordedChunk* attributes = sink.Find(CHUNK_XATTR);
  ASSERT_NE(attributes, nullptr);
  const std::string nameBytes(name, std::strlen(name) + 1);
  BackupTesting::Bytes record = BackupTesting::Join({BackupTesting::U16(static_cast<uint16_t>(nameBytes.size())),
                                                     BackupTesting::U64(4), BackupTesting::Text(nameBytes),
                                                     BackupTesting::Text("blue")});
  EXPECT_NE(std::search(attributes->Payload.begin(), attributes->Payload.end(), record.begin(), record.end()),
            attributes->Payload.end());

  posix_dir dst(scratch.At("dst"));
  ASSERT_TRUE(SendRestore(dst, u"copy", sink.chunks).IsEmpty());
  EXPECT_TRUE(S_ISDIR(Lstat(Dst("copy")).st_mode));
  EXPECT_EQ(getxattr(Dst("copy").c_str(), name, nullptr, 0), -1);
}

TEST_F(RoundTrip, RestoreOverAnExistingDirectory) {
  scratch.MakeDir("src/d", 0750);
  scratch.MakeDir("dst/d", 0700);
  Copy("d");
  EXPECT_EQ(Lstat(Dst("d")).st_mode & 07777, 0750u);
}

// The facts a round trip keeps, as one text per entry: type, mode, owner and device; the
// modification time but of a directory or a link; a file's content and user attributes; a
// link's target.
std::string EntryFacts(const std::string& path) {
  struct stat64 st = Lstat(path);
  std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) +
                      " " + std::to_string(st.st_rdev);
  if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) facts += " " + std::to_string(MtimeMillis(st));
  if (S_ISREG(st.st_mode)) {
    std::ifstream in(path, std::ios::binary);
    facts += " [" + std::string(std::istreambuf_iterator<char>(in), {}) + "] user.kept=" + GetAttribute(path, "user.kept");
  }
  char target[256];
  ssize_t n = readlink(path.c_str(), target, sizeof target);
  if (n > 0) facts += " -> " + std::string(target, static_cast<size_t>(n));
  return facts;
}

// The errno of the first errno record in the chain, 0 when there is none.
int ChainErrno(const Common::Error& error) {
  for (int depth = 0; depth < PosixTest::ChainLength(error); ++depth) {
    PosixTest::RecordView record = PosixTest::RecordAt(error, depth);
    if (record.Code == Common::POSIX_ERROR) return PosixTest::ErrnoOf(record.Record);
  }
  return 0;
}

constexpr int kChildSeconds = 30;
// A backup of a FIFO takes microseconds; one that waits for a writer waits for ever.
constexpr int kFifoBackupSeconds = 5;

class RoundTripWithoutProc : public RoundTrip {
 protected:
  // Runs `body` in a child of its own whose mount namespace hides /proc under an empty
  // tmpfs; kChildCannotSetUp where that cannot be made.
  static int InChildWithoutProc(const std::function<int()>& body) {
    return PosixTest::RunInChildWithin(
        [&] {
          std::string why;
          if (!PosixTest::EnterPrivateMounts(&why) || mount("none", "/proc", "tmpfs", 0, "size=4k") != 0) {
            std::printf("no /proc of its own: %s %s\n", why.c_str(), std::strerror(errno));
            return PosixTest::kChildCannotSetUp;
          }
          return body();
        },
        kChildSeconds);
  }

  void CheckOneWithoutProc(const char* name, bool onlyThroughProc,
                           const std::vector<BackupTesting::RecordedChunk>& stream) {
    posix_dir src(scratch.At("src"));
    posix_dir dst(scratch.At("dst"));
    RecordingSink sink;
    Common::Error backedUp = SendBackup(src, name, &sink);
    if (backedUp) {
      EXPECT_TRUE(onlyThroughProc) << Describe(backedUp);
      EXPECT_EQ(ChainErrno(backedUp), ENOENT) << Describe(backedUp);
    } else {
      ASSERT_EQ(sink.chunks.size(), stream.size());
      for (size_t i = 0; i < stream.size(); ++i) {
        EXPECT_EQ(sink.chunks[i].Type, stream[i].Type);
        EXPECT_EQ(sink.chunks[i].Payload, stream[i].Payload) << "chunk type " << stream[i].Type;
      }
    }
    Common::Error restored = SendRestore(dst, Common::ToUtf16(name).c_str(), stream);
    ASSERT_TRUE(restored.IsEmpty()) << Describe(restored);
    // Without fchmodat2 nothing but /proc sets a device node's mode: the refused mode, with
    // no one to ask, takes the node away again.
    const mode_t type = Lstat(Src(name)).st_mode & S_IFMT;
    if ((type == S_IFCHR || type == S_IFBLK) && !HasFchmodat2()) {
      EXPECT_NE(access(Dst(name).c_str(), F_OK), 0);
      return;
    }
    EXPECT_EQ(EntryFacts(Dst(name)), EntryFacts(Src(name)));
  }

  // fchmodat2 answers other than "no such call" (here EBADF) where the kernel has it.
  static bool HasFchmodat2() { return syscall(kFchmodat2Call, -1, "", 0, AT_EMPTY_PATH) != 0 && errno != ENOSYS; }

  // In a child only: fchmodat2 refused as a kernel without it refuses it.
  static bool RefuseFchmodat2() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kFchmodat2Call, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
  }

  static constexpr long kFchmodat2Call = 452;
};

// Without /proc: every entry backed up gives the stream it gives with /proc, and comes back
// whole from it; where only a path through /proc reaches an entry (the attributes of a
// link or a device node) the backup fails with the errno record of the call refused. The
// descriptor code once failed every file, lost a directory's attributes and flags in a
// backup that succeeded, and lost a FIFO in a restore that succeeded.
TEST_F(RoundTripWithoutProc, NothingIsLeftOutInSilence) {
  struct Made {
    const char* Name;
    bool OnlyThroughProc;  // its attributes have no descriptor call
  };
  std::vector<Made> made{{"file", false}, {"dir", false}, {"fifo", false}, {"link", true}};
  scratch.WriteFile("src/file", "the file's content", 0640);
  scratch.MakeDir("src/dir", 0750);
  ASSERT_EQ(mkfifo(Src("fifo").c_str(), 0604), 0);
  ASSERT_EQ(symlink("elsewhere", Src("link").c_str()), 0);
  if (mknod(Src("node").c_str(), S_IFCHR | 0620, makedev(1, 3)) == 0) made.push_back({"node", true});
  for (const char* name : {"file", "dir"}) {
    setxattr(Src(name).c_str(), "user.kept", "v", 1, 0);
    // An inode flag the file systems keep, where they keep it; the stream shows it either way.
    int fd = open(Src(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    unsigned int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_NODUMP_FL;
      ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) close(fd);
  }
  // Root may give a link or a device node attributes of its own: only /proc reaches them.
  for (const char* name : {"link", "node"}) lsetxattr(Src(name).c_str(), "trusted.kept", "t", 1, 0);
  for (const Made& entry : made) {
    if (geteuid() == 0) {
      ASSERT_EQ(lchown(Src(entry.Name).c_str(), 1234, 5678), 0);
    }
    if (std::strcmp(entry.Name, "link") != 0) SetMtime(Src(entry.Name), 1600000000, 250000000);
  }
  // With /proc, in this process: the streams to compare with.
  std::map<std::string, std::vector<BackupTesting::RecordedChunk>> streams;
  posix_dir src(scratch.At("src"));
  for (const Made& entry : made) {
    RecordingSink sink;
    Common::Error error = SendBackup(src, entry.Name, &sink);
    ASSERT_TRUE(error.IsEmpty()) << entry.Name << ": " << Describe(error);
    streams[entry.Name] = sink.chunks;
  }
  // The catalog is loaded while the program's own file can still be found.
  Common::GetCodeText(Common::FILE_OPEN_ERROR);

  const int status = InChildWithoutProc([&] {
    EXPECT_NE(access("/proc/self/fd", F_OK), 0);
    // As the kernel is, then as a kernel without fchmodat2 (before 6.6, or an emulator).
    for (bool refused : {false, true}) {
      SCOPED_TRACE(refused ? "fchmodat2 refused" : "fchmodat2 as the kernel has it");
      if (refused && !RefuseFchmodat2()) {
        std::printf("fchmodat2 cannot be refused here: %s\n", std::strerror(errno));
        break;
      }
      for (const Made& entry : made) {
        SCOPED_TRACE(entry.Name);
        if (unlink(Dst(entry.Name).c_str()) != 0) rmdir(Dst(entry.Name).c_str());
        CheckOneWithoutProc(entry.Name, entry.OnlyThroughProc, streams[entry.Name]);
      }
    }
    return testing::Test::HasFailure() ? PosixTest::kChildAssertionsFailed : 0;
  });
  if (status == PosixTest::kChildCannotSetUp) GTEST_SKIP() << "needs root to hide /proc in a mount namespace of its own";
  EXPECT_EQ(status, 0);
}

// Without /proc the umask is still what a stream without a mode leaves the file: the mode
// a by-name create gives it. Nothing else is left in the directory, a name of the longest
// length included.
TEST_F(RoundTripWithoutProc, AFileWithoutAModeTakesTheUmask) {
  struct Row {
    mode_t Umask;
    std::string Name;
  };
  const Row rows[] = {{027, "plain"}, {0, "open to all"}, {077, std::string(NAME_MAX, 'n')}};
  Common::GetCodeText(Common::FILE_OPEN_ERROR);
  const int status = InChildWithoutProc([&] {
    posix_dir dst(scratch.At("dst"));
    for (const Row& row : rows) {
      SCOPED_TRACE(row.Name);
      umask(row.Umask);
      Common::Error restored = SendRestore(dst, Common::ToUtf16(row.Name.c_str()).c_str(), {});
      EXPECT_TRUE(restored.IsEmpty()) << Describe(restored);
      EXPECT_EQ(Lstat(Dst(row.Name)).st_mode & 07777, 0644 & ~row.Umask);
      EXPECT_EQ(PosixBackupTest::Names(scratch.At("dst")), std::vector<std::string>{row.Name});
      unlink(Dst(row.Name).c_str());
    }
    return testing::Test::HasFailure() ? PosixTest::kChildAssertionsFailed : 0;
  });
  if (status == PosixTest::kChildCannotSetUp) GTEST_SKIP() << "needs root to hide /proc in a mount namespace of its own";
  EXPECT_EQ(status, 0);
}

// The file that tells the umask where /proc does not is never open to another user, even
// where the umask takes nothing away: someone who opened it could keep filling it,
// removed, at the restoring user's expense.
TEST_F(RoundTripWithoutProc, TheUmaskProbeIsNeverOpenToOthers) {
  struct Shared {
    std::atomic<uint32_t> Opened{0};
    std::atomic<uint32_t> Looked{0};
    std::atomic<uint32_t> Stop{0};
  };
  auto* shared = static_cast<Shared*>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);
  new (shared) Shared();
  ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(scratch.At("dst").c_str(), 0777), 0);
  const std::string dstPath = scratch.At("dst");
  Common::GetCodeText(Common::FILE_OPEN_ERROR);
  const int status = InChildWithoutProc([&] {
    // The other user opens for writing whatever appears in the directory.
    const pid_t other = fork();
    if (other == 0) {
      if (!PosixTest::DropPrivileges()) _exit(2);
      // Lists with getdents64 into a buffer of its own: no allocation, which 32-bit
      // AddressSanitizer under qemu's emulator cannot make here without /proc.
      alignas(8) char listing[4096];
      while (shared->Stop.load() == 0) {
        const int dir = open(dstPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) _exit(3);
        for (long got; (got = syscall(SYS_getdents64, dir, listing, sizeof listing)) > 0;) {
          for (long at = 0; at < got;) {
            dirent64 entry;
            std::memcpy(&entry, listing + at, offsetof(dirent64, d_name));
            const char* name = listing + at + offsetof(dirent64, d_name);
            at += entry.d_reclen;
            int fd = openat(dir, name, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
              shared->Opened.fetch_add(1);
              close(fd);
            }
          }
        }
        close(dir);
        shared->Looked.fetch_add(1);
      }
      _exit(0);
    }
    umask(0);
    posix_dir dst(dstPath);
    constexpr int kRestores = 3000;
    for (int i = 0; i < kRestores; ++i) {
      Common::Error restored = SendRestore(dst, u"f", {});
      EXPECT_TRUE(restored.IsEmpty()) << Describe(restored);
      unlink(Dst("f").c_str());
    }
    shared->Stop.store(1);
    int exited = -1;
    EXPECT_EQ(waitpid(other, &exited, 0), other);
    EXPECT_EQ(exited, 0);
    return testing::Test::HasFailure() ? PosixTest::kChildAssertionsFailed : 0;
  });
  const uint32_t opened = shared->Opened.load();
  const uint32_t looked = shared->Looked.load();
  munmap(shared, sizeof(Shared));
  if (status == PosixTest::kChildCannotSetUp) GTEST_SKIP() << "needs root to hide /proc in a mount namespace of its own";
  EXPECT_EQ(status, 0);
  EXPECT_GT(looked, 0u);
  EXPECT_EQ(opened, 0u) << "the other user opened the restoring user's file for writing";
}

// The backup reads through a descriptor of its own, closed through the lock layer: the
// range another descriptor of the process holds on the file stays locked, and no
// descriptor stays behind once that lock is released.
TEST_F(RoundTrip, BackupOfALockedFileKeepsTheLockAndLeavesNoDescriptor) {
  scratch.WriteFile("src/locked", "locked content", 0644);
  posix_dir src(scratch.At("src"));
  const int before = PosixTest::OpenDescriptorCount();
  std::unique_ptr<posix_file> holder(src.Open(Src("locked"), O_RDWR, true, 0));
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(DoLockFileHandle(true, holder->GetFd(), true, false, 0, 4).IsEmpty());
  for (int round = 0; round < 3; ++round) {
    RecordingSink sink;
    Common::Error error = SendBackup(src, "locked", &sink);
    ASSERT_TRUE(error.IsEmpty()) << Describe(error);
  }
  // Another process sees the range locked.
  const int status = PosixTest::RunInChildWithin(
      [&] {
        int fd = open(Src("locked").c_str(), O_RDWR | O_CLOEXEC);
        struct flock64 probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_len = 4;
        if (fd < 0 || fcntl(fd, F_GETLK64, &probe) != 0) return 2;
        return probe.l_type == F_WRLCK && probe.l_pid == getppid() ? 0 : 1;
      },
      kChildSeconds);
  EXPECT_EQ(status, 0) << "the lock was lost";
  holder.reset();
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before);
}

// A FIFO is opened for its attributes without waiting for a writer, which may never come;
// a child bounds the wait.
TEST_F(RoundTrip, FifoBackupWaitsForNoWriter) {
  ASSERT_EQ(mkfifo(Src("fifo").c_str(), 0640), 0);
  const int status = PosixTest::RunInChildWithin(
      [&] {
        RecordingSink sink;
        posix_dir src(scratch.At("src"));
        return SendBackup(src, "fifo", &sink).IsEmpty() ? 0 : PosixTest::kChildAssertionsFailed;
      },
      kFifoBackupSeconds);
  EXPECT_EQ(status, 0) << "-1: the backup waited for a writer until it was killed";
}

}  // namespace
