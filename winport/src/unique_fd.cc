#include "winport/unique_fd.h"

#include <unistd.h>

namespace winport {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::close() noexcept {
  if (fd_ < 0) return 0;
  // Not retried on EINTR: Linux has released the descriptor either way.
  int rc = ::close(fd_);
  fd_ = -1;
  return rc;
}

}  // namespace winport
