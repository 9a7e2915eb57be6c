// SHA-256 against the standard's own examples, and the padding boundaries
// (digests from an independent implementation), fed whole and in pieces.
#include "base/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string HexOf(const std::string& message, size_t pieceSize) {
    Sha256 hash;
    for (size_t at = 0; at < message.size(); at += pieceSize)
        hash.Update(message.data() + at, std::min(pieceSize, message.size() - at));
    return DigestToHex(hash.Finish());
}

TEST(Sha256Test, MatchesTheStandardsVectorsFedWholeOrInPieces) {
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
         "nopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // The length no longer fits in the block that ends the message.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
    };
    for (const auto& vector : vectors) {
        SCOPED_TRACE("a message of " + std::to_string(vector.message.size()) + " bytes");
        for (size_t piece : {size_t(1), size_t(7), size_t(64), size_t(65), size_t(1) << 20})
            EXPECT_EQ(HexOf(vector.message, piece), vector.digest) << "in pieces of " << piece;
        Sha256Digest parsed;
        ASSERT_TRUE(DigestFromHex(vector.digest, parsed));
        EXPECT_EQ(DigestToHex(parsed), vector.digest);
    }
}

TEST(Sha256Test, HexThatIsNotADigestIsRefused) {
    Sha256Digest digest;
    for (const std::string& text : {std::string(), std::string(63, '0'), std::string(65, '0'),
                                    std::string(63, '0') + "g", std::string(63, '0') + " "})
        EXPECT_FALSE(DigestFromHex(text, digest)) << text;
    EXPECT_TRUE(DigestFromHex(std::string(32, 'A') + std::string(32, 'f'), digest));
}

}  // namespace
