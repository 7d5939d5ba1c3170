// An image file opened for binary reading, read a byte or a word at a time from memory: either
// the whole file, read when it is opened, or one block of it at a time from the disk. Either way
// its SHA-256 is taken as its bytes are first read, and memory stays bounded whatever its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/sha256.h"

namespace vantor {

// Images up to this size are read into memory whole when they are opened, then checked and sent
// from those very bytes, so that nothing done to the file on disk afterwards reaches the drive.
// Real images are a few kilobytes to a few megabytes; at 19200 baud this much takes over an hour
// on the line. A larger file is read from the disk as it is sent (ImageFile::Source::kDisk), a
// block at a time.
inline constexpr std::size_t kImageMemoryLimitBytes = std::size_t{8} * 1024 * 1024;
// What a file read from the disk holds in memory at once: one block.
inline constexpr std::size_t kImageBlockBytes = std::size_t{1} * 1024 * 1024;
// The blocks of a file read from the disk whose digests are kept, so that a block read again for
// the drive is known to be the one that was checked before any byte of it is sent: 4 GiB of
// image, in at most 128 KiB. Beyond that, only the whole file's digest at the end tells.
inline constexpr std::size_t kImageCheckedBlocks = 4096;

class ImageFile {
  public:
    enum class Source {
        kClosed,
        kMemory,  // read whole when opened; the file itself is closed again at once
        kDisk,    // read from the file a block at a time as it goes
    };

    ImageFile();
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens a regular file (a directory, a pipe or a device is refused) and reads it whole into
    // memory when it holds at most `memory_limit_bytes`; a larger one is read from the disk in
    // blocks of `block_bytes` (at least 1). A read that fails while loading shows, as on the
    // disk, as ReadFailed where the bytes end.
    bool Open(const std::string& path, std::size_t memory_limit_bytes = kImageMemoryLimitBytes,
              std::size_t block_bytes = kImageBlockBytes);
    // After a failed Open: why the file could not be opened, in the system's words or as what
    // the path is instead ("it is a folder, not a file"); empty otherwise.
    const std::string& open_problem() const { return open_problem_; }
    // Takes over an open stream (a memory stream in the fuzzer, say) as a disk source; false
    // for nullptr.
    bool Adopt(std::FILE* stream);
    // Takes `bytes` as the whole file.
    void AdoptBytes(std::string bytes);
    Source source() const { return source_; }
    bool IsOpen() const { return source_ != Source::kClosed; }
    void Close();
    // The next byte (0 to 255), or -1 at the end of the file.
    int ReadByte() { return cursor_ < limit_ ? *cursor_++ : ReadPastBlock(); }
    // Up to `count` of the next bytes, as many as lie in memory now (at least one unless the file
    // ends there): where they are, and how many in `got`. nullptr at the end of the file.
    const unsigned char* ReadSpan(std::size_t count, std::size_t& got);
    void Rewind();
    // Moves to `offset` bytes from the start of the file; a negative offset to the start.
    void SeekFromStart(long offset);
    // True once a read has met the end of the file; cleared by Rewind, SeekFromStart and
    // ClearEndMet.
    bool EndMet() const { return end_met_; }
    void ClearEndMet() { end_met_ = false; }
    // True once a read has failed with an error rather than at the end of the file, or met a
    // block that differs from the one read the first time (Changed).
    bool ReadFailed() const { return read_failed_; }
    // True once a block read again from the disk differed from what was read of it first: the
    // file changed after it was checked, and none of that block's bytes were handed out.
    bool Changed() const { return changed_; }
    // The file's size in bytes (-1 when it cannot be told); the reading position is kept.
    long Size();

    // The size and SHA-256 of the whole file, once known: from the start for a memory source;
    // for a disk source once the reads since the last Rewind have met every byte in order from
    // the start to the end (a forward seek reads the bytes it passes).
    std::optional<FileDigest> Digest() const;
    // A disk source is taken from now on to hold `size_bytes`: reads end there even when the
    // file has grown, and a read that meets the file's end sooner marks it as shrunk.
    void HoldSize(long long size_bytes);
    bool Shrunk() const { return shrunk_; }

  private:
    int ReadPastBlock();
    // Reads the block that follows the one in memory; false at the end of the file.
    bool LoadNextBlock();
    void TakeBlockDigest();
    void ReadThrough(long long offset);
    long long Position() const { return base_offset_ + (cursor_ - base_); }
    void SetWindow(const unsigned char* base, long long base_offset, std::size_t length);
    void EndOfFile(bool failed);

    Source source_ = Source::kClosed;
    std::string open_problem_;
    std::string bytes_;  // a memory source's file
    std::string sha256_;
    bool load_failed_ = false;
    std::FILE* file_ = nullptr;  // a disk source's stream
    // The bytes in memory now: the whole file, or a disk source's block; `base_offset_` is where
    // they begin in the file.
    const unsigned char* base_ = nullptr;
    const unsigned char* cursor_ = nullptr;
    const unsigned char* limit_ = nullptr;
    long long base_offset_ = 0;
    std::size_t block_bytes_ = 0;  // how much of the block holds the file
    std::size_t block_size_ = kImageBlockBytes;
    std::unique_ptr<unsigned char[]> block_;
    // A disk source's digest: every byte from the start up to hashed_bytes_, each block taken
    // the first time a read meets it in order; and the digest of the file up to the end of each
    // block of the first such reading.
    Sha256Hasher hash_;
    long long hashed_bytes_ = 0;
    bool hashed_to_end_ = false;
    std::vector<Sha256Digest> block_digests_;
    long long held_size_ = -1;
    bool shrunk_ = false;
    bool changed_ = false;
    bool end_met_ = false;
    bool read_failed_ = false;
};

}  // namespace vantor
