// The bar and the detail line of a download step, fed by the bytes a download reports, with an
// observer that records what a player would see.
#include <gtest/gtest.h>

#include "engine/pass_report.h"
#include "tests/win/test_support.h"

TEST(DownloadProgress, FirstBlockOfEveryFileShowsAtOnceThenAtMostEvery150Ms)
{
    reset_window_log();
    PassObserver observer = recording_observer();
    DownloadProgress progress = download_progress(observer, 201000);
    end_file(progress, 1000);
    TransferSink sink = begin_file(progress, "maps/new area/a%.bin");
    sink.received(sink.context, 65536, 65536);
    sink.received(sink.context, 131072, 131072);
    EXPECT_EQ((std::vector<std::string>{"maps/new area/a%.bin  -  65 KB / 196 KB  (0 KB/s)"}),
              window_log.detail);
    EXPECT_EQ((std::vector<unsigned>{331}), window_log.progress);

    end_file(progress, 200000);
    sink = begin_file(progress, "b.bin");
    sink.received(sink.context, 0, 0);
    EXPECT_EQ("b.bin  -  196 KB / 196 KB  (0 KB/s)", window_log.detail.back());
    EXPECT_EQ(1000u, window_log.progress.back());
}

TEST(DownloadProgress, ZeroTotalShowsAFullBarAndTheSpeedComesAfterAFifthOfASecond)
{
    reset_window_log();
    PassObserver observer = recording_observer();
    DownloadProgress progress = download_progress(observer, 0);
    TransferSink sink = begin_file(progress, "c.bin");
    Sleep(400);
    sink.received(sink.context, 409600, 409600);
    EXPECT_EQ((std::vector<unsigned>{1000}), window_log.progress);
    ASSERT_EQ(1u, window_log.detail.size());
    EXPECT_EQ(std::string::npos, window_log.detail[0].find("(0 KB/s)"));
}
