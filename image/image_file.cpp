#include "image/image_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "image/file_kind.h"
#include "platform/regular_file.h"

namespace vantor {

ImageFile::ImageFile() = default;

ImageFile::~ImageFile() {
    Close();
}

bool ImageFile::Open(const std::string& path, std::size_t memory_limit_bytes,
                     std::size_t block_bytes) {
    Close();
    block_size_ = std::max<std::size_t>(block_bytes, 1);
    // A refused folder, pipe or device leaves errno as it was, so it starts at 0.
    errno = 0;
    const int fd = platform::OpenRegularFile(path, false, false);
    if (fd < 0) {
        open_problem_ = OpenProblem(path, errno);
        return false;
    }
    std::FILE* stream = ::fdopen(fd, "rb");
    if (stream == nullptr) {
        open_problem_ = OpenProblem(path, errno);
        ::close(fd);
        return false;
    }
    // The reads go straight into the image's own memory; a stream buffer would only copy.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    // A file too large for memory is read from the disk, and so is one that grows while it is
    // loaded: the byte read past its size shows that.
    const bool sized = std::fseek(stream, 0, SEEK_END) == 0;
    const long size = sized ? std::ftell(stream) : -1;
    std::rewind(stream);
    bool fits = size >= 0 && static_cast<unsigned long>(size) <= memory_limit_bytes;
    std::string bytes;
    if (fits) {
        try {
            bytes.resize(static_cast<std::size_t>(size) + 1);
        } catch (const std::bad_alloc&) {
            fits = false;  // a machine short of memory reads the image from the disk
        }
    }
    if (fits) {
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), stream));
    }
    if (!fits || bytes.size() > static_cast<std::size_t>(size)) {
        std::rewind(stream);
        file_ = stream;
        source_ = Source::kDisk;
        return true;
    }
    const bool failed = std::ferror(stream) != 0;
    std::fclose(stream);
    AdoptBytes(std::move(bytes));
    load_failed_ = failed;
    return true;
}

bool ImageFile::Adopt(std::FILE* stream) {
    Close();
    if (stream == nullptr) {
        return false;
    }
    std::setvbuf(stream, nullptr, _IONBF, 0);
    file_ = stream;
    source_ = Source::kDisk;
    return true;
}

void ImageFile::AdoptBytes(std::string bytes) {
    Close();
    bytes_ = std::move(bytes);
    sha256_ = Sha256Hex(bytes_);
    source_ = Source::kMemory;
    SetWindow(reinterpret_cast<const unsigned char*>(bytes_.data()), 0, bytes_.size());
}

void ImageFile::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    source_ = Source::kClosed;
    open_problem_.clear();
    bytes_.clear();
    bytes_.shrink_to_fit();
    sha256_.clear();
    load_failed_ = false;
    block_.reset();
    block_size_ = kImageBlockBytes;
    SetWindow(nullptr, 0, 0);
    hash_ = Sha256Hasher();
    hashed_bytes_ = 0;
    hashed_to_end_ = false;
    block_digests_.clear();
    block_digests_.shrink_to_fit();
    held_size_ = -1;
    shrunk_ = false;
    changed_ = false;
    end_met_ = false;
    read_failed_ = false;
}

void ImageFile::SetWindow(const unsigned char* base, long long base_offset, std::size_t length) {
    base_ = base;
    cursor_ = base;
    limit_ = base + length;
    base_offset_ = base_offset;
    block_bytes_ = length;
}

int ImageFile::ReadPastBlock() {
    return LoadNextBlock() ? *cursor_++ : -1;
}

const unsigned char* ImageFile::ReadSpan(std::size_t count, std::size_t& got) {
    got = 0;
    if (cursor_ == limit_ && !LoadNextBlock()) {
        return nullptr;
    }
    got = std::min(count, static_cast<std::size_t>(limit_ - cursor_));
    const unsigned char* at = cursor_;
    cursor_ += got;
    return at;
}

void ImageFile::EndOfFile(bool failed) {
    const long long offset = base_offset_ + static_cast<long long>(block_bytes_);
    end_met_ = true;
    read_failed_ = read_failed_ || failed;
    hashed_to_end_ = hashed_to_end_ || (!read_failed_ && offset == hashed_bytes_);
    shrunk_ = shrunk_ || (held_size_ >= 0 && offset < held_size_);
}

bool ImageFile::LoadNextBlock() {
    if (source_ != Source::kDisk || file_ == nullptr || changed_) {
        end_met_ = true;
        read_failed_ = read_failed_ || load_failed_ || changed_;
        return false;
    }
    const long long offset = base_offset_ + static_cast<long long>(block_bytes_);
    std::size_t want = block_size_;
    if (held_size_ >= 0) {
        want = static_cast<std::size_t>(std::clamp<long long>(held_size_ - offset, 0, want));
    }
    if (!block_) {
        block_ = std::make_unique<unsigned char[]>(block_size_);
    }
    const std::size_t got = want == 0 ? 0 : std::fread(block_.get(), 1, want, file_);
    if (got == 0) {
        EndOfFile(want != 0 && std::ferror(file_) != 0);
        return false;
    }
    SetWindow(block_.get(), offset, got);
    if (offset == hashed_bytes_ && !hashed_to_end_) {
        TakeBlockDigest();
    }
    return !changed_;
}

// The digest of the file up to the end of each block, as first read, stands for that block: a
// block read again that does not give it is not handed out.
void ImageFile::TakeBlockDigest() {
    hash_.Add(base_, block_bytes_);
    hashed_bytes_ += static_cast<long long>(block_bytes_);
    if (base_offset_ % static_cast<long long>(block_size_) != 0) {
        return;
    }
    const auto index = static_cast<std::size_t>(base_offset_ / block_size_);
    if (index == block_digests_.size() && index < kImageCheckedBlocks) {
        block_digests_.push_back(hash_.Digest());
    } else if (index < block_digests_.size() && hash_.Digest() != block_digests_[index]) {
        changed_ = true;
        end_met_ = true;
        read_failed_ = true;
        limit_ = cursor_ = base_;
    }
}

void ImageFile::Rewind() {
    if (file_ != nullptr) {
        std::rewind(file_);
        SetWindow(block_.get(), 0, 0);
    } else {
        cursor_ = base_;
    }
    hash_ = Sha256Hasher();
    hashed_bytes_ = 0;
    hashed_to_end_ = false;
    end_met_ = false;
    read_failed_ = false;
}

long ImageFile::Size() {
    if (source_ == Source::kMemory) {
        return static_cast<long>(bytes_.size());
    }
    if (file_ == nullptr) {
        return -1;
    }
    const long position = std::ftell(file_);
    if (position < 0 || std::fseek(file_, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file_);
    std::fseek(file_, position, SEEK_SET);
    return size;
}

void ImageFile::SeekFromStart(long offset) {
    // A negative data offset leaves the position at the start of the file, and an offset
    // beyond the end leaves it at the end: no packet follows.
    const long long target = std::max(offset, 0L);
    if (source_ == Source::kMemory) {
        cursor_ = base_ + std::min(target, static_cast<long long>(bytes_.size()));
    } else if (file_ != nullptr && target > hashed_bytes_ && !hashed_to_end_) {
        ReadThrough(target);
    } else if (file_ != nullptr && target >= base_offset_ &&
               target <= base_offset_ + static_cast<long long>(limit_ - base_)) {
        cursor_ = base_ + (target - base_offset_);
    } else if (file_ != nullptr) {
        // A memory stream ends where its data ends and cannot go beyond.
        if (std::fseek(file_, static_cast<long>(target), SEEK_SET) != 0) {
            std::fseek(file_, 0, SEEK_END);
        }
        SetWindow(block_.get(), std::ftell(file_), 0);
    }
    end_met_ = false;
    read_failed_ = false;
}

void ImageFile::ReadThrough(long long offset) {
    // The bytes a forward seek passes are read all the same, so that the digest still covers
    // the whole file.
    if (std::fseek(file_, static_cast<long>(hashed_bytes_), SEEK_SET) != 0) {
        return;
    }
    SetWindow(block_.get(), hashed_bytes_, 0);
    while (base_offset_ + static_cast<long long>(block_bytes_) < offset && LoadNextBlock()) {
    }
    cursor_ = base_ + std::clamp<long long>(offset - base_offset_, 0, limit_ - base_);
}

std::optional<FileDigest> ImageFile::Digest() const {
    if (source_ == Source::kMemory && !load_failed_) {
        return FileDigest{static_cast<long long>(bytes_.size()), sha256_};
    }
    if (source_ == Source::kDisk && hashed_to_end_) {
        return FileDigest{hashed_bytes_, hash_.Hex()};
    }
    return std::nullopt;
}

void ImageFile::HoldSize(long long size_bytes) {
    held_size_ = size_bytes;
}

}  // namespace vantor
