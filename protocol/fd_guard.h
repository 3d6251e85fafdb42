// SPDX-License-Identifier: GPL-3.0-or-later
// Owners for descriptors and files, so that every path closes them.
#pragma once

#include <cerrno>
#include <cstdio>
#include <unistd.h>

// Owns a descriptor and closes it on every path; keeps errno across the close
// so the caller can still report why it gave up.
class FdGuard
{
  public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    ~FdGuard() { reset(); }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    FdGuard(FdGuard &&other) noexcept : fd_(other.release()) {}
    FdGuard &operator=(FdGuard &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }

    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset()
    {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

class FileGuard
{
  public:
    explicit FileGuard(FILE *file) : file_(file) {}
    ~FileGuard()
    {
        if (file_ != nullptr) {
            int saved = errno;
            std::fclose(file_);
            errno = saved;
        }
    }
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;

    FILE *get() const { return file_; }

  private:
    FILE *file_;
};
