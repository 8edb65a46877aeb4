// File primitives of the hash store: OS error reporting, whole reads and
// writes that retry partial transfers, and the atomic replacement of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace lvx::persist {

// An owned file descriptor, closed on destruction (-1: none).
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Takes over fd; a descriptor held before must have been closed.
    void reset(int fd) noexcept { fd_ = fd; }
    // Closes now; returns the errno of a failed close, 0 on success.
    int close() noexcept;

private:
    int fd_ = -1;
};

// Raises OSError "{strerror(err)} (os error {err})".
[[noreturn]] void raise_os_error(int err);
// Raises OSError with a message of our own (no error number).
[[noreturn]] void raise_io_error(const char* message);

// Reads up to n bytes at the current position, retrying short reads and
// EINTR; returns the number read (less than n at end of file) or -errno.
std::int64_t read_full(int fd, void* buf, std::size_t n) noexcept;
// Reads up to n bytes at offset, as read_full.
std::int64_t pread_full(int fd, void* buf, std::size_t n, off_t offset) noexcept;

// Replaces the file at path by data so that a reader sees either the old
// file or the new one: the bytes go to a new file in the target's directory
// (a symbolic link is followed to its final target, so the link stays a link),
// which takes the old file's permission bits, is flushed to disk and renamed
// over the target; the directory is flushed last. On failure the old file is
// untouched, the temporary file removed, and OSError raised.
//
// Targets that are not regular files (devices, pipes), and directories that
// refuse new files while the file itself is writable, are written in place
// (create or truncate, then write).
void replace_file(std::string_view path, std::string_view data);

}  // namespace lvx::persist
