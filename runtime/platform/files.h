// Files and folders over POSIX, in bytes: the platform half of the simple I/O
// layer (datatypes/simple_io.h builds the language's values on top of it).
// Paths are UTF-8 platform paths; every call answers failure, never raises.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/common.h"

namespace zav::simple_io {

// Open flags: read opens an existing file for reading; otherwise the file is
// opened for writing, created when absent, and truncated unless append or seek.
constexpr u32 OPEN_READ = 1;
constexpr u32 OPEN_APPEND = 4;
constexpr u32 OPEN_SEEK = 8;

// A descriptor (closed on exec) or -1.
int open_file(const char* path, u32 flags);
// The size of a regular file; 0 for devices, pipes and other special files
// (their size is found by reading them); -1 on failure.
i64 file_size_q(int fd);
bool seek_file(int fd, u64 offset);
// Bytes transferred (fewer only at the end of the file), -1 on failure.
i64 read_data(int fd, u8* buffer, u64 count);
i64 write_data(int fd, const u8* buffer, u64 count);
void close_file(int fd);

// True when the path names anything (a dangling symbolic link counts).
bool file_exists_q(const char* path);
bool directory_q(const char* path);
// True when the folder was created.
bool make_dir(const char* path);

// The most bytes one value can hold.
constexpr u64 MAX_CONTENT = 0x7FFFFFFF;

enum class ReadResult { ok, cannot_open, too_long };
// The file's bytes from `seek` (negative: the start), at most `part` of them
// (negative: all). A seek at or past the end gives no bytes. Special files
// are read to their end once, never rewound; one that goes on past `most`
// bytes (an endless device) is too long, its buffer never grown beyond that.
// A folder cannot be opened.
ReadResult read_file(const char* path, i64 part, i64 seek, std::string& out, u64 most = MAX_CONTENT);
// Where read_file puts the bytes as they come: room(n) gives n bytes of
// space whose start holds the bytes given before; done(n) says how many are
// the file's.
class ReadInto {
public:
    virtual u8* room(u64 n) = 0;
    virtual void done(u64 n) = 0;

protected:
    ~ReadInto() = default;
};
// read_file into a buffer of the caller's making (no zero-filled string first).
ReadResult read_file(const char* path, i64 part, i64 seek, ReadInto& into, u64 most = MAX_CONTENT);
// A ReadInto of memory not zeroed first, grown as asked.
class ReadScratch final : public ReadInto {
public:
    u8* room(u64 n) override;
    void done(u64 n) override { size_ = n; }
    const u8* bytes() const { return bytes_.get(); }
    u64 size() const { return size_; }

private:
    std::unique_ptr<u8[]> bytes_;
    u64 capacity_ = 0, size_ = 0;
};
// Where read_file gives the bytes of a file that are used as they come (a
// text decoded piece by piece, with no buffer of the whole file): size(n)
// first (0 when not known), then take() of each piece in order, `last` on
// the final one. take() answers how many bytes at the end of the piece it
// left (a code point cut by the piece's end), at most 4: they come again
// at the start of the next piece.
class ReadPieces {
public:
    virtual void size(u64 n) = 0;
    virtual u64 take(const u8* bytes, u64 n, bool last) = 0;

protected:
    ~ReadPieces() = default;
};
ReadResult read_file(const char* path, i64 part, i64 seek, ReadPieces& to, u64 most = MAX_CONTENT);
// Makes room for `more` bytes after the string's content, growing it by
// doubling but never past `most` bytes: the memory held is bounded by what
// may be taken (a plain reserve may double past that).
void grow_within(std::string& text, size_t more, u64 most);

// Writes the bytes; negative seek means none. Without append or seek the file
// is replaced as a whole: the bytes go to a new file in the same folder that
// is renamed over the old one, so a failed write leaves the old file as it
// was; when no new file can be made there, the file is changed in place and
// its old content put back on failure. Appending and writing at an offset
// change the file in place and undo the change when the write fails. A path
// that leads to an open descriptor (/dev/stdout, /dev/fd/N, /proc/PID/fd/N)
// is written through it, never replaced nor cut. False when nothing could be
// written.
bool write_file(const char* path, std::string_view bytes, i64 seek, bool append);
// What write_file writes when its bytes are made as they go (a text's UTF-8):
// piece() gives the next bytes (empty at the end), rewind() starts them again
// from the first, all() gives every byte in one view. A view holds until the
// next call.
class ByteSource {
public:
    virtual std::string_view piece() = 0;
    virtual void rewind() = 0;
    virtual std::string_view all() = 0;

protected:
    ~ByteSource() = default;
};
// write_file of bytes made piece by piece: a whole file replaced is written
// as they come, with no copy of them all; the other ways take all().
bool write_file(const char* path, ByteSource& bytes, i64 seek, bool append);
// After write_file failed: the error (errno) of the write that failed once
// the file was open, or 0 when it could not be opened or made at all.
int last_write_error();
// Removes the temporary file of a replacement under way, if it has a name:
// for the handler of a signal that ends the process. Async-signal-safe.
void remove_temporary_file();
// Writes everything to a descriptor (standard output); false on failure.
bool write_all(int fd, std::string_view bytes);

// The folder's entry names sorted by bytes, without "." and "..", each
// folder's name ending in "/". False when the folder cannot be listed.
bool read_dir(const char* path, std::vector<std::string>& names);

// Removes a folder (dir) or a file; true on success.
bool delete_(const char* path, bool dir);
// Renames; never replaces an existing file or folder. True on success.
bool rename(const char* from, const char* to);
// Last modification time in UTC: seconds since the epoch and nanoseconds.
bool modified_time(const char* path, i64& seconds, i32& nanoseconds);

}  // namespace zav::simple_io
