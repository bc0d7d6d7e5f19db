#include "hbstream_posix.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class HBStreamPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/hbstream_posix_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const char *name) const { return dir_ + "/" + name; }
  void writeFile(const char *name, const std::string &content) const {
    std::ofstream(path(name), std::ios::binary) << content;
  }
  std::string readFile(const char *name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
};

bool closeOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

int descriptorOf(IHBStream *stream) {
  void *ifc = nullptr;
  EXPECT_EQ(stream->getifc(HBTYPE_IID_IHBPOSIXFILESTREAM, &ifc), 0);
  HBRef<IHBPosixFileStream> posix(static_cast<IHBPosixFileStream *>(ifc));
  return posix->getFileDescriptor();
}

}  // namespace

TEST_F(HBStreamPosixTest, OpenErrorsAreMapped) {
  writeFile("present", "x");
  struct Case {
    const char *name;
    uint32_t flags;
    brerror_t expected;
  } cases[] = {
      {"present", 0, BRERROR_INVALID_ARGUMENT},
      {"present", HBSTREAM_CREATE | HBSTREAM_TRUNCATE, BRERROR_INVALID_ARGUMENT},
      {"missing", HBSTREAM_READ, BRERROR_NO_ENTRY},
      {"present", HBSTREAM_CREATE | HBSTREAM_EXCLUSIVE | HBSTREAM_WRITE, BRERROR_EXISTS},
  };
  for (const Case &c : cases) {
    IHBStream *stream = nullptr;
    EXPECT_EQ(HBStream__newRaw(&stream, path(c.name).c_str(), c.flags), c.expected)
        << c.name << " flags 0x" << std::hex << c.flags;
    EXPECT_EQ(stream, nullptr);
  }
  EXPECT_EQ(HBStream__mapFlags(0), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(HBStream__mapFlags(0x5002), O_WRONLY | O_CREAT | O_EXCL);
}

TEST_F(HBStreamPosixTest, ReadOnlyStreamRefusesWritesAndReadsContent) {
  writeFile("data", "hello world");
  HBRef<IHBStream> stream;
  ASSERT_EQ(HBStream__newFromPath(stream.out(), path("data").c_str(), nullptr, HBSTREAM_READ), 0);
  EXPECT_EQ(stream->write("x", 1), BRERROR_INVALID_ARGUMENT);
  char buffer[32] = {};
  EXPECT_EQ(stream->seek(6, HBSEEK_SET), 6);
  EXPECT_EQ(stream->read(buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "world");
  EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
  EXPECT_EQ(stream->seek(-5, HBSEEK_END), 6);
  EXPECT_EQ(stream->seek(1, HBSEEK_CUR), 7);
  // An unknown origin counts from the start.
  EXPECT_EQ(stream->seek(2, 99), 2);
  EXPECT_EQ(readFile("data"), "hello world");
}

TEST_F(HBStreamPosixTest, CreatedFileGetsRequestedModeAndContent) {
  const uint32_t flags = HBSTREAM_WRITE | HBSTREAM_CREATE | HBSTREAM_EXCLUSIVE | HBSTREAM_MODE |
                         (0640u << 16);
  const mode_t saved = umask(022);
  HBRef<IHBStream> stream;
  ASSERT_EQ(HBStream__newRaw(stream.out(), path("new").c_str(), flags), 0);
  umask(saved);
  EXPECT_EQ(stream->write("abc", 3), 3);
  EXPECT_EQ(stream->close(), 0);
  EXPECT_EQ(stream->close(), 0);
  struct stat st;
  ASSERT_EQ(stat(path("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(readFile("new"), "abc");
}

TEST_F(HBStreamPosixTest, EveryDescriptorIsCloseOnExec) {
  writeFile("data", "x");
  HBRef<IHBStream> file;
  ASSERT_EQ(HBStream__newRaw(file.out(), path("data").c_str(), HBSTREAM_READ), 0);
  EXPECT_TRUE(closeOnExec(descriptorOf(file.get())));

  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  ASSERT_FALSE(closeOnExec(pipes[0]));
  HBRef<IHBStream> wrapped;
  ASSERT_EQ(HBStream__newForFD(wrapped.out(), pipes[0], HBSTREAM_READ), 0);
  EXPECT_TRUE(closeOnExec(pipes[0]));
  close(pipes[1]);

  HBRef<IHBStream> temp;
  ASSERT_EQ(HBStream__newTempStreamIn(temp.out(), 3, dir_.c_str(), nullptr, 0), 0);
  EXPECT_TRUE(closeOnExec(descriptorOf(temp.get())));
}

TEST_F(HBStreamPosixTest, TempStreamWithoutPathBufferLeavesNoFile) {
  HBRef<IHBStream> temp;
  ASSERT_EQ(HBStream__newTempStreamIn(temp.out(), 3, dir_.c_str(), nullptr, 0), 0);
  EXPECT_EQ(temp->write("abc", 3), 3);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
  temp->close();
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 0);
}

TEST_F(HBStreamPosixTest, TempStreamWithPathBufferKeepsNamedFile) {
  const std::string slashed = dir_ + "/";
  std::string name(slashed.size() + 12, 'x');
  HBRef<IHBStream> temp;
  ASSERT_EQ(HBStream__newTempStreamIn(temp.out(), 3, slashed.c_str(), name.data(),
                                      static_cast<int32_t>(name.size())),
            0);
  const std::string created(name.c_str());
  EXPECT_EQ(created.rfind(dir_ + "/vqz_", 0), 0u) << created;
  EXPECT_EQ(created.size(), dir_.size() + 11);
  char reported[64];
  void *ifc = nullptr;
  ASSERT_EQ(temp->getifc(HBTYPE_IID_IHBFILESTREAM, &ifc), 0);
  HBRef<IHBFileStream> file(static_cast<IHBFileStream *>(ifc));
  // A short buffer gets a cut copy and the full length.
  EXPECT_EQ(file->getFilePath(reported, 5), static_cast<brerror_t>(created.size()));
  EXPECT_STREQ(reported, created.substr(0, 4).c_str());
  temp->write("abc", 3);
  temp->close();
  EXPECT_TRUE(fs::exists(created));
}

TEST_F(HBStreamPosixTest, TempStreamPathBufferTooShortIsRefused) {
  char name[64];
  const int32_t needed = static_cast<int32_t>(dir_.size()) + 12;
  IHBStream *temp = nullptr;
  EXPECT_EQ(HBStream__newTempStreamIn(&temp, 3, dir_.c_str(), name, needed - 1), BRERROR_NO_SPACE);
  EXPECT_EQ(temp, nullptr);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 0);
}

TEST_F(HBStreamPosixTest, WrappedDescriptorHasNoPath) {
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  HBRef<IHBStream> stream;
  ASSERT_EQ(HBStream__newForFD(stream.out(), pipes[1], HBSTREAM_WRITE), 0);
  close(pipes[0]);
  void *ifc = nullptr;
  EXPECT_EQ(stream->getifc(HBTYPE_IID_IHBFILESTREAM, &ifc), BRERROR_NO_ENTRY);
  ASSERT_EQ(stream->getifc(HBTYPE_IID_IHBPOSIXFILESTREAM, &ifc), 0);
  HBRef<IHBPosixFileStream> posix(static_cast<IHBPosixFileStream *>(ifc));
  char buffer[8];
  EXPECT_EQ(posix->getFilePath(buffer, sizeof buffer), BRERROR_NO_ENTRY);
  IHBStream *none = nullptr;
  EXPECT_EQ(HBStream__newForFD(&none, pipes[1], 0), BRERROR_INVALID_ARGUMENT);
}

TEST_F(HBStreamPosixTest, NonBlockingReadWithoutDataTimesOut) {
  int pipes[2];
  ASSERT_EQ(pipe2(pipes, O_NONBLOCK), 0);
  HBRef<IHBStream> stream;
  ASSERT_EQ(HBStream__newForFD(stream.out(), pipes[0], HBSTREAM_READ), 0);
  char c;
  EXPECT_EQ(stream->read(&c, 1), BRERROR_TIMED_OUT);
  close(pipes[1]);
  EXPECT_EQ(stream->read(&c, 1), 0);
}

TEST_F(HBStreamPosixTest, SocketWriteToClosedPeerFailsWithoutSignal) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  HBRef<IHBStream> stream;
  ASSERT_EQ(HBStream__newForSocket(stream.out(), pair[0], 3), 0);
  close(pair[1]);
  // Without MSG_NOSIGNAL this would end the test process with SIGPIPE.
  EXPECT_EQ(stream->write("x", 1), BRERROR_NO_CONNECTION);
}

TEST_F(HBStreamPosixTest, AllocateSpaceExtendsFileAndKeepsPosition) {
  HBRef<IHBStream> stream;
  ASSERT_EQ(HBStream__newRaw(stream.out(), path("space").c_str(),
                             HBSTREAM_READ | HBSTREAM_WRITE | HBSTREAM_CREATE),
            0);
  ASSERT_EQ(stream->write("head", 4), 4);
  void *ifc = nullptr;
  ASSERT_EQ(stream->getifc(HBTYPE_IID_IHBSTREAMSPACEALLOC, &ifc), 0);
  HBRef<IHBStreamSpaceAlloc> alloc(static_cast<IHBStreamSpaceAlloc *>(ifc));
  EXPECT_EQ(alloc->allocateSpace(1000), 0);
  EXPECT_EQ(stream->seek(0, HBSEEK_CUR), 4);
  EXPECT_EQ(fs::file_size(path("space")), 1004u);
  EXPECT_EQ(stream->write("body", 4), 4);
  EXPECT_EQ(readFile("space").substr(0, 8), "headbody");
}

TEST_F(HBStreamPosixTest, MmapGivesPrivateView) {
  writeFile("mapped", "mapped bytes");
  int fd = open(path("mapped").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void *address = nullptr;
  ASSERT_EQ(HBStream__mmap(fd, &address, 0, 12, HBSTREAM_READ | HBSTREAM_WRITE), 0);
  EXPECT_EQ(memcmp(address, "mapped bytes", 12), 0);
  // Private: a change stays in memory, the file keeps its bytes.
  static_cast<char *>(address)[0] = 'M';
  EXPECT_EQ(HBStream__munmap(address, 12), 0);
  close(fd);
  EXPECT_EQ(readFile("mapped"), "mapped bytes");
  void *bad = nullptr;
  EXPECT_LT(HBStream__mmap(-1, &bad, 0, 12, HBSTREAM_READ), 0);
}
