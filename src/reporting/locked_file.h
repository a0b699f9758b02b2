// A file opened for one short write job under an exclusive advisory lock, so
// that other programs that honour the lock cannot write while we do.
#pragma once

#include <string>

namespace sentrel {

class LockedFile {
  public:
    // How long Open waits for another holder of the lock before giving up.
    static constexpr int kLockWaitMs = 2000;

    LockedFile() = default;
    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Opens for writing only (created 0644 when missing), appending or
    // truncating, and takes the lock. False when either fails (nothing stays open).
    bool OpenAppend(const std::string& path);
    bool OpenTruncate(const std::string& path);

    // Writes the bytes in one write(). A short write is taken back (the file is
    // cut to its length before the write) and reported as false.
    bool WriteWhole(const std::string& bytes);

    // Releases the lock and closes; false when close reported an error.
    bool Close();

    bool IsOpen() const { return fd_ >= 0; }

  private:
    bool Open(const std::string& path, int extraFlags);

    int fd_ = -1;
};

}  // namespace sentrel
