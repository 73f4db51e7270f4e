// The queue between the zip writer and the thread that writes a stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "archive/write/stream_output.h"

namespace {

std::string taken(StreamOutput& stream) {
  std::string all, block;
  while (stream.take(&block)) all += block;
  return all;
}

// What has left stays; what waits can be taken back or given back, in order.
TEST(StreamOutputTest, TakesBackOnlyWhatHasNotLeft) {
  StreamOutput stream;
  ASSERT_TRUE(stream.write_all("abc", 3));
  std::string block;
  ASSERT_TRUE(stream.take(&block));
  EXPECT_EQ("abc", block);
  ASSERT_TRUE(stream.write_all("def", 3));
  ASSERT_TRUE(stream.write_all("gh", 2));
  int64_t end = -1;
  ASSERT_TRUE(stream.take_back_to(4, &end));
  EXPECT_EQ(4, end);
  ASSERT_TRUE(stream.take_back_to(1, &end));
  EXPECT_EQ(3, end) << "bytes that left are not taken back";
  ASSERT_TRUE(stream.write_all("ijklm", 5));
  ASSERT_TRUE(stream.take(&block));
  stream.give_back(block.substr(2));
  ASSERT_TRUE(stream.write_all("n", 1));
  EXPECT_EQ("klmn", taken(stream));
  ASSERT_TRUE(stream.take_back_to(8, &end));
  EXPECT_EQ(9, end);

  stream.fail("IOError: closed stream", 0);
  EXPECT_FALSE(stream.write_all("o", 1));
  EXPECT_FALSE(stream.take_back_to(9, &end));
  EXPECT_EQ("IOError: closed stream", stream.last_failure());
}

// While served, a writer waits at the bound until bytes are taken, the
// server lets go, or the stream fails; unserved, it never waits.
TEST(StreamOutputTest, WritersWaitForRoomOnlyWhileServed) {
  const std::string block(StreamOutput::kBlock, 'x');
  for (int ending = 0; ending < 3; ++ending) {
    StreamOutput stream;
    std::atomic<int> wakes{0};
    stream.attach([&wakes] { ++wakes; });
    std::atomic<size_t> written{0};
    std::thread writer([&] {
      while (written < 2 * StreamOutput::kQueueBound &&
             stream.write_all(block.data(), block.size())) {
        written += block.size();
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(StreamOutput::kQueueBound, written.load()) << "the writer waits at the bound";
    EXPECT_EQ(1, wakes.load()) << "woken once, when the queue stopped being empty";
    if (ending == 0) {
      std::string all;
      while (all.size() < 2 * StreamOutput::kQueueBound) all += taken(stream);
    } else if (ending == 1) {
      stream.detach();
    } else {
      stream.fail("gone", 0);
    }
    writer.join();
    EXPECT_EQ(ending == 2 ? StreamOutput::kQueueBound : 2 * StreamOutput::kQueueBound, written.load());
  }
}

}  // namespace
