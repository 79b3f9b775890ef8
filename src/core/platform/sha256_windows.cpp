// SHA-256 through Windows CNG (bcrypt): no OpenSSL package exists for the cross build, and CNG
// is what Windows itself ships.
#include <windows.h>
// bcrypt.h uses the types windows.h defines.
#include <bcrypt.h>

#include <cstdlib>

#include "core/platform/sha256.h"

namespace dalvento {

namespace {
// The algorithm provider is opened once per process and shared by every hash object.
BCRYPT_ALG_HANDLE sha256_provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) std::abort();
        return h;
    }();
    return provider;
}
}  // namespace

struct Sha256::Impl {
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    if (BCryptCreateHash(sha256_provider(), &impl_->hash, nullptr, 0, nullptr, 0, 0) != 0) {
        std::abort();
    }
}

Sha256::~Sha256() {
    if (impl_->hash) BCryptDestroyHash(impl_->hash);
}

void Sha256::update(const void* data, size_t size) {
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        BCryptHashData(impl_->hash, bytes, piece, 0);
        bytes += piece;
        size -= piece;
    }
}

std::string Sha256::finish_hex() {
    UCHAR digest[32];
    BCryptFinishHash(impl_->hash, digest, sizeof digest, 0);
    return to_hex(digest, sizeof digest);
}

}  // namespace dalvento
