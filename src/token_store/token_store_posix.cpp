// The token store where there is no DPAPI: AES-256-GCM under a random key that only this user
// can read. The key file sits beside the state file (token.key in the same folder), so it follows
// the same APPDATA / HOME rules and an isolated test environment gets its own. A state file
// copied to another account or computer meets a different key (or none) there, and its blob
// fails authentication: no token, silently, as with DPAPI. The blob is a version byte, the
// 12-byte nonce, the ciphertext and the 16-byte tag; the description is bound in as additional
// data so that a blob made for anything else does not open as a token.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "county/text.h"
#include "token_store/token_store.h"

namespace dalvento {

namespace {

constexpr uint8_t BLOB_VERSION = 1;
constexpr size_t KEY_BYTES = 32;
constexpr size_t NONCE_BYTES = 12;
constexpr size_t TAG_BYTES = 16;

// Wiped when it goes out of scope.
struct Key {
    std::array<uint8_t, KEY_BYTES> bytes{};
    ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

std::filesystem::path key_file_path() {
    return state_file_path().parent_path() / "token.key";
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

bool read_all(int fd, uint8_t* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

enum class KeyFile { read, missing, damaged, refused };

// The key in an existing key file. A file that is not ours or not a plain file is refused; one
// that others may read is closed to them again.
KeyFile read_key_file(const std::filesystem::path& path, Key& key) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? KeyFile::missing : KeyFile::refused;
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return KeyFile::refused;
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) {
        return KeyFile::refused;
    }
    if (info.st_size != static_cast<off_t>(KEY_BYTES)) return KeyFile::damaged;
    return read_all(fd.get(), key.bytes.data(), key.bytes.size()) ? KeyFile::read
                                                                  : KeyFile::refused;
}

// Writes a new key file. It is written in full under a temporary name created readable by this
// user only, then linked into place, so no other process ever sees half a key; if another
// process got there first, its key is the one used. A damaged key file (which can open nothing
// any more) is replaced.
std::optional<Key> create_key_file(const std::filesystem::path& path, bool replace) {
    if (!platform::create_directories(path.parent_path())) return std::nullopt;
    Key key;
    if (RAND_bytes(key.bytes.data(), static_cast<int>(key.bytes.size())) != 1) return std::nullopt;
    std::filesystem::path temporary = path;
    temporary += "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temporary.c_str());
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 S_IRUSR | S_IWUSR));
    if (fd.get() < 0) return std::nullopt;
    // The umask may only take bits away; make sure this user can still read it back.
    const bool written = ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 &&
                         write_all(fd.get(), key.bytes.data(), key.bytes.size()) &&
                         ::fsync(fd.get()) == 0 && ::close(fd.release()) == 0;
    if (!written) {
        ::unlink(temporary.c_str());
        return std::nullopt;
    }
    if (!replace) {
        if (::link(temporary.c_str(), path.c_str()) == 0) {
            ::unlink(temporary.c_str());
            return key;
        }
        if (errno == EEXIST) {
            ::unlink(temporary.c_str());
            Key theirs;
            if (read_key_file(path, theirs) != KeyFile::read) return std::nullopt;
            return theirs;
        }
        // File systems without hard links fall through to a plain rename, which only a
        // simultaneous first save could race.
    }
    if (::rename(temporary.c_str(), path.c_str()) == 0) return key;
    ::unlink(temporary.c_str());
    return std::nullopt;
}

// The user's key; when saving, a missing or damaged one is made.
std::optional<Key> user_key(bool create) {
    const std::filesystem::path path = key_file_path();
    Key key;
    switch (read_key_file(path, key)) {
        case KeyFile::read:
            return key;
        case KeyFile::missing:
            return create ? create_key_file(path, false) : std::nullopt;
        case KeyFile::damaged:
            return create ? create_key_file(path, true) : std::nullopt;
        case KeyFile::refused:
            return std::nullopt;
    }
    return std::nullopt;
}

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const auto* description_bytes() {
    return reinterpret_cast<const unsigned char*>(TOKEN_DESCRIPTION.data());
}

}  // namespace

std::optional<std::string> protect_token(std::string_view token) {
    const auto key = user_key(true);
    if (!key) return std::nullopt;
    std::string blob(1 + NONCE_BYTES + token.size() + TAG_BYTES, '\0');
    auto* out = reinterpret_cast<unsigned char*>(blob.data());
    out[0] = BLOB_VERSION;
    unsigned char* nonce = out + 1;
    unsigned char* cipher = nonce + NONCE_BYTES;
    unsigned char* tag = cipher + token.size();
    if (RAND_bytes(nonce, NONCE_BYTES) != 1) return std::nullopt;

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key->bytes.data(), nonce) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &length, description_bytes(),
                          static_cast<int>(TOKEN_DESCRIPTION.size())) != 1 ||
        EVP_EncryptUpdate(ctx.get(), cipher, &length,
                          reinterpret_cast<const unsigned char*>(token.data()),
                          static_cast<int>(token.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), cipher + length, &length) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, TAG_BYTES, tag) != 1) {
        return std::nullopt;
    }
    return to_hex(out, blob.size());
}

std::optional<std::string> unprotect_token(std::string_view hex) {
    const auto blob = bytes_from_hex(hex);
    if (!blob || blob->size() < 1 + NONCE_BYTES + TAG_BYTES) return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(blob->data());
    if (in[0] != BLOB_VERSION) return std::nullopt;
    const unsigned char* nonce = in + 1;
    const unsigned char* cipher = nonce + NONCE_BYTES;
    const size_t cipher_size = blob->size() - 1 - NONCE_BYTES - TAG_BYTES;
    const unsigned char* tag = cipher + cipher_size;
    // Reading never creates a key: without one there is nothing this user protected.
    const auto key = user_key(false);
    if (!key) return std::nullopt;

    std::string token(cipher_size, '\0');
    auto* plain = reinterpret_cast<unsigned char*>(token.data());
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx ||
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key->bytes.data(), nonce) != 1 ||
        EVP_DecryptUpdate(ctx.get(), nullptr, &length, description_bytes(),
                          static_cast<int>(TOKEN_DESCRIPTION.size())) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain, &length, cipher, static_cast<int>(cipher_size)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, TAG_BYTES,
                            const_cast<unsigned char*>(tag)) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), plain + length, &length) != 1) {
        OPENSSL_cleanse(token.data(), token.size());
        return std::nullopt;
    }
    if (!is_valid_utf8(token)) return std::nullopt;
    return token;
}

}  // namespace dalvento
