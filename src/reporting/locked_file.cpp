#include "reporting/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace sentrel {

LockedFile::~LockedFile() {
    Close();
}

bool LockedFile::OpenAppend(const std::string& path) {
    return Open(path, O_APPEND);
}

bool LockedFile::OpenTruncate(const std::string& path) {
    return Open(path, O_TRUNC);
}

bool LockedFile::Open(const std::string& path, int extraFlags) {
    Close();
    if (path.empty()) {
        return false;
    }
    // Opened without blocking: a FIFO nobody reads (or a line waiting for its
    // carrier) would hold the pass for good; it fails (ENXIO) like any open.
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | extraFlags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    // Writes block again as usual (a FIFO with a reader, a device).
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    // Wait a bounded time for another holder; never block without limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fd_ = fd;
    return true;
}

bool LockedFile::WriteWhole(const std::string& bytes) {
    if (fd_ < 0) {
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    struct stat before {};
    const bool haveSize = ::fstat(fd_, &before) == 0 && S_ISREG(before.st_mode);
    ssize_t n;
    do {
        n = ::write(fd_, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(bytes.size())) {
        return true;
    }
    // A partial line would corrupt the file for every later reader: take it back.
    if (n > 0 && haveSize) {
        (void)::ftruncate(fd_, before.st_size);
    }
    return false;
}

bool LockedFile::Close() {
    if (fd_ < 0) {
        return true;
    }
    int fd = fd_;
    fd_ = -1;
    ::flock(fd, LOCK_UN);
    return ::close(fd) == 0;
}

}  // namespace sentrel
