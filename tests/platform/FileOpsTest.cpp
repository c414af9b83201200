#include "platform/FileOps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/RecordingFileOps.h"
#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

using testing::RecordingFileOps;

// A replaced file reaches the disk in the one order that survives a power cut at any point:
// data under the temporary name, synced, renamed, and the name synced with its directory. A
// directory that cannot be synced fails the replacement, though the file is in place.
TEST(StagedFileTest, ReplacementIsSyncedRenamedAndItsDirectorySyncedOrFails) {
  scratch::ScratchDir dir("fileops");
  const std::string path = (dir.path() / "marvolen.tcp").string();
  const std::string shown_dir = "dir " + RecordingFileOps::Shown(dir.path());
  RecordingFileOps rec;
  ReplaceFile(path, "record", rec.ops);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"write tmp(marvolen.tcp)", "fsync tmp(marvolen.tcp)",
                                               "rename tmp(marvolen.tcp) marvolen.tcp",
                                               "fsync " + shown_dir}));

  rec.log.clear();
  rec.fail_dir_fsync = true;
  try {
    ReplaceFile(path, "second", rec.ops);
    ADD_FAILURE() << "a directory that cannot be synced was taken as durable";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("Input/output error"), std::string::npos) << e.what();
  }
  EXPECT_EQ(rec.log.back(), "fsync " + shown_dir);
}

}  // namespace
}  // namespace marvolen
