// Replacing a file so that an earlier version survives a failed write, and the temporary files
// that killed writers leave behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "child_process.h"
#include "platform/replace_file.h"

namespace {

// Writes `bytes` to `path` through a replacement; true when they are there.
bool replace_with(const std::string& path, const std::string& bytes) {
  ReplacementFile file;
  if (!replacement_open(&file, path.c_str(), static_cast<std::int64_t>(bytes.size()))) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.stream) == bytes.size();
  return replacement_commit(&file, written);
}

class ReplaceFile : public ::testing::Test {
 protected:
  void SetUp() override { directory = make_temp_directory(); }
  void TearDown() override { std::filesystem::remove_all(directory); }
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (auto& entry : std::filesystem::directory_iterator(directory)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }
  std::string directory;
};

TEST_F(ReplaceFile, StaleTemporaryFilesOfThisFileAloneAreRemoved) {
  const std::string path = directory + "/state.bin";
  const std::string stem = directory + "/" + temp_name_stem("state.bin");
  write_file(stem + "abc123", "left by a save killed with -9");
  write_file(stem + "def456", "another process's save in progress");
  write_file(path + ".backup", "the user's own");
  write_file(directory + "/" + temp_name_stem("other.bin") + "abc123", "another file's");
  int in_progress = open((stem + "def456").c_str(), O_RDONLY);
  ASSERT_EQ(flock(in_progress, LOCK_EX), 0);
  ASSERT_TRUE(replace_with(path, "new"));
  close(in_progress);
  EXPECT_EQ(names(), (std::set<std::string>{"state.bin", "state.bin.backup",
                                            temp_name_stem("state.bin") + "def456",
                                            temp_name_stem("other.bin") + "abc123"}));
}

// The same for the ways a path is written on a command line: a bare name, a name after "./" and a
// name in a subfolder, from the working directory. The temporary files sit beside the file with
// the name the README gives, and a bare name's hidden ones that earlier versions left go too.
TEST_F(ReplaceFile, StaleTemporaryFilesGoForBareAndRelativeNames) {
  const std::filesystem::path working = std::filesystem::current_path();
  std::filesystem::current_path(directory);
  std::filesystem::create_directory("sub");
  for (const std::string path : {"ck", "./ck2", "sub/ck3"}) {
    const std::string folder =
        path.rfind('/') == std::string::npos ? "" : path.substr(0, path.rfind('/') + 1);
    const std::string stem = temp_name_stem(path.substr(folder.size()));
    write_file(folder + stem + "abc123", "left by a save killed with -9");
    write_file(folder + "." + stem + "ghi789", "left by an earlier version");
    write_file(folder + stem + "def456", "another process's save in progress");
    int in_progress = open((folder + stem + "def456").c_str(), O_RDONLY);
    ASSERT_EQ(flock(in_progress, LOCK_EX), 0);
    ReplacementFile file;
    ASSERT_TRUE(replacement_open(&file, path.c_str(), 3)) << path;
    const std::string beside = folder.empty() ? "./" : folder;
    EXPECT_EQ(file.temp_path.substr(0, beside.size() + stem.size()), beside + stem) << path;
    EXPECT_EQ(file.temp_path.size(), beside.size() + stem.size() + 6) << path;
    ASSERT_TRUE(replacement_commit(&file, std::fwrite("new", 1, 3, file.stream) == 3)) << path;
    close(in_progress);
    EXPECT_FALSE(std::filesystem::exists(folder + stem + "abc123")) << path;
    EXPECT_FALSE(std::filesystem::exists(folder + "." + stem + "ghi789")) << path;
    EXPECT_TRUE(std::filesystem::exists(folder + stem + "def456")) << path;
    EXPECT_EQ(read_file(path), "new") << path;
  }
  std::filesystem::current_path(working);
}

// Replacements of an earlier file on a small file system of its own, which runs out of room or
// of inodes; mounting it needs root, as CI has.
class ReplaceFileOnASmallDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = make_temp_directory();
    if (mount("none", directory.c_str(), "tmpfs", 0, "size=256k,nr_inodes=32") != 0) {
      GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    mounted = true;
  }
  void TearDown() override {
    if (mounted) umount2(directory.c_str(), MNT_DETACH);
    std::filesystem::remove_all(directory);
  }
  // Writes a small file to `path`, then fails to replace it with one too large for the disk:
  // the first must survive at `where`.
  void expect_failed_replacement_keeps(const std::string& path, const std::string& where) {
    ASSERT_TRUE(replace_with(path, small));
    EXPECT_FALSE(replace_with(path, too_large));
    EXPECT_EQ(read_file(where), small);
  }
  std::string directory;
  bool mounted = false;
  const std::string small = std::string(960, 's');
  const std::string too_large = std::string(355 * 1024, 'L');
};

TEST_F(ReplaceFileOnASmallDisk, LongNameKeepsTheEarlierFile) {
  const std::string path = directory + "/" + std::string(250, 'c');
  expect_failed_replacement_keeps(path, path);
}

TEST_F(ReplaceFileOnASmallDisk, SymbolicLinkKeepsItsTargetsEarlierFile) {
  const std::string target = directory + "/target.bin", link = directory + "/link.bin";
  ASSERT_EQ(symlink("target.bin", link.c_str()), 0);
  expect_failed_replacement_keeps(link, target);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST_F(ReplaceFileOnASmallDisk, OutOfInodesWritesInPlaceOnlyWithRoom) {
  const std::string path = directory + "/state.bin";
  ASSERT_TRUE(replace_with(path, small));
  for (int i = 0; std::ofstream(directory + "/filler" + std::to_string(i)).good(); ++i) {
  }
  const std::string later = std::string(960, 't');  // the same size fits in place
  ASSERT_TRUE(replace_with(path, later));
  EXPECT_EQ(read_file(path), later);
  EXPECT_FALSE(replace_with(path, too_large));
  EXPECT_EQ(read_file(path), later);
}

}  // namespace
