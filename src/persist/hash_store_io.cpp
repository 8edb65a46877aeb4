// File primitives of the hash store (see hash_store_io.hpp).
#include "persist/hash_store_io.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "module/core.hpp"

namespace lvx::persist {

FileDescriptor::~FileDescriptor() { close(); }

int FileDescriptor::close() noexcept {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    // After EINTR the descriptor is released on Linux; nothing to retry.
    return rc == 0 || errno == EINTR ? 0 : errno;
}

void raise_os_error(int err) {
    std::string message = std::strerror(err);
    message += " (os error " + std::to_string(err) + ")";
    raise(PyExc_OSError, message);
}

void raise_io_error(const char* message) { raise(PyExc_OSError, message); }

namespace {

// Calls step(buffer, length, done) until n bytes have arrived, end of file
// or an error; short transfers and EINTR are retried.
template <class Step>
std::int64_t transfer_full(void* buf, std::size_t n, Step&& step) noexcept {
    auto* p = static_cast<char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t chunk = std::min<std::size_t>(n - done, std::size_t{1} << 30);
        const ssize_t r = step(p + done, chunk, done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace

std::int64_t read_full(int fd, void* buf, std::size_t n) noexcept {
    return transfer_full(buf, n, [fd](char* p, std::size_t len, std::size_t) { return ::read(fd, p, len); });
}

std::int64_t pread_full(int fd, void* buf, std::size_t n, off_t offset) noexcept {
    return transfer_full(buf, n, [fd, offset](char* p, std::size_t len, std::size_t done) {
        return ::pread(fd, p, len, offset + static_cast<off_t>(done));
    });
}

namespace {

// Writes all of data; returns 0 or the errno of the failure.
int write_all(int fd, std::string_view data) noexcept {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const std::size_t chunk = std::min<std::size_t>(left, std::size_t{1} << 30);
        const ssize_t w = ::write(fd, p, chunk);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    return 0;
}

// "dir/" of "dir/name", "" for a bare name.
std::string_view directory_prefix(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash + 1);
}

// Follows symbolic links at the end of path (not in its directories) to the
// path that open() would create or write. A dangling link resolves to the
// missing file it names.
std::string resolve_final_link(std::string path) {
    std::vector<char> buf(256);
    for (int depth = 0;; ++depth) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        if (depth >= 40) raise_os_error(ELOOP);
        ssize_t n;
        while ((n = ::readlink(path.c_str(), buf.data(), buf.size())) >= 0 &&
               static_cast<std::size_t>(n) == buf.size()) {
            buf.resize(buf.size() * 2);
        }
        if (n < 0) raise_os_error(errno);
        std::string target(buf.data(), static_cast<std::size_t>(n));
        if (target.empty()) raise_os_error(ENOENT);
        if (target.front() != '/') target.insert(0, directory_prefix(path));
        path = std::move(target);
    }
}

void write_in_place(const std::string& path, std::string_view data) {
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) raise_os_error(errno);
    if (const int err = write_all(fd.get(), data)) raise_os_error(err);
    if (const int err = fd.close()) raise_os_error(err);
}

// Removes the temporary file unless the rename has consumed it.
struct TemporaryFile {
    std::string path;
    bool live = false;
    ~TemporaryFile() {
        if (live) ::unlink(path.c_str());
    }
};

}  // namespace

void replace_file(std::string_view path_in, std::string_view data) {
    if (path_in.find('\0') != std::string_view::npos) raise_io_error("path contains a NUL byte");
    if (path_in.empty()) raise_os_error(ENOENT);
    const std::string target = resolve_final_link(std::string(path_in));

    struct stat old;
    bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) raise_os_error(errno);
    if (exists && !S_ISREG(old.st_mode)) {
        write_in_place(target, data);
        return;
    }

    // A name of our own beside the target; O_EXCL makes sure it is new.
    static unsigned counter = 0;
    const std::string_view dir = directory_prefix(target);
    const std::string base = target.substr(dir.size());
    TemporaryFile tmp;
    FileDescriptor fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        tmp.path = std::string(dir) + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
                   std::to_string(++counter);
        fd.reset(::open(tmp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) {
        const int err = errno;
        if (err == EACCES || err == EPERM) {
            // The directory takes no new file; the file itself may still be
            // writable, as it always was for an in-place write.
            write_in_place(target, data);
            return;
        }
        raise_os_error(err);
    }
    tmp.live = true;

    if (exists) {
        // Keep owner (where permitted) and permission bits of the old file.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            [[maybe_unused]] const int ignored = ::fchown(fd.get(), old.st_uid, old.st_gid);
        }
        if (::fchmod(fd.get(), old.st_mode & 07777) != 0) raise_os_error(errno);
    }
    if (const int err = write_all(fd.get(), data)) raise_os_error(err);
    if (::fsync(fd.get()) != 0) raise_os_error(errno);
    if (const int err = fd.close()) raise_os_error(err);
    if (::rename(tmp.path.c_str(), target.c_str()) != 0) raise_os_error(errno);
    tmp.live = false;

    // Make the rename itself durable. Filesystems that cannot flush a
    // directory say so with EINVAL; a directory we may not open is left as is.
    const std::string dir_path = dir.empty() ? std::string(".") : std::string(dir);
    FileDescriptor dfd(::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd && ::fsync(dfd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) raise_os_error(errno);
}

}  // namespace lvx::persist
