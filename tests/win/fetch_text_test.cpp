// The text fetch against the test server: whole bodies, refused statuses, unreachable hosts and
// the words their failures read as, redirections, and bodies that are cut or too long, which must
// never pass as whole.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/win/test_support.h"
#include "transfer/fetch_text.h"
#include "transfer/http_response.h"

namespace {

const size_t list_limit = 16 * 1024 * 1024;

std::string url_of(const std::string& path)
{
    return server_url() + path;
}

}  // namespace

TEST(FetchText, WholeBodyArrivesByteExactPastTheCache)
{
    fresh_game_folder();
    std::string body("Version=1\n\0after the NUL\n", 25);
    serve_file("list.txt", body);
    std::string text = "old";
    std::string error_text = "untouched";
    ASSERT_TRUE(fetch_text(test_session(), url_of("list.txt?t=1").c_str(), text, error_text));
    EXPECT_EQ(body, text);
    EXPECT_EQ("untouched", error_text);
    std::vector<std::string> requests = requests_for("/list.txt");
    ASSERT_EQ(1u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("\"pragma\": \"no-cache\""));
    EXPECT_NE(std::string::npos, requests[0].find("\"query\": \"t=1\""));

    serve_file("empty.txt", "");
    ASSERT_TRUE(fetch_text(test_session(), url_of("empty.txt").c_str(), text, error_text));
    EXPECT_EQ("", text);
}

TEST(FetchText, StatusOtherThan200FailsWithTheStatusAndLeavesTheText)
{
    fresh_game_folder();
    set_rules(R"({"/gone.txt": {"status": 404}, "/created.txt": {"status": 201, "body": "x"}})");
    std::string text = "before";
    std::string error_text;
    EXPECT_FALSE(fetch_text(test_session(), url_of("gone.txt").c_str(), text, error_text));
    EXPECT_EQ("HTTP 404", error_text);
    EXPECT_EQ("before", text);
    EXPECT_FALSE(fetch_text(test_session(), url_of("created.txt").c_str(), text, error_text));
    EXPECT_EQ("HTTP 201", error_text);
}

TEST(FetchText, UnreachableServerGivesAReadableReason)
{
    fresh_game_folder();
    std::string text = "before";
    std::string error_text;
    EXPECT_FALSE(fetch_text(test_session(), "http://127.0.0.1:1/manifest.txt", text, error_text));
    EXPECT_EQ("connection refused", error_text);
    EXPECT_EQ("before", text);
}

// Windows and wine give a silent server different numbers; both must read alike. Other numbers
// stay numbers for support, and no reason may read as a file in use, which ends the retries.
TEST(FetchText, FailureReasonsReadAlikeKeepUnknownNumbersAndNeverStopRetries)
{
    EXPECT_EQ("no answer from the server", open_failure_text(ERROR_INTERNET_TIMEOUT));
    EXPECT_EQ("no answer from the server", open_failure_text(ERROR_INTERNET_CONNECTION_ABORTED));
    EXPECT_EQ("error 12031", open_failure_text(ERROR_INTERNET_CONNECTION_RESET));
    EXPECT_EQ("error 5", open_failure_text(ERROR_ACCESS_DENIED));
    for (unsigned long error = INTERNET_ERROR_BASE; error <= INTERNET_ERROR_LAST; ++error) {
        std::string reason = open_failure_text(error);
        EXPECT_EQ(std::string::npos, reason.find("in use")) << error;
        EXPECT_TRUE(islower(static_cast<unsigned char>(reason[0]))) << error;
    }
}

TEST(FetchText, RedirectionIsFollowedToTheFinalBody)
{
    fresh_game_folder();
    serve_file("real.txt", "final body");
    set_rules(R"({"/moved.txt": {"redirect": "/real.txt"}})");
    std::string text;
    std::string error_text;
    ASSERT_TRUE(fetch_text(test_session(), url_of("moved.txt").c_str(), text, error_text));
    EXPECT_EQ("final body", text);
}

TEST(FetchText, RedirectionsOfEveryKindAreFollowedRelativeOrAbsolute)
{
    fresh_game_folder();
    serve_file("sub/real.txt", "final body");
    std::string absolute = url_of("sub/real.txt");
    set_rules(R"({"/a.txt": {"redirect": "b.txt", "redirect_status": 301},
                  "/b.txt": {"redirect": "sub/c.txt", "redirect_status": 303},
                  "/sub/c.txt": {"redirect": "../sub/d.txt", "redirect_status": 307},
                  "/sub/d.txt": {"redirect": ")" + absolute + R"(", "redirect_status": 308}})");
    std::string text;
    std::string error_text;
    ASSERT_TRUE(fetch_text(test_session(), url_of("a.txt").c_str(), text, error_text)) << error_text;
    EXPECT_EQ("final body", text);
}

TEST(FetchText, RedirectionLoopEndsAfterTenRedirections)
{
    fresh_game_folder();
    set_rules(R"({"/loop.txt": {"redirect": "/loop.txt"}})");
    std::string text = "before";
    std::string error_text;
    EXPECT_FALSE(fetch_text(test_session(), url_of("loop.txt").c_str(), text, error_text));
    EXPECT_EQ("too many redirections", error_text);
    EXPECT_EQ("before", text);
    EXPECT_EQ(11u, requests_for("/loop.txt").size());
}

TEST(FetchText, BodyCutShortOfItsLengthIsALostConnection)
{
    fresh_game_folder();
    set_rules(R"({"/cut.txt": {"generate": 100000, "drop_after": 40}})");
    std::string text = "before";
    std::string error_text;
    EXPECT_FALSE(fetch_text(test_session(), url_of("cut.txt").c_str(), text, error_text));
    EXPECT_EQ("connection lost", error_text);
    EXPECT_EQ("before", text);
}

TEST(FetchText, ChunkedBodyEndsWhereTheStreamEnds)
{
    fresh_game_folder();
    set_rules(R"({"/chunked.txt": {"generate": 50000, "chunked": true}})");
    std::string text;
    std::string error_text;
    ASSERT_TRUE(fetch_text(test_session(), url_of("chunked.txt").c_str(), text, error_text));
    EXPECT_EQ(pattern_bytes(50000), text);
}

TEST(FetchText, BodyAboveSixteenMebibytesIsRefusedNotCut)
{
    fresh_game_folder();
    set_rules(R"({"/huge.txt": {"generate": 20971520}, "/limit.txt": {"generate": 16777216}})");
    std::string text = "before";
    std::string error_text;
    EXPECT_FALSE(fetch_text(test_session(), url_of("huge.txt").c_str(), text, error_text));
    EXPECT_EQ("update list too large", error_text);
    EXPECT_EQ("before", text);
    ASSERT_TRUE(fetch_text(test_session(), url_of("limit.txt").c_str(), text, error_text));
    EXPECT_EQ(list_limit, text.size());
}
