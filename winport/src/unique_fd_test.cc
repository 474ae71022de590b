#include "winport/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, OwnershipFollowsMovesAndEndsWithTheLastOwner) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    winport::UniqueFd reader(fds[0]);
    winport::UniqueFd writer(fds[1]);
    winport::UniqueFd moved(std::move(reader));
    EXPECT_FALSE(reader.valid());
    EXPECT_EQ(moved.get(), fds[0]);

    // Assigning over an owner closes what it held.
    moved = std::move(writer);
    EXPECT_FALSE(IsOpen(fds[0]));
    EXPECT_TRUE(IsOpen(fds[1]));
    winport::UniqueFd& same = moved;
    moved = std::move(same);  // a self-move keeps the descriptor
    EXPECT_TRUE(IsOpen(fds[1]));
  }
  EXPECT_FALSE(IsOpen(fds[1]));
}

TEST(UniqueFdTest, ReleaseKeepsTheDescriptorOpenAndCloseReportsItsResult) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  winport::UniqueFd reader(fds[0]);
  int raw = reader.release();
  EXPECT_FALSE(reader);
  EXPECT_TRUE(IsOpen(raw));
  EXPECT_EQ(reader.close(), 0);  // nothing held: nothing to do

  winport::UniqueFd writer(fds[1]);
  EXPECT_EQ(writer.close(), 0);
  EXPECT_FALSE(writer.valid());
  EXPECT_FALSE(IsOpen(fds[1]));

  // A descriptor that is not open fails to close, and says so.
  winport::UniqueFd stale(raw);
  ASSERT_EQ(::close(raw), 0);
  EXPECT_EQ(stale.close(), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
