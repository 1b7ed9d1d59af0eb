// Descriptor ownership and the signal-aware open/read loops.
#include "posix_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void FileHandle::reset() noexcept
{
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<FileIdentity> identity_of(int fd) noexcept
{
    struct stat st{};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    FileIdentity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.modified_seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    id.modified_nanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    id.changed_seconds = static_cast<std::int64_t>(st.st_ctim.tv_sec);
    id.changed_nanoseconds = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
    return id;
}

namespace {

// Whether an interrupted call should be given up.
bool stop_after_signal(InterruptCheck check) noexcept { return check != nullptr && check(); }

// No single call moves more than this, so its count always fits ssize_t.
constexpr std::size_t kMaxCall = std::size_t{1} << 30;

}  // namespace

OpenOutcome open_read_only(const std::string& path, InterruptCheck check)
{
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0) return OpenOutcome{FileHandle(fd), false};
        if (errno != EINTR) return OpenOutcome{};
        if (stop_after_signal(check)) return OpenOutcome{FileHandle(), true};
    }
}

IoOutcome read_some(int fd, std::uint8_t* dst, std::size_t n, InterruptCheck check)
{
    for (;;) {
        const ssize_t got = ::read(fd, dst, n < kMaxCall ? n : kMaxCall);
        if (got >= 0) return IoOutcome{static_cast<std::size_t>(got), 0, false};
        if (errno != EINTR) return IoOutcome{0, errno, false};
        if (stop_after_signal(check)) return IoOutcome{0, 0, true};
    }
}

IoOutcome read_at(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t offset, InterruptCheck check)
{
    std::size_t done = 0;
    while (done < n) {
        const std::size_t ask = n - done < kMaxCall ? n - done : kMaxCall;
        const auto at = offset + done;
        if (at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) break;  // nothing lies there
        const ssize_t got = ::pread(fd, dst + done, ask, static_cast<off_t>(at));
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;  // the file ended (it may have shrunk since it was opened)
        } else if (errno != EINTR) {
            return IoOutcome{done, errno, false};
        } else if (stop_after_signal(check)) {
            return IoOutcome{done, 0, true};
        }
    }
    return IoOutcome{done, 0, false};
}

std::string os_error_text(int code)
{
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

}  // namespace vorn
