#include "core/platform/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dalvento {
namespace {

// FIPS 180-4 example messages (NIST CSVP "SHA2 examples").
TEST(Sha256, FipsVectors) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                         "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, MillionAsInUnevenPieces) {
    const std::string piece(997, 'a');
    Sha256 hash;
    size_t left = 1'000'000;
    while (left > 0) {
        const size_t n = std::min(left, piece.size());
        hash.update(piece.data(), n);
        left -= n;
    }
    EXPECT_EQ(hash.finish_hex(),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, MultiMegabyteBufferMatchesPython) {
    // Expected digest computed with Python's hashlib over the same bytes.
    std::vector<unsigned char> data(5 * 1024 * 1024 + 123);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>((i * 31 + 7) & 0xFF);
    Sha256 whole;
    whole.update(data.data(), data.size());
    EXPECT_EQ(whole.finish_hex(),
              "e15827d39a3e9d5a2a75d0e0fabed8b7e27218ca7b4101abd0a2b885698a62f4");
}

}  // namespace
}  // namespace dalvento
