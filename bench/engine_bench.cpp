// Throughput of the engine on the benchmark inputs, without Python.
//
//   engine_bench [--runs N] [--dir DIR] [--out DIR] [--parse] [--no-slice] [--log] [--recover]
//                [--align] [--encoding NAME] [--threads N] [NAME.csv ...]
//
// For each input: MB/s of salvage_slice (bytes already in memory) and of
// salvage_file (read, salvage, write the clean file), medians over N runs, plus a
// digest of the clean file and of the quarantine file so that two builds can be
// compared byte for byte. --parse adds the parser alone (next_row over the input);
// --no-slice leaves out salvage_slice, to profile salvage_file alone; --log adds
// salvage_file writing a repair log as well; --recover switches unclosed-quote
// recovery on in every salvage; --align aligns rows of another width to the
// column profiles; --encoding decodes the input from NAME ("auto",
// "utf-8", "cp1252", ...) in every salvage; --threads runs salvage_file on N
// threads.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "io/file_io.h"
#include "parser/resilient_parser.h"
#include "salvage/options.h"
#include "salvage/salvage_file.h"
#include "salvage/salvage_slice.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *const DEFAULT_INPUTS[] = {"clean.csv", "wide.csv", "damaged.csv", "adversarial.csv",
                                      "single_line.csv"};

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <class Fn> double seconds(Fn &&fn) {
  auto start = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// FNV-1a over a whole file, 64 bits: enough to tell two outputs apart.
std::uint64_t digest_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  std::vector<char> chunk(1 << 20);
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    auto got = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < got; ++i) {
      hash = (hash ^ static_cast<unsigned char>(chunk[i])) * 0x100000001b3ULL;
    }
  }
  return hash;
}

// Keeps the optimiser from dropping work whose result is otherwise unused.
volatile std::uint64_t sink;

struct Figures {
  double slice = 0;
  double file = 0;
  double parse = 0;
  double logged = 0;
};

} // namespace

int main(int argc, char **argv) {
  int runs = 3;
  bool parse_only = false;
  bool slice = true;
  bool log = false;
  bool recover = false;
  bool align = false;
  std::optional<tidewrack::InputEncoding> encoding;
  unsigned threads = 1;
  std::filesystem::path dir = "build/bench-data";
  std::filesystem::path out_dir;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      out_dir = argv[++i];
    } else if (arg == "--parse") {
      parse_only = true;
    } else if (arg == "--no-slice") {
      slice = false; // salvage_file alone, for profiling
    } else if (arg == "--log") {
      log = true;
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
    } else if (arg == "--recover") {
      recover = true;
    } else if (arg == "--align") {
      align = true;
    } else if (arg == "--encoding" && i + 1 < argc) {
      encoding = tidewrack::input_encoding_named(argv[++i]);
      if (!encoding) {
        std::fprintf(stderr, "engine_bench: unknown encoding %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "-h" || arg == "--help") {
      std::printf("usage: engine_bench [--runs N] [--dir DIR] [--out DIR] [--parse] [--no-slice] "
                  "[--log] [--recover] [--align] [--encoding NAME] [--threads N] [NAME.csv ...]\n");
      return 0;
    } else {
      names.push_back(arg);
    }
  }
  if (names.empty()) {
    names.assign(std::begin(DEFAULT_INPUTS), std::end(DEFAULT_INPUTS));
  }
  if (out_dir.empty()) {
    out_dir = dir / "out";
  }
  std::filesystem::create_directories(out_dir);

  std::printf("%-16s %9s %12s %12s%s%s %18s %18s\n", "input", "MB", "slice MB/s", "file MB/s",
              log ? "  +log MB/s" : "", parse_only ? "  parse MB/s" : "", "clean digest",
              "quarantine digest");
  for (const std::string &name : names) {
    std::filesystem::path input_path = dir / name;
    tidewrack::Result<std::string> read = tidewrack::read_whole_file(input_path.string());
    if (!read.ok()) {
      std::fprintf(stderr, "%s: %s\n", input_path.c_str(), read.error().display().c_str());
      return 1;
    }
    const std::string &input = read.value();
    const double megabytes = static_cast<double>(input.size()) / 1e6;
    tidewrack::SalvageOptions options; // the defaults of the Python function
    if (recover) {
      options.unclosed_quote_recovery = tidewrack::QuoteRecoveryLimits{};
    }
    options.encoding = encoding;
    options.align_columns = align;

    std::vector<double> slice_times, file_times, parse_times, log_times;
    const std::string clean_path = (out_dir / (name + ".clean")).string();
    const std::string quarantine_path = (out_dir / (name + ".quarantine")).string();
    const std::string repairs_path = (out_dir / (name + ".repairs")).string();
    // Runs alternate between the measurements so that drift affects all alike.
    for (int run = 0; run < runs; ++run) {
      if (slice) {
        slice_times.push_back(seconds([&] {
          tidewrack::SalvageOutcome outcome = tidewrack::salvage_slice(input, options).value();
          sink = outcome.counts.total_rows + outcome.clean_rows.size();
        }));
      }
      file_times.push_back(seconds([&] {
        auto counts =
            tidewrack::salvage_file(input_path.string(), clean_path, quarantine_path, options,
                                    std::nullopt, {}, {}, tidewrack::SALVAGE_BLOCK_SIZE, threads);
        if (!counts.ok()) {
          std::fprintf(stderr, "%s: %s\n", name.c_str(), counts.error().display().c_str());
          std::exit(1);
        }
        sink = counts.value().total_rows;
      }));
      if (log) {
        log_times.push_back(seconds([&] {
          auto counts =
              tidewrack::salvage_file(input_path.string(), clean_path, quarantine_path, options,
                                      repairs_path, {}, {}, tidewrack::SALVAGE_BLOCK_SIZE, threads);
          if (!counts.ok()) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), counts.error().display().c_str());
            std::exit(1);
          }
          sink = counts.value().total_rows;
        }));
      }
      if (parse_only) {
        parse_times.push_back(seconds([&] {
          tidewrack::ResilientParser parser(input, ',', '"', true);
          tidewrack::Record record;
          std::uint64_t fields = 0;
          while (parser.next_row(record)) {
            fields += record.size();
          }
          sink = fields;
        }));
      }
    }
    Figures figures{slice ? megabytes / median(slice_times) : 0, megabytes / median(file_times),
                    parse_only ? megabytes / median(parse_times) : 0,
                    log ? megabytes / median(log_times) : 0};
    char parse_column[32] = "";
    if (parse_only) {
      std::snprintf(parse_column, sizeof parse_column, " %12.0f", figures.parse);
    }
    char log_column[32] = "";
    if (log) {
      std::snprintf(log_column, sizeof log_column, " %11.0f", figures.logged);
    }
    std::printf("%-16s %9.1f %12.0f %12.0f%s%s   %016llx   %016llx\n", name.c_str(), megabytes,
                figures.slice, figures.file, log_column, parse_column,
                static_cast<unsigned long long>(digest_file(clean_path)),
                static_cast<unsigned long long>(digest_file(quarantine_path)));
    std::fflush(stdout);
  }
  return 0;
}
