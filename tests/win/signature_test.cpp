// The system crypto the signed update list rests on, under wine: SHA-256 against known answers,
// ECDSA P-256 verification of a list signed by openssl, and make_manifest.exe's signing and key
// file through the same system calls.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "tests/win/test_support.h"
#include "transfer/listed_file.h"
#include "tools/publishing/release_walk.h"
#include "tools/signing/signing_key.h"
#include "update_list/list_signature.h"

namespace {

std::string bytes_of_hex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// Feeds `data` in pieces whose sizes cycle through `pieces`; returns the text or the reason.
std::string sha256_in_pieces(const std::string& data, const std::vector<size_t>& pieces)
{
    Sha256Context context;
    std::string error_text;
    if (!sha256_begin(context, error_text))
        return error_text;
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        size_t piece = std::min(pieces[i % pieces.size()], data.size() - at);
        if (!sha256_update(context, data.data() + at, piece, error_text)) {
            sha256_release(context);
            return error_text;
        }
        at += piece;
    }
    std::string digest_text;
    if (!sha256_final(context, digest_text, error_text))
        return error_text;
    return digest_text;
}

// Made once with the openssl command line: a new P-256 key (genpkey, ec_paramgen_curve:P-256),
// its public key's last 64 DER bytes as X||Y, its private scalar from `pkey -text`, and
// `dgst -sha256 -sign` over signed_text, whose DER r and s are written out here as r||s.
const std::string public_key_hex =
    "eda4cb6d105b45064bf91381b995b6bc8c824f5b7045102745cbbc334c7f7459"
    "885c7e6e47713a7bee3a8442b0256762f89c234c63d6397759cc17c8ae4b784c";
const std::string private_key_hex = "5422e2b0e9da6947fde618560c1826ee508a7c6b9c87020b58691465faa5894b";
const std::string other_public_key_hex =
    "96ce99e10987471c921ff4ef277acdc741f4bdcd14ac14be1ecf0654c60c1427"
    "7bfccb27bb59c35b2c18c7d04ce15f7a685456a431bca695e3987c871d507d58";
const std::string signature_hex =
    "c76ecbfe270e430b098387fe2176eb73e8f7644e88c5a660e450c3b2e0c85706"
    "89323db8c3a482ee16e8b3c6665d23dc2089f8b67eea3fdc1b05726de02ea3ae";
const std::string signed_text =
    "Version=1\nSequence=7\nF|0cc175b9c0f1b6a831c399e269772661|1|a.bin\n"
    "H|ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb|a.bin\n";

std::string verify(const std::string& key, const std::string& data, const std::string& signature)
{
    std::string error_text = "verified";
    verify_list_signature(key, data.data(), data.size(), signature, error_text);
    return error_text;
}

std::string flip_bit(std::string bytes, size_t bit)
{
    bytes[bit / 8] = char(bytes[bit / 8] ^ (1 << (bit % 8)));
    return bytes;
}

}  // namespace

TEST(Sha256, KnownAnswersWholeAndInOddPieces)
{
    EXPECT_EQ(sha256_in_pieces("", {1}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_in_pieces("abc", {3}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256_in_pieces(two_blocks, {55, 1}),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1000000, 'a');
    const char* const million_a = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    EXPECT_EQ(sha256_in_pieces(million, {1000000}), million_a);
    EXPECT_EQ(sha256_in_pieces(million, {1, 63, 65, 4097, 0x10001}), million_a);
}

TEST(Sha256, SeveralHashesAtOnceAndReleaseOnEveryPath)
{
    Sha256Context first;
    Sha256Context second;
    std::string error_text;
    ASSERT_TRUE(sha256_begin(first, error_text)) << error_text;
    ASSERT_TRUE(sha256_begin(second, error_text)) << error_text;
    ASSERT_TRUE(sha256_update(first, "ab", 2, error_text));
    ASSERT_TRUE(sha256_update(second, "abc", 3, error_text));
    ASSERT_TRUE(sha256_update(first, "c", 1, error_text));
    std::string first_text;
    std::string second_text;
    ASSERT_TRUE(sha256_final(second, second_text, error_text));
    ASSERT_TRUE(sha256_final(first, first_text, error_text));
    const char* const abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(first_text, abc);
    EXPECT_EQ(second_text, abc);
    EXPECT_EQ(first.hash, nullptr);
    EXPECT_EQ(first.object, nullptr);
    sha256_release(first);

    Sha256Context abandoned;
    ASSERT_TRUE(sha256_begin(abandoned, error_text));
    sha256_release(abandoned);
    EXPECT_EQ(abandoned.hash, nullptr);
    sha256_release(abandoned);
}

// The one verdict every placed file passes: all of its digests, or nothing. Bytes the system could
// not hash are refused with its reason even when their size and MD5 match.
TEST(ListedFileCheck, NothingIsPlacedOnLessThanAllItsDigests)
{
    const ListedFile unsigned_file = {"a.bin", "900150983cd24fb0d6963f7d28e17f72", 3, ""};
    ListedFile signed_file = unsigned_file;
    signed_file.sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    struct Case {
        const char* what;
        ListedFile file;
        std::string bytes;
        const char* hash_failure;  // set after the digests began, as a failed system call sets it
        std::string verdict;
    };
    const std::string damaged = "file damaged on the way";
    ListedFile other_sha = signed_file;
    other_sha.sha256[0] = '0';
    ListedFile upper_md5 = unsigned_file;
    upper_md5.md5 = "900150983CD24FB0D6963F7D28E17F72";
    const Case cases[] = {
        {"unsigned, same bytes", unsigned_file, "abc", "", "verified"},
        {"signed, same bytes", signed_file, "abc", "", "verified"},
        {"other bytes", unsigned_file, "abd", "", damaged},
        {"one byte more", unsigned_file, "abcd", "", damaged},
        {"an upper-case listed MD5", upper_md5, "abc", "", damaged},
        {"same MD5, other SHA-256", other_sha, "abc", "", damaged},
        {"no SHA-256 could be made", signed_file, "abc", "BCryptHashData failed with 0xc0000001",
         "BCryptHashData failed with 0xc0000001"},
    };
    for (const Case& c : cases) {
        FileDigests digests = {};
        begin_digests(c.file, digests);
        feed_digests(digests, c.bytes.data(), c.bytes.size());
        digests.failure = c.hash_failure;
        std::string verdict = "verified";
        bool verified = verify_listed_file(c.file, digests, verdict);
        release_digests(digests);
        EXPECT_EQ(c.verdict, verdict) << c.what;
        EXPECT_EQ(c.verdict == "verified", verified) << c.what;
    }
}

TEST(ListSignatureCheck, VerifiesTheSignedBytesOnlyUnderTheirKey)
{
    const std::string key = bytes_of_hex(public_key_hex);
    const std::string signature = bytes_of_hex(signature_hex);
    const std::string changed = "changed after signing, or signed with another key";
    EXPECT_EQ(verify(key, signed_text, signature), "verified");

    EXPECT_EQ(verify(key, flip_bit(signed_text, 8 * 20 + 1), signature), changed);
    EXPECT_EQ(verify(key, signed_text + "\n", signature), changed);
    EXPECT_EQ(verify(key, signed_text.substr(1), signature), changed);
    EXPECT_EQ(verify(key, signed_text, flip_bit(signature, 0)), changed);
    EXPECT_EQ(verify(key, signed_text, flip_bit(signature, 300)), changed);
    EXPECT_EQ(verify(bytes_of_hex(other_public_key_hex), signed_text, signature), changed);
    // A key with one bit flipped is no longer a point of the curve, or another point: refused either way.
    EXPECT_NE(verify(flip_bit(key, 500), signed_text, signature), "verified");

    EXPECT_EQ(verify(key.substr(1), signed_text, signature), "the public key is not 64 bytes");
    EXPECT_EQ(verify(key, signed_text, signature + "x"), "the signature is not 64 bytes");
}

TEST(ToolSigning, SignsThroughCngWithAKeyFromOpensslOrOneOfItsOwn)
{
    SigningKey key = {bytes_of_hex(public_key_hex), bytes_of_hex(private_key_hex)};
    std::string signature;
    std::string error_text;
    ASSERT_TRUE(sign_list_text(key, signed_text, signature, error_text)) << error_text;
    EXPECT_EQ(verify(key.public_xy, signed_text, signature), "verified");
    EXPECT_EQ(verify(key.public_xy, signed_text + "x", signature), "changed after signing, or signed with another key");

    SigningKey mismatched = {bytes_of_hex(other_public_key_hex), key.private_d};
    EXPECT_FALSE(sign_list_text(mismatched, signed_text, signature, error_text));
    EXPECT_NE(error_text.find("does not belong to its PrivateKey"), std::string::npos) << error_text;

    SigningKey made;
    ASSERT_TRUE(generate_signing_key(made, error_text)) << error_text;
    ASSERT_EQ(made.public_xy.size(), 64u);
    ASSERT_EQ(made.private_d.size(), 32u);
    EXPECT_NE(made.public_xy, key.public_xy);
    ASSERT_TRUE(sign_list_text(made, signed_text, signature, error_text)) << error_text;
    EXPECT_EQ(verify(made.public_xy, signed_text, signature), "verified");
}

TEST(ToolSigning, KeyFileIsNewAndForItsOwnerOnly)
{
    std::string name = fresh_game_folder() + "studio.key";
    std::string error_text;
    ASSERT_TRUE(create_private_file(name, "secret\n", error_text)) << error_text;
    EXPECT_FALSE(create_private_file(name, "other\n", error_text));
    EXPECT_NE(error_text.find("exists already"), std::string::npos) << error_text;
    std::string content;
    ASSERT_TRUE(read_file(name, content));
    EXPECT_EQ(content, "secret\n");

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &descriptor),
              DWORD(ERROR_SUCCESS));
    // Wine answers with an access list made from the file's POSIX mode, so the check is on what
    // counts: the user has all access, and no entry lets in everybody or the machine's users.
    ASSERT_NE(dacl, nullptr);
    bool user_has_all = false;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        char* sid = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidA(&ace->SidStart, &sid));
        std::string sid_text = sid;
        LocalFree(sid);
        EXPECT_TRUE(sid_text != "S-1-1-0" && sid_text != "S-1-5-32-545" && sid_text != "S-1-5-11") << sid_text;
        user_has_all = user_has_all || (sid_text.compare(0, 9, "S-1-5-21-") == 0 && ace->Mask == FILE_ALL_ACCESS);
    }
    EXPECT_TRUE(user_has_all);
    LocalFree(descriptor);
}
