// The four formats, laid out exactly, and decoded back to GMP's digits.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "capture.h"
#include "child_process.h"
#include "output/output_format.h"
#include "output/progress.h"
#include "output/result_writer.h"
#include "reference.h"

namespace {

// The writer's output for `requested` digits of sqrt(2) taken from GMP.
std::string written(std::uint32_t requested, std::uint32_t format, std::uint32_t print_lead) {
  std::uint32_t digits = requested + 1;
  std::vector<Word> sum = fixed_from_digits(sqrt2_digits(requested), words_for_positions(digits));
  CapturedStream bar;
  progress_start(bar.stream, digits);
  ResultDigits result;
  result.words = sum.data();
  result.positions = digits;
  result.format = format;
  result.print_lead = print_lead;
  std::string bytes = written_result(result);
  EXPECT_EQ(bar.bytes().size(), 55u + 50u) << "the bar is full after writing";
  return bytes;
}

std::string groups(const std::string& digits, std::size_t from, std::size_t count) {
  std::string text;
  for (std::size_t g = 0; g < count; ++g) {
    if (g > 0) text += ' ';
    text += digits.substr(from + 10 * g, 10);
  }
  return text;
}

TEST(ResultWriter, TextExamples) {
  std::string d = sqrt2_digits(100);
  EXPECT_EQ(written(25, FORMAT_TEXT, 1), "1." + groups(d, 0, 2) + " " + d.substr(20, 5));
  EXPECT_EQ(written(30, FORMAT_TEXT, 0), groups(d, 0, 3) + " ");
  EXPECT_EQ(written(100, FORMAT_TEXT, 1), "1." + groups(d, 0, 10) + "\n  ");
  EXPECT_EQ(written(100, FORMAT_TEXT, 0), groups(d, 0, 10) + "\n");
  EXPECT_EQ(written(0, FORMAT_TEXT, 1), "1.");
  EXPECT_EQ(written(0, FORMAT_TEXT, 0), "");
}

TEST(ResultWriter, RawExample) {
  EXPECT_EQ(written(12, FORMAT_RAW, 1), "1." + sqrt2_digits(12));
  EXPECT_EQ(written(12, FORMAT_RAW, 0), sqrt2_digits(12));
}

TEST(ResultWriter, Text2MarkersAndBlankLines) {
  std::string d = sqrt2_digits(10000);
  std::string thousand = written(1000, FORMAT_TEXT2, 1);
  std::string tenth_line = groups(d, 900, 10) + " -1000\n  ";
  EXPECT_EQ(thousand.substr(thousand.size() - tenth_line.size()), tenth_line);
  EXPECT_EQ(thousand.substr(0, 2 + 109 + 3), "1." + groups(d, 0, 10) + "\n  ");

  std::string ten_thousand = written(10000, FORMAT_TEXT2, 1);
  std::string last_line = groups(d, 9900, 10) + " -10000\n\n  ";
  EXPECT_EQ(ten_thousand.substr(ten_thousand.size() - last_line.size()), last_line);
  EXPECT_NE(ten_thousand.find(groups(d, 1900, 10) + " -2000\n  " + d.substr(2000, 10)),
            std::string::npos);

  std::string no_lead = written(1000, FORMAT_TEXT2, 0);
  EXPECT_EQ(no_lead.substr(no_lead.size() - 116), groups(d, 900, 10) + " -1000\n");
}

TEST(ResultWriter, BinaryPacksTwoDigitsPerByte) {
  EXPECT_EQ(written(4, FORMAT_BINARY, 1), "\x41\x42");
  EXPECT_EQ(written(3, FORMAT_BINARY, 1), "\x41");
  EXPECT_EQ(written(1, FORMAT_BINARY, 0), "");
  EXPECT_EQ(written(0, FORMAT_BINARY, 1), "");
}

// The digits back from any format's output; checks the markers of text2 on the way.
std::string decode(const std::string& output, std::uint32_t format, std::uint32_t print_lead) {
  std::string digits;
  if (format == FORMAT_BINARY) {
    for (unsigned char byte : output) {
      digits += static_cast<char>('0' + (byte >> 4));
      digits += static_cast<char>('0' + (byte & 15));
    }
    return digits;
  }
  std::string text = output;
  if (print_lead != 0) {
    EXPECT_EQ(text.substr(0, 2), "1.");
    text = text.substr(2);
  }
  // Each " -N" marker names the count of digits so far.
  std::size_t markers = 0;
  for (std::size_t at; (at = text.find(" -")) != std::string::npos;) {
    std::size_t end = text.find('\n', at);
    EXPECT_EQ(std::stoul(text.substr(at + 2, end - at - 2)), 1000 * ++markers);
    text.erase(at, end - at);
  }
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digits += c;
    } else {
      EXPECT_TRUE(c == ' ' || c == '\n') << static_cast<int>(c);
    }
  }
  return digits;
}

TEST(ResultWriter, EveryFormatDecodesToTheReferenceDigits) {
  const std::uint32_t counts[] = {1, 9, 10, 11, 99, 100, 101, 999, 1000, 1001, 10000, 12345};
  for (std::uint32_t format = FORMAT_TEXT; format <= FORMAT_LAST; ++format) {
    for (std::uint32_t lead = 0; lead <= 1; ++lead) {
      for (std::uint32_t n : counts) {
        std::string expected = sqrt2_digits(n);
        if (format == FORMAT_BINARY) expected.resize(n / 2 * 2);  // an odd last digit is dropped
        EXPECT_EQ(decode(written(n, format, lead), format, lead), expected)
            << "format " << format << " lead " << lead << " digits " << n;
      }
    }
  }
}

TEST(ResultWriter, TextLinesHoldAHundredDigits) {
  std::string text = written(12345, FORMAT_TEXT, 1);
  std::size_t lines = 0;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    EXPECT_EQ(end - start, 2 + 109u) << "line " << lines;  // "1." or the indent, ten groups
    ++lines;
  }
  EXPECT_EQ(lines, 123u);
}

TEST(ResultWriterSources, CharactersAndWordsGiveTheSameBytes) {
  std::mt19937 rng(5);
  for (std::uint32_t requested : {0u, 1u, 9u, 10u, 99u, 100u, 1001u, 36001u, 72345u}) {
    std::string digits;
    for (std::uint32_t i = 0; i < requested; ++i) digits += static_cast<char>('0' + rng() % 10);
    std::vector<Word> sum = fixed_from_digits(digits, words_for_positions(requested + 1));
    for (std::uint32_t format = 0; format <= 3; ++format) {
      for (std::uint32_t lead = 0; lead <= 1; ++lead) {
        CapturedStream bar;
        progress_start(bar.stream, requested + 1);
        ResultDigits from_words;
        from_words.words = sum.data();
        from_words.positions = requested + 1;
        from_words.format = format;
        from_words.print_lead = lead;
        ResultDigits from_chars = from_words;
        from_chars.words = nullptr;
        from_chars.chars = digits.data();
        ASSERT_EQ(written_result(from_words), written_result(from_chars))
            << requested << " " << format << " " << lead;
      }
    }
  }
}

// A write given up takes back the regular file it was writing, and nothing else: not the target
// of a symbolic link it wrote through, nor the link.
int chunks_before_giving_up = 0;
bool give_up_after_chunks() { return --chunks_before_giving_up < 0; }

TEST(ResultWriter, AWriteGivenUpTakesBackItsRegularFileAlone) {
  const std::string directory = make_temp_directory();
  const std::string digits(2500000, '7');
  ResultDigits result;
  result.chars = digits.data();
  result.positions = static_cast<std::uint32_t>(digits.size()) + 1;
  result.format = FORMAT_RAW;
  CapturedStream bar;
  progress_start(bar.stream, result.positions);
  const std::string file = directory + "/result.txt";
  write_file(file, "an earlier result");
  chunks_before_giving_up = 1;
  EXPECT_FALSE(write_result(result, file.c_str(), true, give_up_after_chunks));
  EXPECT_FALSE(std::filesystem::exists(file));

  const std::string target = directory + "/target.txt", link = directory + "/link.txt";
  write_file(target, "the link's target");
  std::filesystem::create_symlink(target, link);
  chunks_before_giving_up = 0;
  EXPECT_FALSE(write_result(result, link.c_str(), true, give_up_after_chunks));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(std::filesystem::exists(target));

  std::filesystem::remove_all(directory);
}

}  // namespace
