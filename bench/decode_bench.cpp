// Throughput of decoding to UTF-8, beside the parser's, on the benchmark inputs.
//
//   decode_bench [--runs N] [--dir DIR] [NAME.csv ...]
//
// For each input, medians over N runs in MB/s of input: salvage_slice and the
// parser alone for scale; the auto policy on the file as it is (valid UTF-8
// passes through); and the file re-encoded in memory as Latin-1 bytes (code
// points past U+00FF as '?') read by the auto policy and by the named cp1252,
// and as UTF-16 LE.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/decoder.h"
#include "io/file_io.h"
#include "parser/resilient_parser.h"
#include "salvage/options.h"
#include "salvage/salvage_slice.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <class Fn> double megabytes_per_second(std::size_t bytes, int runs, Fn &&fn) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    fn();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  return static_cast<double>(bytes) / 1e6 / median(times);
}

// The code points of UTF-8 text; invalid bytes stand for themselves.
std::u32string code_points(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > text.size()) {
      length = 1;
    }
    char32_t c = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

std::string as_latin1(const std::u32string &text) {
  std::string out;
  for (char32_t c : text) {
    out.push_back(static_cast<char>(c < 0x100 ? c : '?'));
  }
  return out;
}

std::string as_utf16le(const std::u32string &text) {
  std::string out;
  auto put = [&](char32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  for (char32_t c : text) {
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    put(c);
  }
  return out;
}

volatile std::uint64_t sink;

} // namespace

int main(int argc, char **argv) {
  int runs = 5;
  std::filesystem::path dir = "build/bench-data";
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::printf("usage: decode_bench [--runs N] [--dir DIR] [NAME.csv ...]\n");
      return 0;
    } else {
      names.push_back(arg);
    }
  }
  if (names.empty()) {
    names = {"clean.csv", "damaged.csv"};
  }

  std::printf("%-14s %8s %8s %8s %8s %8s %8s %8s\n", "input", "MB", "slice", "parse", "auto",
              "auto-1b", "cp1252", "utf16le");
  for (const std::string &name : names) {
    tidewrack::Result<std::string> read = tidewrack::read_whole_file((dir / name).string());
    if (!read.ok()) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), read.error().display().c_str());
      return 1;
    }
    const std::string &input = read.value();
    const std::u32string text = code_points(input);
    const std::string latin1 = as_latin1(text);
    const std::string utf16 = as_utf16le(text);
    std::string out;
    out.reserve(input.size() * 2);
    auto decoding = [&](tidewrack::Encoding encoding, const std::string &bytes) {
      return megabytes_per_second(bytes.size(), runs, [&] {
        out.clear();
        tidewrack::Decoder decoder(encoding);
        bool passed = decoder.decode(bytes, true, out);
        sink = passed ? bytes.size() : out.size();
      });
    };
    const double slice = megabytes_per_second(input.size(), runs, [&] {
      sink = tidewrack::salvage_slice(input, tidewrack::SalvageOptions{}).value().counts.total_rows;
    });
    const double parse = megabytes_per_second(input.size(), runs, [&] {
      tidewrack::ResilientParser parser(input, ',', '"', true);
      tidewrack::Record record;
      std::uint64_t fields = 0;
      while (parser.next_row(record)) {
        fields += record.size();
      }
      sink = fields;
    });
    std::printf("%-14s %8.1f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f\n", name.c_str(),
                static_cast<double>(input.size()) / 1e6, slice, parse,
                decoding(tidewrack::Encoding::Utf8Auto, input),
                decoding(tidewrack::Encoding::Utf8Auto, latin1),
                decoding(tidewrack::Encoding::Cp1252, latin1),
                decoding(tidewrack::Encoding::Utf16Le, utf16));
    std::fflush(stdout);
  }
  return 0;
}
