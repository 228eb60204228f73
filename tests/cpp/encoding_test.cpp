#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "decoded_input.h"
#include "encoding/decoder.h"
#include "encoding/detect.h"

namespace {

using tidewrack::Change;
using tidewrack::ChangeCounts;
using tidewrack::Decoder;
using tidewrack::Detection;
using tidewrack::Encoding;
constexpr auto DECODED = tidewrack::ChangeKind::Decoded;
constexpr auto REPLACED = tidewrack::ChangeKind::Replaced;

struct Decoded {
  std::string text;
  std::vector<Change> changes;
  bool operator==(const Decoded &) const = default;
};

// Decodes `input` cut before each offset of `cuts` (ascending).
Decoded decode(Encoding encoding, std::string_view input, std::vector<std::size_t> cuts = {}) {
  Decoder decoder(encoding);
  Decoded decoded;
  std::size_t from = 0;
  cuts.push_back(input.size());
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    std::string_view block = input.substr(from, cuts[i] - from);
    if (decoder.decode(block, i + 1 == cuts.size(), decoded.text)) {
      decoded.text += block;
    }
    from = cuts[i];
  }
  auto pending = decoder.changes().pending();
  decoded.changes.assign(pending.begin(), pending.end());
  return decoded;
}

// Text in each encoding, written here the plain way to check the decoder.
std::string encode(Encoding encoding, const std::u32string &text) {
  const bool big = encoding == Encoding::Utf16Be || encoding == Encoding::Utf32Be;
  const std::size_t width = encoding == Encoding::Utf16Le || encoding == Encoding::Utf16Be ? 2
                            : encoding == Encoding::Utf32Le || big                         ? 4
                                                                                           : 0;
  std::string out;
  auto put = [&](char32_t unit) {
    for (std::size_t k = 0; k < width; ++k) {
      out.push_back(static_cast<char>(unit >> (8 * (big ? width - 1 - k : k))));
    }
  };
  for (char32_t c : text) {
    if (width == 0) { // UTF-8
      const std::size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
      out.push_back(
          static_cast<char>(length == 1 ? c : (0xF00 >> length) | (c >> (6 * length - 6))));
      for (std::size_t k = length - 1; k-- > 0;) {
        out.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F)));
      }
      continue;
    }
    if (width == 2 && c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    put(c);
  }
  return out;
}

TEST(Detection, ByteOrderMarksThenNulPatterns) {
  const std::u32string table = U"id,name\r\n1,Müller\r\n2,Łukasz 😀\r\n";
  const std::string nul_sprinkled = std::string("a,b\0,c\n1,\0\0,3\n", 15) + "x,y,z\n";
  const struct {
    std::string head;
    Detection want;
  } cases[] = {
      {"", {Encoding::Utf8Auto, 0}},
      {"\xEF\xBB\xBF"
       "a,b",
       {Encoding::Utf8Auto, 3}},
      {std::string("\xFF\xFE\0\0a\0\0\0", 8), {Encoding::Utf32Le, 4}},
      {std::string("\0\0\xFE\xFF", 4), {Encoding::Utf32Be, 4}},
      {std::string("\xFF\xFE"
                   "a\0",
                   4),
       {Encoding::Utf16Le, 2}},
      {std::string("\xFE\xFF\0a", 4), {Encoding::Utf16Be, 2}},
      {encode(Encoding::Utf16Le, table), {Encoding::Utf16Le, 0}},
      {encode(Encoding::Utf16Be, table), {Encoding::Utf16Be, 0}},
      {encode(Encoding::Utf32Le, table), {Encoding::Utf32Le, 0}},
      {encode(Encoding::Utf32Be, table), {Encoding::Utf32Be, 0}},
      // Text far from ASCII still shows its delimiters and line breaks.
      {encode(Encoding::Utf16Le, U"名前,年齢\r\n"), {Encoding::Utf16Le, 0}},
      {"M\xFCller,\xA3"
       "5\n",
       {Encoding::Utf8Auto, 0}},
      {nul_sprinkled, {Encoding::Utf8Auto, 0}},
      {"ab\n" + std::string(4000, '\0'), {Encoding::Utf8Auto, 0}},
      {std::string("ab\n\0\0\0", 6), {Encoding::Utf8Auto, 0}},
      // A NUL closing each line of a short UTF-8 file, or two NULs in a line.
      {std::string("id,code\n1,ab\0\n2,cd\0\n3,ef\0\n4,gh\0\n", 32), {Encoding::Utf8Auto, 0}},
      {std::string("i\0d\0,name\n1,a\n", 14), {Encoding::Utf8Auto, 0}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(tidewrack::detect_encoding(c.head), c.want) << testing::PrintToString(c.head);
  }

  EXPECT_EQ(tidewrack::detect_utf16("\xFE\xFF"), (Detection{Encoding::Utf16Be, 2}));
  EXPECT_EQ(tidewrack::detect_utf16(encode(Encoding::Utf16Be, table)),
            (Detection{Encoding::Utf16Be, 0}));
  EXPECT_EQ(tidewrack::detect_utf16("\x41\x42"), (Detection{Encoding::Utf16Le, 0}));

  EXPECT_EQ(tidewrack::byte_order_mark_length(Encoding::Utf8, "\xEF\xBB\xBF"
                                                              "a"),
            3u);
  EXPECT_EQ(tidewrack::byte_order_mark_length(Encoding::Cp1252, "\xEF\xBB\xBF"
                                                                "a"),
            0u);
  EXPECT_EQ(tidewrack::byte_order_mark_length(Encoding::Utf16Be, "\xFF\xFE"), 0u);
  EXPECT_EQ(tidewrack::byte_order_mark_length(Encoding::Utf32Be, std::string("\0\0\xFE\xFF", 4)),
            4u);
}

TEST(Decoder, EveryEncodingRoundTripsText) {
  const std::u32string text = {0x41,   0x00,   0x0A,   0x0D,    0x7F,    0x80,    0xE9,
                               0xFF,   0x100,  0x7FF,  0x800,   0x20AC,  0xD7FF,  0xE000,
                               0xFEFF, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  for (Encoding encoding : {Encoding::Utf8, Encoding::Utf8Auto, Encoding::Utf16Le,
                            Encoding::Utf16Be, Encoding::Utf32Le, Encoding::Utf32Be}) {
    EXPECT_EQ(decode(encoding, encode(encoding, text)), (Decoded{encode(Encoding::Utf8, text), {}}))
        << tidewrack::encoding_name(encoding);
  }

  std::string every_byte;
  std::u32string latin1;
  for (char32_t c = 0; c < 256; ++c) {
    every_byte.push_back(static_cast<char>(c));
    latin1.push_back(c);
  }
  EXPECT_EQ(decode(Encoding::Latin1, every_byte), (Decoded{encode(Encoding::Utf8, latin1), {}}));
  // The code page's own characters, and the five it leaves undefined.
  EXPECT_EQ(decode(Encoding::Cp1252, "\x80\x81\x8D\x8F\x90\x9D\x9F\xA3\xFC"
                                     "a"),
            (Decoded{encode(Encoding::Utf8, U"€\u0081\u008D\u008F\u0090\u009DŸ£üa"), {}}));
}

TEST(Decoder, AutoReadsWhatIsNotUtf8AsCp1252) {
  const struct {
    std::string input;
    Decoded want;
  } cases[] = {
      {"M\xFCller", {"Müller", {{1, 1, DECODED}}}},
      {"\xA3"
       "5,\xA3"
       "7\n",
       {"£5,£7\n", {{0, 1, DECODED}, {4, 1, DECODED}}}},
      {"caf\xC3\xA9,\xE9t\xE9", {"café,été", {{6, 1, DECODED}, {9, 1, DECODED}}}},
      // Adjacent bytes make one change; a cut or misfit sequence is read byte by byte.
      {"\x93q\x94\x81\x8D", {"“q”\u0081\u008D", {{0, 1, DECODED}, {4, 3, DECODED}}}},
      {"\xC3(\xF0\x80|\xE2\x82", {"Ã(ð€|â‚", {{0, 1, DECODED}, {3, 2, DECODED}, {9, 2, DECODED}}}},
      {"\xEF\xBB\xBF\xE2\x82\xAC", {"\xEF\xBB\xBF€", {}}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(decode(Encoding::Utf8Auto, c.input), c.want) << testing::PrintToString(c.input);
  }
}

TEST(Decoder, ReplacesWhatTheEncodingCannotRead) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    Encoding encoding;
    std::string input;
    Decoded want;
  } cases[] = {
      {Encoding::Utf8,
       "caf\xC3\xA9,\xFF\xFE,ok",
       {"café," + fffd + fffd + ",ok", {{6, 2, REPLACED}}}},
      {Encoding::Utf8,
       "\xE0\x80\xAF|\xF0\x9F\x98",
       {fffd + fffd + fffd + "|" + fffd, {{0, 3, REPLACED}, {10, 3, REPLACED}}}},
      // A lone low surrogate, a high one before 'a', one cut by the end, an odd byte.
      {Encoding::Utf16Le,
       std::string("\x00\xDC\x00\xD8"
                   "a\0\x00\xD8"
                   "b",
                   9),
       {fffd + fffd + "a" + fffd + fffd, {{0, 4, REPLACED}, {7, 3, REPLACED}}}},
      {Encoding::Utf16Be,
       std::string("\xD8\x3D\xDE\x00\xD8\x3D", 6),
       {"😀" + fffd, {{4, 2, REPLACED}}}},
      {Encoding::Utf32Le,
       std::string("\x00\x00\x11\x00"
                   "a\0\0\0\x00\xD8\x00\x00"
                   "b",
                   13),
       {fffd + "a" + fffd + fffd, {{0, 4, REPLACED}, {4, 5, REPLACED}}}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(decode(c.encoding, c.input), c.want) << testing::PrintToString(c.input);
  }
}

TEST(Decoder, AnyCutIntoBlocksGivesTheSameResult) {
  const struct {
    Encoding encoding;
    std::string input;
  } cases[] = {
      {Encoding::Utf8Auto, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFC\xE2\x82|\xF0\x9F"},
      {Encoding::Utf8, "\xE2\x82\xAC\xE2\x82,\xED\xA0\x80\xF4\x8F\xBF\xBF\xC3"},
      {Encoding::Cp1252, "M\xFCller\x80"},
      {Encoding::Utf16Le, std::string("a\0\x3D\xD8\x00\xDE\x00\xD8"
                                      "b\0\x00\xDC\x01",
                                      13)},
      {Encoding::Utf16Be, std::string("\0a\xD8\x3D\xDE\x00\xDC\x00\x01", 9)},
      {Encoding::Utf32Be, std::string("\0\x01\xF6\x00\0\x11\0\0\0\0\0a\0\0", 14)},
  };
  for (const auto &c : cases) {
    const Decoded whole = decode(c.encoding, c.input);
    for (std::size_t i = 0; i <= c.input.size(); ++i) {
      for (std::size_t j = i; j <= c.input.size(); ++j) {
        ASSERT_EQ(decode(c.encoding, c.input, {i, j}), whole)
            << testing::PrintToString(c.input) << " cut at " << i << " and " << j;
      }
    }
  }
}

TEST(Decoder, ValidUtf8PassesThroughUncopied) {
  for (Encoding encoding : {Encoding::Utf8, Encoding::Utf8Auto}) {
    Decoder decoder(encoding);
    std::string out;
    EXPECT_TRUE(decoder.decode("ab\xC3\xA9", false, out));
    EXPECT_FALSE(decoder.decode("c\xE2\x82", false, out)) << "a character cut at the end";
    EXPECT_EQ(out, "c");
    EXPECT_FALSE(decoder.decode("\xAC\xFF", true, out)) << "the cut character comes first";
    EXPECT_EQ(out, encoding == Encoding::Utf8 ? "c€\xEF\xBF\xBD" : "c€ÿ");
    // Offsets count the bytes that passed through: "abé" is 4, "c€" 4 more.
    EXPECT_EQ(decoder.changes().pending()[0].offset, 8u);
  }
  std::string out;
  EXPECT_FALSE(Decoder(Encoding::Cp1252).decode("abc", true, out));
  EXPECT_EQ(out, "abc");
}

TEST(ChangeLog, TakesCountsRecordByRecord) {
  Decoder decoder(Encoding::Utf8Auto);
  std::string out;
  ASSERT_FALSE(decoder.decode("a\xFC\n\n\xFC\xFC"
                              "b\n\xFF",
                              true, out));
  ASSERT_EQ(out, "aü\n\nüüb\nÿ");
  tidewrack::ChangeLog &log = decoder.changes();
  EXPECT_EQ(log.take(0, 4), (ChangeCounts{1, 0}));
  EXPECT_EQ(log.take(4, 5), (ChangeCounts{0, 0}));
  // A range that starts past a change drops it uncounted.
  EXPECT_EQ(log.take(6, 11), (ChangeCounts{0, 0}));
  EXPECT_EQ(log.take(11, 13), (ChangeCounts{1, 0}));
  EXPECT_TRUE(log.pending().empty());

  Decoder utf16(Encoding::Utf16Le);
  ASSERT_FALSE(utf16.decode(std::string("\x00\xDC\n\0a", 5), true, out));
  EXPECT_EQ(utf16.changes().take(0, 100), (ChangeCounts{0, 3}));
}

// A whole input is decoded a block at a time: valid UTF-8 cut inside its
// characters by the block size still passes through uncopied, and a change or
// a surrogate pair beyond the first block lands where it belongs.
TEST(DecodedInput, ReadsInputsOfManyBlocks) {
  const std::size_t characters = 600'000; // past the first 1 MiB block in each encoding
  std::string accents = "a", emoji = "a",
              utf16 = std::string("\xFF\xFE"
                                  "a\0",
                                  4);
  for (std::size_t i = 0; i < characters; ++i) {
    accents += "\xC3\xA9";
    emoji += "\xF0\x9F\x98\x80";
    utf16 += std::string("\x3D\xD8\x00\xDE", 4);
  }
  auto decoded = [](std::string_view input, tidewrack::InputEncoding encoding) {
    return test_support::DecodedInput::decode(input, encoding).value();
  };
  test_support::DecodedInput valid = decoded(accents, tidewrack::InputEncoding::Auto);
  EXPECT_EQ(valid.text().data(), accents.data()) << "copied";
  EXPECT_EQ(valid.encoding_name(), "utf-8");

  test_support::DecodedInput cp1252 = decoded(accents + "\xFF", tidewrack::InputEncoding::Auto);
  EXPECT_EQ(cp1252.text(), accents + "\xC3\xBF");
  EXPECT_EQ(cp1252.encoding_name(), "utf-8+cp1252");
  EXPECT_EQ(cp1252.changes().pending()[0], (Change{accents.size(), 1, DECODED}));

  test_support::DecodedInput pairs =
      decoded(utf16 + std::string(1, '\0'), tidewrack::InputEncoding::Utf16);
  EXPECT_EQ(pairs.text(), emoji + "\xEF\xBF\xBD");
  EXPECT_EQ(pairs.encoding_name(), "utf-16-le");
  EXPECT_EQ(pairs.changes().pending()[0], (Change{emoji.size(), 1, REPLACED}));
}

} // namespace
