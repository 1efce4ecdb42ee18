// One file download against the test server, with no window and no process-wide state: the URL,
// folders, the part file, the size and digest checks, the verified part left for the switch, the
// progress it reports, and what every failure leaves behind.
#include <gtest/gtest.h>

#include "engine/download_batch.h"
#include "tests/win/test_support.h"
#include "transfer/download.h"
#include "transfer/part_file.h"
#include "update_list/local_path.h"

namespace {

const uint64_t tolerance = 1048576;

UpdateEntry entry_for(const std::string& path, const std::string& content)
{
    return UpdateEntry{path, md5_text(content), content.size(), false};
}

// How the server's request log writes a text.
std::string json_text(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

struct Outcome {
    bool ok;
    SinkLog reports;
    std::string error_text;
};

Outcome download(const std::string& folder, const UpdateEntry& entry, const std::string& target)
{
    Outcome outcome = {false, {}, "untouched"};
    outcome.ok = download_file(test_source(folder), listed_file(entry), target, recording_transfer_sink(outcome.reports),
                               outcome.error_text);
    return outcome;
}

}  // namespace

TEST(Download, EncodedUrlNewFoldersAndVerifiedFileInItsPart)
{
    std::string dir = fresh_game_folder();
    std::string content = pattern_bytes(200000);
    std::string path = "maps/new area/\xC3\xBC+x.bin";
    // Served by rule: the file name's bytes would not survive wine's code page on the way to disk.
    set_rules(R"({"/maps/new%20area/%C3%BC%2Bx.bin": {"generate": 200000}})");
    UpdateEntry entry = entry_for(path, content);
    Outcome outcome = download(dir, entry, join_local_path(dir, path));
    ASSERT_TRUE(outcome.ok) << outcome.error_text;
    EXPECT_EQ("untouched", outcome.error_text);
    std::string got;
    ASSERT_TRUE(read_file(dir + "maps\\new area\\\xC3\xBC+x.bin.part", got));
    EXPECT_EQ(content, got);
    EXPECT_FALSE(file_exists(dir + "maps\\new area\\\xC3\xBC+x.bin"));

    std::vector<std::string> requests = requests_for("/maps/new%20area/%C3%BC%2Bx.bin");
    ASSERT_EQ(1u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("\"query\": \"v=" + entry.md5 + "\""));
    EXPECT_NE(std::string::npos, requests[0].find("\"pragma\": \"\""));

    // Every block is reported, rising to the whole file, all of it new in this call.
    const SinkLog& reports = outcome.reports;
    ASSERT_FALSE(reports.empty());
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_LT(reports[i - 1].first, reports[i].first);
    EXPECT_EQ((std::pair<uint64_t, uint64_t>(200000, 200000)), reports.back());
}

TEST(Download, EmptyFileWithTheEmptyDigestArrives)
{
    std::string dir = fresh_game_folder();
    serve_file("empty.dat", "");
    Outcome outcome = download(dir, entry_for("empty.dat", ""), dir + "empty.dat");
    ASSERT_TRUE(outcome.ok) << outcome.error_text;
    EXPECT_TRUE(file_exists(dir + "empty.dat.part"));
    EXPECT_TRUE(outcome.reports.empty());
}

TEST(Download, NotFoundCreatesNeitherFolderNorPartFile)
{
    std::string dir = fresh_game_folder();
    Outcome outcome = download(dir, entry_for("deep/er/missing.bin", "x"),
                               join_local_path(dir, "deep/er/missing.bin"));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ("HTTP 404", outcome.error_text);
    EXPECT_TRUE(outcome.reports.empty());
    EXPECT_FALSE(file_exists(dir + "deep"));
}

// The part a dropped connection leaves is the start of the file; the next call asks for the rest
// only and continues the digest over the kept bytes.
TEST(Download, DroppedConnectionIsLostKeepsItsPartAndTheNextCallFetchesOnlyTheRest)
{
    std::string dir = fresh_game_folder();
    std::string content = pattern_bytes(300000);
    serve_file("big.bin", content);
    write_file(dir + "big.bin", "old version");
    set_rules(R"({"/big.bin": {"drop_after": 70000, "times": 1}})");
    UpdateEntry entry = entry_for("big.bin", content);
    Outcome outcome = download(dir, entry, dir + "big.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ("connection lost", outcome.error_text);
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.bin", got));
    EXPECT_EQ("old version", got);
    std::string part;
    ASSERT_TRUE(read_file(dir + "big.bin.part", part));
    ASSERT_EQ(70000u, part.size());
    EXPECT_EQ(content.substr(0, part.size()), part);

    outcome = download(dir, entry, dir + "big.bin");
    ASSERT_TRUE(outcome.ok) << outcome.error_text;
    ASSERT_TRUE(read_file(dir + "big.bin.part", got));
    EXPECT_EQ(content, got);
    ASSERT_TRUE(read_file(dir + "big.bin", got));
    EXPECT_EQ("old version", got);
    std::vector<std::string> requests = requests_for("/big.bin");
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(std::string::npos, requests[1].find("\"range\": \"bytes=70000-\""));
    EXPECT_EQ((std::vector<uint64_t>{70000, 230000}), bytes_sent_for("/big.bin"));
    EXPECT_EQ((std::pair<uint64_t, uint64_t>(300000, 230000)), outcome.reports.back());
}

// With objects the file's bytes come from its object alone, whole or going on from a part, under
// a name that needs no query; its path is never asked for.
TEST(Download, FromItsObjectWithNoQueryAlsoWhenItGoesOn)
{
    std::string dir = fresh_game_folder();
    std::string content = pattern_bytes(300000);
    UpdateEntry entry = entry_for("data/big.bin", content);
    entry.object = "launcher.objects/" + entry.md5 + "-300000";
    serve_file(entry.object, content);
    serve_file("data/big.bin", "the file at its path, of another release");
    std::string object_url = "/" + entry.object;
    set_rules("{\"" + object_url + "\": {\"drop_after\": 70000, \"times\": 1}}");
    Outcome outcome = download(dir, entry, join_local_path(dir, entry.path));
    EXPECT_EQ("connection lost", outcome.error_text);
    outcome = download(dir, entry, join_local_path(dir, entry.path));
    ASSERT_TRUE(outcome.ok) << outcome.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "data\\big.bin.part", got));
    EXPECT_TRUE(got == content);
    std::vector<std::string> requests = requests_for(object_url);
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("\"query\": \"\""));
    EXPECT_NE(std::string::npos, requests[1].find("\"range\": \"bytes=70000-\""));
    EXPECT_TRUE(requests_for("/data/big.bin").empty());
}

// A part is gone on from only while the server still serves the answer that began it: its tag
// names the file's digest and that answer's validator, sent back as If-Range, and the 206 must
// hold exactly the rest of a file of the listed size. Anything else starts over once from the
// first byte; a part longer than the file goes at once; a whole part needs no request.
TEST(Download, KeptPartsGoOnOnlyFromTheSameAnswer)
{
    std::string dir = fresh_game_folder();
    std::string content = pattern_bytes(300000);
    serve_file("r.bin", content);
    UpdateEntry entry = entry_for("r.bin", content);
    set_rules(R"({"/r.bin": {"drop_after": 50000, "times": 1}})");
    EXPECT_EQ("connection lost", download(dir, entry, dir + "r.bin").error_text);
    std::string tag;
    ASSERT_TRUE(read_file(dir + "r.bin.part.tag", tag));
    std::string validator = tag.substr(tag.find('\n') + 1);
    validator.pop_back();
    EXPECT_EQ(entry.md5 + "\n" + validator + "\n", tag);
    std::string kept;
    ASSERT_TRUE(read_file(dir + "r.bin.part", kept));

    // Same answer: only the rest comes, asked for with the validator.
    set_rules("{}");
    clear_request_log();
    ASSERT_TRUE(download(dir, entry, dir + "r.bin").ok);
    std::vector<std::string> requests = requests_for("/r.bin");
    ASSERT_EQ(1u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("\"range\": \"bytes=50000-\""));
    EXPECT_NE(std::string::npos, requests[0].find("\"if_range\": " + json_text(validator)));
    EXPECT_TRUE(file_exists(dir + "r.bin.part.tag"));

    struct Case {
        const char* what;
        std::string tag;     // beside the kept start of the file; empty: none
        std::string rules;   // the server's, while the file is fetched again
        size_t requests;     // how many it takes
    };
    std::string other_md5 = md5_text("another version");
    std::vector<Case> cases = {
        {"no tag", "", "{}", 1},
        {"a tag of another version", other_md5 + "\n" + validator + "\n", "{}", 1},
        {"a tag without validator", entry.md5 + "\n\n", "{}", 1},
        {"the file changed on the server", tag, R"({"/r.bin": {"etag": "\"changed\""}})", 2},
        {"a range of a file of another size", tag, R"({"/r.bin": {"extra_bytes": 7, "times": 1}})", 2},
    };
    for (const Case& c : cases) {
        write_file(dir + "r.bin.part", kept);
        DeleteFileA((dir + "r.bin.part.tag").c_str());
        if (!c.tag.empty())
            write_file(dir + "r.bin.part.tag", c.tag);
        set_rules(c.rules);
        clear_request_log();
        Outcome outcome = download(dir, entry, dir + "r.bin");
        ASSERT_TRUE(outcome.ok) << c.what << ": " << outcome.error_text;
        std::string got;
        ASSERT_TRUE(read_file(dir + "r.bin.part", got));
        EXPECT_EQ(content, got) << c.what;
        requests = requests_for("/r.bin");
        ASSERT_EQ(c.requests, requests.size()) << c.what;
        EXPECT_NE(std::string::npos, requests.back().find("\"range\": \"\"")) << c.what;
    }

    set_rules("{}");
    clear_request_log();
    write_file(dir + "r.bin.part", content + "more");
    ASSERT_TRUE(download(dir, entry, dir + "r.bin").ok);
    EXPECT_EQ((std::vector<uint64_t>{300000}), bytes_sent_for("/r.bin"));

    clear_request_log();
    write_file(dir + "r.bin", "old");
    write_file(dir + "r.bin.part", content);
    ASSERT_TRUE(download(dir, entry, dir + "r.bin").ok);
    EXPECT_TRUE(requests_for("/r.bin").empty());
    std::string got;
    ASSERT_TRUE(read_file(dir + "r.bin.part", got));
    EXPECT_EQ(content, got);
    ASSERT_TRUE(read_file(dir + "r.bin", got));
    EXPECT_EQ("old", got);
}

TEST(Download, ChunkedBodyWithoutLengthIsVerifiedByItsDigest)
{
    std::string dir = fresh_game_folder();
    std::string content = pattern_bytes(150000);
    serve_file("chunked.bin", content);
    set_rules(R"({"/chunked.bin": {"chunked": true}})");
    Outcome outcome = download(dir, entry_for("chunked.bin", content), dir + "chunked.bin");
    ASSERT_TRUE(outcome.ok) << outcome.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "chunked.bin.part", got));
    EXPECT_EQ(content, got);
}

TEST(Download, BodyPastTheToleranceStopsAtOnceAndOneWithinIsDamaged)
{
    std::string dir = fresh_game_folder();
    std::string content = "listed content";
    serve_file("grow.bin", content);
    UpdateEntry entry = entry_for("grow.bin", content);

    set_rules(R"({"/grow.bin": {"extra_bytes": )" + std::to_string(tolerance + 1) + "}}");
    Outcome outcome = download(dir, entry, dir + "grow.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ("file bigger than the list says", outcome.error_text);

    set_rules(R"({"/grow.bin": {"extra_bytes": )" + std::to_string(tolerance) + "}}");
    outcome = download(dir, entry, dir + "grow.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ("file damaged on the way", outcome.error_text);
    EXPECT_FALSE(file_exists(dir + "grow.bin"));
    EXPECT_FALSE(file_exists(dir + "grow.bin.part"));
}

TEST(Download, OtherBytesOrAnUpperCaseDigestAreDamage)
{
    std::string dir = fresh_game_folder();
    serve_file("d.bin", "served bytes");
    write_file(dir + "d.bin", "kept");
    Outcome outcome = download(dir, entry_for("d.bin", "listed bytes"), dir + "d.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ("file damaged on the way", outcome.error_text);

    UpdateEntry upper = entry_for("d.bin", "served bytes");
    for (char& c : upper.md5)
        c = char(toupper(static_cast<unsigned char>(c)));
    outcome = download(dir, upper, dir + "d.bin");
    EXPECT_EQ("file damaged on the way", outcome.error_text);
    std::string got;
    ASSERT_TRUE(read_file(dir + "d.bin", got));
    EXPECT_EQ("kept", got);
    EXPECT_FALSE(file_exists(dir + "d.bin.part"));
}

// A verified part waits for the switch: the next call verifies it again without a request, and
// it takes its name only when the target is free. The reasons tell a file held open by a running
// program from a folder under the file's name. Windows refuses to move over a read-only file and
// the move clears the attribute first; wine replaces such a file anyway, so the read-only case
// here holds whether or not the attribute is cleared.
TEST(Download, VerifiedPartWaitsAndTakesItsNameOnlyWhenFree)
{
    std::string dir = fresh_game_folder();
    serve_file("game.exe", "new game");
    write_file(dir + "game.exe", "old game");
    // The way a running program holds its file: readers welcome, no deletion or rename. Wine
    // refuses the move over such a file as Windows does.
    HANDLE held = CreateFileA((dir + "game.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    ASSERT_TRUE(download(dir, entry_for("game.exe", "new game"), dir + "game.exe").ok);
    std::string error_text;
    EXPECT_FALSE(may_take_name(dir + "game.exe", error_text));
    EXPECT_EQ("the file is in use - close the game first", error_text);
    EXPECT_FALSE(place_part(dir + "game.exe.part", dir + "game.exe", true, error_text));
    CloseHandle(held);
    std::string got;
    ASSERT_TRUE(read_file(dir + "game.exe", got));
    EXPECT_EQ("old game", got);
    ASSERT_TRUE(read_file(dir + "game.exe.part", got));
    EXPECT_EQ("new game", got);

    ASSERT_TRUE(download(dir, entry_for("game.exe", "new game"), dir + "game.exe").ok);
    EXPECT_EQ(1u, requests_for("/game.exe").size());
    EXPECT_TRUE(may_take_name(dir + "game.exe", error_text));
    EXPECT_TRUE(may_take_name(dir + "never-there.exe", error_text));
    ASSERT_TRUE(place_part(dir + "game.exe.part", dir + "game.exe", true, error_text));
    ASSERT_TRUE(read_file(dir + "game.exe", got));
    EXPECT_EQ("new game", got);
    EXPECT_FALSE(file_exists(dir + "game.exe.part"));

    serve_file("data/level", "level data");
    CreateDirectoryA((dir + "data").c_str(), NULL);
    CreateDirectoryA((dir + "data\\level").c_str(), NULL);
    ASSERT_TRUE(download(dir, entry_for("data/level", "level data"), dir + "data\\level").ok);
    EXPECT_FALSE(may_take_name(dir + "data\\level", error_text));
    EXPECT_EQ("a folder has the file's name - remove or rename it", error_text);
    EXPECT_TRUE(file_exists(dir + "data\\level.part"));

    serve_file("ro.bin", "new");
    write_file(dir + "ro.bin", "old");
    SetFileAttributesA((dir + "ro.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(download(dir, entry_for("ro.bin", "new"), dir + "ro.bin").ok);
    EXPECT_TRUE(may_take_name(dir + "ro.bin", error_text));
    ASSERT_TRUE(place_part(dir + "ro.bin.part", dir + "ro.bin", false, error_text));
    ASSERT_TRUE(read_file(dir + "ro.bin", got));
    EXPECT_EQ("new", got);
}

// Windows ends a stalled read at the session's receive time-out with a failed read. Wine applies
// no receive time-out to a session, so here the read waits until the server gives up and closes;
// that close comes before the announced length, which still must read as a lost connection.
TEST(Download, StalledServerEndsWithALostConnection)
{
    std::string dir = fresh_game_folder();
    std::string content = pattern_bytes(300000);
    serve_file("slow.bin", content);
    set_rules(R"({"/slow.bin": {"stall_after": 1000, "stall_seconds": 2}})");
    Outcome outcome = download(dir, entry_for("slow.bin", content), dir + "slow.bin");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ("connection lost", outcome.error_text);
    EXPECT_TRUE(file_exists(dir + "slow.bin.part"));
    // A smaller file's part is not kept: it would be fetched again from its first byte anyway.
    serve_file("small.bin", content.substr(0, 100000));
    set_rules(R"({"/small.bin": {"stall_after": 1000, "stall_seconds": 2}})");
    outcome = download(dir, entry_for("small.bin", content.substr(0, 100000)), dir + "small.bin");
    EXPECT_EQ("connection lost", outcome.error_text);
    EXPECT_FALSE(file_exists(dir + "small.bin.part"));
    EXPECT_FALSE(file_exists(dir + "small.bin.part.tag"));
}
