// SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA instructions where it
// has them.
#include <openssl/evp.h>

#include <memory>
#include <utility>

#include "image/sha256.h"
#include "platform/invariant.h"

namespace vantor {

namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// A context begun for SHA-256. Only a machine out of memory fails here, and nothing sound can
// go on without the digest.
Context NewContext() {
    Context context(EVP_MD_CTX_new());
    VANTOR_ASSERT(context != nullptr);
    const int begun = EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    VANTOR_ASSERT(begun == 1);
    return context;
}

}  // namespace

struct Sha256Hasher::State {
    Context context = NewContext();
};

Sha256Hasher::Sha256Hasher() : state_(std::make_unique<State>()) {}
Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&& other) noexcept
    : state_(std::exchange(other.state_, std::make_unique<State>())) {}
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&& other) noexcept {
    state_ = std::exchange(other.state_, std::make_unique<State>());
    return *this;
}

void Sha256Hasher::Add(const unsigned char* bytes, std::size_t count) {
    if (count > 0) {
        const int added = EVP_DigestUpdate(state_->context.get(), bytes, count);
        VANTOR_ASSERT(added == 1);
    }
}

Sha256Digest Sha256Hasher::Digest() const {
    // The end goes into a copy, so this one can go on.
    Context last(EVP_MD_CTX_new());
    VANTOR_ASSERT(last != nullptr);
    const int copied = EVP_MD_CTX_copy_ex(last.get(), state_->context.get());
    VANTOR_ASSERT(copied == 1);
    Sha256Digest digest{};
    unsigned int length = 0;
    const int ended = EVP_DigestFinal_ex(last.get(), digest.data(), &length);
    VANTOR_ASSERT(ended == 1 && length == digest.size());
    return digest;
}

}  // namespace vantor
