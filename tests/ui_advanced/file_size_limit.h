// Makes writes past a size fail, as on a full disk, for one scope.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace vantor::ui::test {

// Lowers the file size limit, with SIGXFSZ ignored so that a write past it fails with EFBIG
// instead of ending the process, and restores both afterwards.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t limit_bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_limit_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = old_limit_;
        lowered.rlim_cur = limit_bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_limit_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit old_limit_{};
    void (*old_handler_)(int) = nullptr;
};

}  // namespace vantor::ui::test
