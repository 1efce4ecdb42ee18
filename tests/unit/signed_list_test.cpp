// The signed additions to the update list: base64, the closing "Signature" line, the "Sequence"
// number, the "H|" lines and the "NextKey" line, that a launcher without a key reads a signed list
// as before, and the key rotation's decisions and record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "update_list/base64.h"
#include "update_list/list_keys.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static const std::string md5_a = "0cc175b9c0f1b6a831c399e269772661";
static const std::string sha_a = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
static const std::string sha_b = "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d";

static bool decodes(const std::string& text, std::string& bytes)
{
    return decode_base64(text.data(), text.size(), bytes);
}

// The signature line of 64 bytes counting up from `first`.
static std::string signature_line(int first = 0)
{
    std::string bytes;
    for (int i = 0; i < 64; ++i) {
        bytes += static_cast<char>(first + i);
    }
    return "Signature=" + encode_base64(bytes);
}

TEST(Base64, KnownAnswersAndNoOtherSpelling)
{
    const char* const answers[][2] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\x80", "//6A"},
    };
    for (const auto& answer : answers) {
        EXPECT_EQ(encode_base64(answer[0]), answer[1]);
        std::string bytes = "old";
        EXPECT_TRUE(decodes(answer[1], bytes));
        EXPECT_EQ(bytes, answer[0]);
    }
    const char* const refused[] = {"Zg", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "Z g==", "Zg==\n", "====", "Zm9v-_=="};
    for (const char* text : refused) {
        std::string bytes = "kept";
        EXPECT_FALSE(decodes(text, bytes)) << text;
        EXPECT_EQ(bytes, "kept");
    }
}

TEST(ListSignature, FindsTheLastLineAndCountsTheBytesBeforeIt)
{
    const std::string body = "Version=1\r\nF|" + md5_a + "|1|a\r\n";
    const std::string tails[] = {"", "\n", "\r\n\r\n\n", "  \r\n"};
    for (const std::string& tail : tails) {
        ListSignature found;
        std::string error_text;
        ASSERT_TRUE(find_list_signature(body + signature_line(7) + tail, found, error_text)) << error_text;
        EXPECT_EQ(found.signed_length, body.size());
        ASSERT_EQ(found.signature.size(), 64u);
        EXPECT_EQ(found.signature[0], 7);
        EXPECT_EQ(found.signature[63], 70);
    }
    ListSignature found;
    std::string error_text;
    ASSERT_TRUE(find_list_signature(signature_line(), found, error_text));
    EXPECT_EQ(found.signed_length, 0u);
}

TEST(ListSignature, RefusesWithTheReason)
{
    const std::string body = "Version=1\n";
    const std::string line = signature_line();
    const std::string key_and_64_bytes_less_one = "Signature=" + encode_base64(std::string(63, 'x'));
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {body, "no signature"},
        {body + "#" + line + "\n", "no signature"},
        {body + " " + line + "\n", "no signature"},
        {body + "signature=" + line.substr(10), "no signature"},
        {body + line + "\n \n", "the signature is not the last line"},
        {body + line + "\n" + line, "the signature is not the last line"},
        {body + line + "\n" + std::string(1, '\0'), "the signature is not the last line"},
        {body + "Signature=", "a garbled signature line"},
        {body + key_and_64_bytes_less_one, "a garbled signature line"},
        {body + line.substr(0, line.size() - 2), "a garbled signature line"},
        {body + line.substr(0, 20) + "!" + line.substr(21), "a garbled signature line"},
    };
    for (const Case& item : cases) {
        ListSignature found;
        std::string error_text;
        EXPECT_FALSE(find_list_signature(item.text, found, error_text)) << item.text;
        EXPECT_EQ(error_text, item.reason) << item.text;
    }
}

// Parses the signed text as a launcher does and reads its signed lines.
static bool read_signed(const std::string& text, UpdateList& list, uint64_t& sequence, std::string& error_text)
{
    parse_update_list(text.c_str(), list);
    return read_signed_lines(text, list.files, sequence, error_text);
}

TEST(SignedLines, GiveEveryEntryItsSha256AndTheSequence)
{
    const std::string text = "Version=1\nSequence=1712000000\n"
                             "F|" + md5_a + "|1|data/a.bin\r\n"
                             "K|" + md5_a + "|1|b.cfg  \n"
                             "F|" + md5_a + "|1|data/a.bin\n"
                             "H|" + sha_a + "|data/a.bin\n"
                             "H|" + sha_b + "|b.cfg\r\n"
                             "H|" + sha_a + "|data/a.bin\n"
                             "H|" + sha_b + "|not/listed.bin\n"
                             "H|" + sha_a + "|data\\a.bin\n";
    UpdateList list;
    uint64_t sequence = 1;
    std::string error_text;
    ASSERT_TRUE(read_signed(text, list, sequence, error_text)) << error_text;
    EXPECT_EQ(sequence, 1712000000u);
    ASSERT_EQ(list.files.size(), 3u);
    EXPECT_EQ(list.files[0].sha256, sha_a);
    EXPECT_EQ(list.files[1].sha256, sha_b);
    EXPECT_EQ(list.files[2].sha256, sha_a);

    ASSERT_TRUE(read_signed("Version=1\nSequence=18446744073709551615\n", list, sequence, error_text));
    EXPECT_EQ(sequence, UINT64_MAX);
    ASSERT_TRUE(read_signed("Version=1\nsequence=x\n#Sequence=x\n", list, sequence, error_text));
    EXPECT_EQ(sequence, 0u);
}

// Counts the allocations while `counting` is set: the order in which make_manifest writes a signed
// list lets read_signed_lines match each "H|" line to the next entry, which allocates nothing but
// the digests, where the match by path builds a table of every path.
static bool counting = false;
static size_t allocations = 0;

void* operator new(size_t size)
{
    allocations += counting ? 1 : 0;
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) {
        std::abort();
    }
    return memory;
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, size_t) noexcept
{
    std::free(memory);
}

TEST(SignedLines, MapLinesKeepTheMatchInListOrder)
{
    const size_t entries = 200;
    std::string text = "Version=1\nSequence=3\n";
    for (size_t i = 0; i < entries; ++i) {
        std::string path = "data/" + std::to_string(1000 + i) + ".pak";
        text += "F|" + md5_a + "|1048576|" + path + "\nH|" + sha_a + "|" + path + "\nM|" + sha_b +
                "|2584|launcher.maps/" + md5_a + ".map|" + path + "\n";
    }
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    ASSERT_EQ(list.files.size(), entries);
    ASSERT_EQ(list.maps.size(), entries);
    uint64_t sequence = 0;
    std::string error_text;
    allocations = 0;
    counting = true;
    bool read = read_signed_lines(text, list.files, sequence, error_text);
    counting = false;
    ASSERT_TRUE(read) << error_text;
    EXPECT_EQ(sequence, 3u);
    EXPECT_EQ(list.files[entries - 1].sha256, sha_a);
    // One digest text per entry and the vector of digests; the match by path adds a node per path.
    EXPECT_LE(allocations, entries + 2);
}

TEST(SignedLines, RefuseWithTheReason)
{
    const std::string entry = "Version=1\nF|" + md5_a + "|1|data/a.bin\n";
    const std::string hash = "H|" + sha_a + "|data/a.bin\n";
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {entry + hash + "Sequence=\n", "a garbled Sequence line"},
        {entry + hash + "Sequence=-1\n", "a garbled Sequence line"},
        {entry + hash + "Sequence= 1\n", "a garbled Sequence line"},
        {entry + hash + "Sequence=18446744073709551616\n", "a garbled Sequence line"},
        {entry + hash + "Sequence=1\nSequence=1\n", "a garbled Sequence line"},
        {entry, "no SHA-256 for data/a.bin"},
        {entry + "H|" + sha_a + "|data/A.bin\n", "no SHA-256 for data/a.bin"},
        {entry + "H|" + sha_a.substr(1) + "|data/a.bin\n", "no SHA-256 for data/a.bin"},
        {entry + "H|CA978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb|data/a.bin\n",
         "no SHA-256 for data/a.bin"},
        {entry + std::string(1, '\0') + hash, "no SHA-256 for data/a.bin"},
        {entry + hash + "H|" + sha_b + "|data/a.bin\n", "two SHA-256 lines for data/a.bin"},
        // Each entry named in order, as make_manifest writes them, and still refused: a line
        // after the last entry's, and an entry listed twice.
        {entry + hash + "F|" + md5_a + "|1|data/b.bin\nH|" + sha_b + "|data/b.bin\nH|" + sha_b + "|data/a.bin\n",
         "two SHA-256 lines for data/a.bin"},
        {entry + hash + "F|" + md5_a + "|1|data/a.bin\nH|" + sha_b + "|data/a.bin\n",
         "two SHA-256 lines for data/a.bin"},
    };
    for (const Case& item : cases) {
        UpdateList list;
        uint64_t sequence = 7;
        std::string error_text;
        EXPECT_FALSE(read_signed(item.text, list, sequence, error_text)) << item.text;
        EXPECT_EQ(error_text, item.reason) << item.text;
        EXPECT_EQ(sequence, 7u);
    }
}

TEST(SignedLines, ALauncherWithoutAKeyReadsASignedListAsBefore)
{
    const std::string plain = "Version=2\nNews=hi\nRun=main.exe\nDelete=old.bin\nF|" + md5_a + "|1|a=b.bin\n";
    const std::string text = plain + "H|" + sha_a + "|a=b.bin\nSequence=5\nNextKey=" +
                             encode_base64(std::string(64, 'k')) + "\n" + signature_line() + "\n";
    UpdateList before;
    UpdateList signed_list;
    ASSERT_TRUE(parse_update_list(plain.c_str(), before));
    ASSERT_TRUE(parse_update_list(text.c_str(), signed_list));
    EXPECT_EQ(signed_list.version, before.version);
    EXPECT_EQ(signed_list.news, before.news);
    EXPECT_EQ(signed_list.run, before.run);
    EXPECT_EQ(signed_list.deletes, before.deletes);
    ASSERT_EQ(signed_list.files.size(), 1u);
    EXPECT_EQ(signed_list.files[0].path, "a=b.bin");
    EXPECT_TRUE(signed_list.files[0].sha256.empty());
}

// A key of 64 bytes, one per letter.
static std::string key_of(char letter)
{
    return std::string(64, letter);
}

TEST(NextKey, ReadFromTheSignedLinesOnceOrTheListIsRefused)
{
    const std::string head = "Version=1\nSequence=9\n";
    const std::string entry = "F|" + md5_a + "|1|data/a.bin\nH|" + sha_a + "|data/a.bin\n";
    const std::string line = "NextKey=" + encode_base64(key_of('n')) + "\n";
    std::string next_key = "old";
    std::string error_text;
    ASSERT_TRUE(read_next_key(head + entry, next_key, error_text));
    EXPECT_EQ(next_key, "");
    // Anywhere among the signed lines, CR LF or trailing blanks after it; the signed lines around it
    // read as a launcher before the rotation reads them.
    for (const std::string& text : {head + line + entry, head + entry + line.substr(0, line.size() - 1) + " \r\n"}) {
        ASSERT_TRUE(read_next_key(text, next_key, error_text)) << text;
        EXPECT_EQ(next_key, key_of('n'));
        UpdateList list;
        uint64_t sequence = 0;
        ASSERT_TRUE(read_signed(text, list, sequence, error_text)) << error_text;
        EXPECT_EQ(sequence, 9u);
        EXPECT_EQ(list.files[0].sha256, sha_a);
    }
    const std::string refused[] = {
        head + line + line,
        head + "NextKey=" + encode_base64(std::string(63, 'n')) + "\n",
        head + "NextKey=PublicKey=" + encode_base64(key_of('n')) + "\n",
    };
    for (const std::string& text : refused) {
        next_key = "kept";
        EXPECT_FALSE(read_next_key(text, next_key, error_text)) << text;
        EXPECT_EQ(error_text, "a garbled NextKey line") << text;
        EXPECT_EQ(next_key, "kept");
    }
}

TEST(KeyRotation, TheSignerOfTheLastListIsTheWorkingKeyAndTheBackupAlwaysCounts)
{
    const ListKeys installed = {key_of('a'), "", key_of('k')};
    EXPECT_EQ(trusted_keys(installed), (std::vector<std::string>{key_of('a'), key_of('k')}));
    EXPECT_EQ(trusted_keys(ListKeys{key_of('a'), key_of('k'), key_of('k')}),
              (std::vector<std::string>{key_of('a'), key_of('k')}));

    struct Step {
        const char* what;
        char signer;
        char named;  // 0: the list names no next key
        ListKeys after;
    };
    // One game folder through a rotation, its withdrawal, the switch, and a backup taking over.
    const Step steps[] = {
        {"the working key names B", 'a', 'b', {key_of('a'), key_of('b'), key_of('k')}},
        {"the working key names none: B is withdrawn", 'a', 0, {key_of('a'), "", key_of('k')}},
        {"B named again", 'a', 'b', {key_of('a'), key_of('b'), key_of('k')}},
        {"a list signed with B: A retired", 'b', 0, {key_of('b'), "", key_of('k')}},
        {"B names C", 'b', 'c', {key_of('b'), key_of('c'), key_of('k')}},
        {"the backup takes over: B and C retired", 'k', 'w', {key_of('k'), key_of('w'), key_of('k')}},
        {"the new working key W", 'w', 'w', {key_of('w'), "", key_of('k')}},
    };
    ListKeys keys = installed;
    for (const Step& step : steps) {
        const std::vector<std::string> trusted = trusted_keys(keys);
        ASSERT_NE(std::find(trusted.begin(), trusted.end(), key_of(step.signer)), trusted.end()) << step.what;
        keys = keys_after_list(keys, key_of(step.signer), step.named == 0 ? "" : key_of(step.named));
        EXPECT_EQ(keys.current, step.after.current) << step.what;
        EXPECT_EQ(keys.next, step.after.next) << step.what;
        EXPECT_EQ(keys.backup, step.after.backup) << step.what;
    }
    EXPECT_EQ(trusted_keys(keys), (std::vector<std::string>{key_of('w'), key_of('k')}));
}

TEST(KeyRotation, TheRecordHoldsTheKeysOfItsOwnInstallOnly)
{
    const ListKeys moved = {key_of('b'), key_of('c'), key_of('k')};
    const std::string record = format_key_record(key_of('a'), moved);
    EXPECT_EQ(record, "Installed=" + encode_base64(key_of('a')) + "\nCurrent=" + encode_base64(key_of('b')) +
                          "\nNext=" + encode_base64(key_of('c')) + "\n");
    ListKeys read = {key_of('a'), "", key_of('k')};
    ASSERT_TRUE(read_key_record(record, key_of('a'), read));
    EXPECT_EQ(read.current, key_of('b'));
    EXPECT_EQ(read.next, key_of('c'));
    EXPECT_EQ(read.backup, key_of('k'));

    // launcher.ini names another key: a new install starts from it, the old record is no longer its own.
    read = ListKeys{key_of('z'), "", ""};
    ASSERT_TRUE(read_key_record(record, key_of('z'), read));
    EXPECT_EQ(read.current, key_of('z'));

    const std::string installed_line = "Installed=" + encode_base64(key_of('a')) + "\n";
    const std::string current_line = "Current=" + encode_base64(key_of('b')) + "\n";
    const std::string broken[] = {
        "",
        installed_line,
        installed_line + current_line + current_line,
        installed_line + current_line + "Sequence=5\n",
        record.substr(0, record.size() - 20),
    };
    for (const std::string& text : broken) {
        read = ListKeys{key_of('a'), "", ""};
        EXPECT_FALSE(read_key_record(text, key_of('a'), read)) << text;
        EXPECT_EQ(read.current, key_of('a')) << text;
    }
}
