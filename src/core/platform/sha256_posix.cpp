// SHA-256 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <cstdlib>

#include "core/platform/sha256.h"

namespace dalvento {

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    // Without a digest context nothing can be fingerprinted safely; this only fails out of memory.
    if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(impl_->ctx);
}

void Sha256::update(const void* data, size_t size) {
    if (size > 0) EVP_DigestUpdate(impl_->ctx, data, size);
}

std::string Sha256::finish_hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(impl_->ctx, digest, &length);
    return to_hex(digest, length);
}

}  // namespace dalvento
