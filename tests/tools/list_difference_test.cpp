// verify --expect: what a studio reads when the served list is not the one it published. Every
// difference of bytes gives at least one line, and one that names what differs.
#include <gtest/gtest.h>

#include "tools/checking/list_difference.h"

static std::vector<std::string> differences(const std::string& expected, const std::string& served)
{
    std::vector<std::string> lines = {"left from before"};
    list_differences(expected, "release/manifest.txt", served, lines);
    return lines;
}

TEST(ListDifference, NamesEachChangedPartAndNeverStaysSilent)
{
    const std::string head = "Version=1\nSequence=5\nF|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa|3|a.bin\n";
    const std::string hash = "H|" + std::string(64, 'b') + "|a.bin\n";
    const std::string signature = "Signature=c2lnbmF0dXJl\n";
    EXPECT_TRUE(differences(head + hash + signature, head + hash + signature).empty());

    // Signed again with the same lines: only the signature differs.
    EXPECT_EQ(differences(head + hash + signature, head + hash + "Signature=b3RoZXI=\n"),
              std::vector<std::string>{"manifest.txt: another signature: expected the Signature line of "
                                       "release/manifest.txt, the server's list has another"});
    // The same lines, CR LF and in another order: the bytes still differ, and it says so.
    std::string reordered = "Sequence=5\r\nVersion=1\r\nF|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa|3|a.bin\r\n" + hash;
    ASSERT_EQ(differences(head + hash, reordered).size(), 1u);
    EXPECT_NE(differences(head + hash, reordered)[0].find("in another order or with other line ends"),
              std::string::npos);

    // A SHA-256 line belongs to its entry; a missing Sequence reads "none".
    std::string rehashed = "Version=1\nF|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa|3|a.bin\nH|" + std::string(64, 'c') +
                           "|a.bin\nNews=hello\n";
    EXPECT_EQ(differences(head + hash, rehashed),
              (std::vector<std::string>{
                  "manifest.txt: another Sequence: expected 5, the server's list has none",
                  "a.bin: changed: expected F|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa|3 H|" + std::string(64, 'b') +
                      ", the server's list has F|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa|3 H|" + std::string(64, 'c'),
                  "manifest.txt: a line added: expected only the lines of release/manifest.txt, the server's "
                  "list has \"News=hello\""}));
    EXPECT_EQ(differences(head + "News=hi\n", head),
              std::vector<std::string>{"manifest.txt: a line missing: expected \"News=hi\", the server's list lacks it"});
}
