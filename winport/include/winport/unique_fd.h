// An owned POSIX file descriptor: closed when the owner goes, moved rather than copied.
#pragma once

namespace winport {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the descriptor up without closing it.
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept;
  // Closes now and tells whether that worked (0, or -1 with errno set): a file written
  // through this descriptor is only known to be stored when its close succeeded.
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace winport
