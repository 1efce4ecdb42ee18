// make_manifest's signed lists: the key file, a signature OpenSSL makes and checks, and a signed
// list that the launcher's reader of signed lists accepts line for line.
#include <gtest/gtest.h>

#include "tools/publishing/manifest_text.h"
#include "tools/signing/signing_key.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static const std::string sha_a = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
static const std::string sha_b = "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d";

TEST(SigningKey, FileHoldsBothHalvesAndNothingElse)
{
    SigningKey key;
    std::string reason;
    ASSERT_TRUE(generate_signing_key(key, reason)) << reason;
    ASSERT_EQ(key.public_xy.size(), 64u);
    ASSERT_EQ(key.private_d.size(), 32u);
    EXPECT_EQ(public_key_line(key).size(), 10u + 88u);

    std::string text = format_key_file(key);
    SigningKey read;
    ASSERT_TRUE(parse_key_file(text, read, reason)) << reason;
    EXPECT_EQ(read.public_xy, key.public_xy);
    EXPECT_EQ(read.private_d, key.private_d);
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_TRUE(parse_key_file("\n" + crlf + "\n", read, reason)) << reason;

    size_t secret = text.find("PrivateKey=");
    const std::string refused[] = {"", text.substr(0, secret), text + "Url=x\n", text + "PrivateKey=AAAA\n",
                                   text.substr(0, secret + 12) + "!" + text.substr(secret + 13)};
    for (const std::string& bad : refused) {
        EXPECT_FALSE(parse_key_file(bad, read, reason)) << bad;
        EXPECT_EQ(reason.find(text.substr(secret + 11, 8)), std::string::npos) << "the secret is shown";
    }
}

TEST(SigningKey, SignsWhatTheLaunchersReaderAccepts)
{
    SigningKey key;
    std::string reason;
    ASSERT_TRUE(generate_signing_key(key, reason)) << reason;
    ManifestSettings settings;
    settings.version = "3";
    settings.sign = true;
    settings.sequence = 1712000000;
    std::vector<ManifestFile> files = {ManifestFile{"main.exe", std::string(32, 'a'), 1, false, sha_b},
                                       ManifestFile{"cfg/a.cfg", std::string(32, 'b'), 2, true, sha_a}};
    std::string text;
    ASSERT_TRUE(write_manifest_text(settings, files, text, reason)) << reason;
    EXPECT_EQ(text, "Version=3\nSequence=1712000000\n"
                    "K|" + std::string(32, 'b') + "|2|cfg/a.cfg\nH|" + sha_a + "|cfg/a.cfg\n"
                    "F|" + std::string(32, 'a') + "|1|main.exe\nH|" + sha_b + "|main.exe\n");
    const std::string unsigned_text = text;
    std::string signature;
    ASSERT_TRUE(sign_list_text(key, text, signature, reason)) << reason;
    append_signature_line(signature, text);

    ListSignature found;
    ASSERT_TRUE(find_list_signature(text, found, reason)) << reason;
    EXPECT_EQ(found.signed_length, unsigned_text.size());
    EXPECT_EQ(found.signature, signature);
    UpdateList list;
    ASSERT_TRUE(parse_update_list(unsigned_text.c_str(), list));
    uint64_t sequence = 0;
    ASSERT_TRUE(read_signed_lines(unsigned_text, list.files, sequence, reason)) << reason;
    EXPECT_EQ(sequence, 1712000000u);
    EXPECT_EQ(list.files[0].sha256, sha_a);
    EXPECT_EQ(list.files[1].sha256, sha_b);

    files[1].sha256 = sha_a.substr(1);
    EXPECT_FALSE(write_manifest_text(settings, files, text, reason));
    EXPECT_EQ(reason, "main.exe: the SHA-256 is not 64 hex digits");
}
