// The catalogue's exact byte counts, and its UTF-8 texts saying the same as its Shift_JIS texts.
#include <gtest/gtest.h>

#include "app/messages.h"
#include "reference.h"

namespace {

TEST(Messages, ShiftJisByteCounts) {
  const std::pair<MessageKey, std::size_t> sizes[] = {
      {MSG_USAGE, 327},       {MSG_CORRUPT, 29},         {MSG_NO_MEMORY, 29},
      {MSG_CALCULATING, 10},  {MSG_LIMIT, 45 + 51 + 31}, {MSG_OPEN_FAILED, 33},
      {MSG_WRITE_FAILED, 37}, {MSG_STATE_LOST, 33},      {MSG_SAVED, 29},
      {MSG_FINISHED, 9},      {MSG_ELAPSED, 11},         {MSG_WRITING, 20},
  };
  for (auto [key, size] : sizes) {
    EXPECT_EQ(message_text(key, ConsoleEncoding::SHIFT_JIS).size(), size) << key;
  }
}

TEST(Messages, UsageLinesInOrder) {
  std::string usage(message_text(MSG_USAGE, ConsoleEncoding::SHIFT_JIS));
  std::vector<std::size_t> line_sizes;
  for (std::size_t start = 0; start < usage.size();) {
    std::size_t end = usage.find('\n', start) + 1;
    line_sizes.push_back(end - start);
    start = end;
  }
  EXPECT_EQ(line_sizes, (std::vector<std::size_t>{33, 15, 29, 43, 63, 49, 52, 43}));
  EXPECT_EQ(usage.substr(0, 33), "Usage: tindermoss_vale [options]\n");
  EXPECT_NE(usage.find("-f <text|text2|raw|binary> : "), std::string::npos);
  EXPECT_NE(usage.find("\"1.\""), std::string::npos);
}

TEST(Messages, Utf8TextsConvertToTheShiftJisTexts) {
  for (int key = 0; key < MESSAGE_KEY_COUNT; ++key) {
    auto k = static_cast<MessageKey>(key);
    std::string utf8(message_text(k, ConsoleEncoding::UTF8));
    EXPECT_EQ(shift_jis_from_utf8(utf8), message_text(k, ConsoleEncoding::SHIFT_JIS)) << key;
  }
}

TEST(Messages, SelectedEncodingApplies) {
  console_set_encoding(ConsoleEncoding::UTF8);
  EXPECT_EQ(message_text(MSG_FINISHED), message_text(MSG_FINISHED, ConsoleEncoding::UTF8));
  console_set_encoding(ConsoleEncoding::SHIFT_JIS);
  EXPECT_EQ(message_text(MSG_FINISHED), "\x8cv\x8eZ\x8fI\x97\xb9\n");
}

}  // namespace
