// The operating-system side of file sources: an owned descriptor and the
// open, read and positioned-read calls, each retried after a signal unless the
// caller's interrupt check asks to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vorn {

// Called when a blocking call was interrupted by a signal. Returning true ends
// the call with an interruption; false retries it. The caller runs whatever
// it needs in between (an interpreter its signal handlers, say).
using InterruptCheck = bool (*)() noexcept;

// One open file descriptor, closed when the handle goes.
class FileHandle {
public:
    FileHandle() noexcept = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset() noexcept;

private:
    int fd_ = -1;
};

// What an I/O call came to: bytes moved (0 at the end of the file), or the
// operating system's error, or an interruption the check asked for.
struct IoOutcome {
    std::size_t bytes = 0;
    int error = 0;             // errno of a failed call, else 0
    bool interrupted = false;  // the interrupt check ended the call

    bool ok() const noexcept { return error == 0 && !interrupted; }
};

struct OpenOutcome {
    FileHandle file;
    bool interrupted = false;
};

// Opens read-only (never creating or truncating); an empty handle on failure.
OpenOutcome open_read_only(const std::string& path, InterruptCheck check);

// One read of up to n bytes at the file's own position: it returns as soon as
// any bytes are there, so a pipe is never waited on beyond what it holds.
IoOutcome read_some(int fd, std::uint8_t* dst, std::size_t n, InterruptCheck check);

// Reads n bytes at `offset`, stopping early only at the end of the file.
IoOutcome read_at(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t offset, InterruptCheck check);

// What tells one opened file from another with the same name: the device and
// inode of the descriptor, its size, and its modification and change times to
// the nanosecond. The change time moves with every write, also one whose
// writer set the modification time back afterwards.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_seconds = 0;
    std::int64_t modified_nanoseconds = 0;
    std::int64_t changed_seconds = 0;
    std::int64_t changed_nanoseconds = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of an open descriptor (fstat); none when it cannot be had.
std::optional<FileIdentity> identity_of(int fd) noexcept;

// "<strerror> (os error <n>)", the text an operating-system read error shows.
std::string os_error_text(int code);

}  // namespace vorn
