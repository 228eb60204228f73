#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listed_salvage.h"
#include "records.h"
#include "repair/column_profile.h"
#include "repair/repair_event.h"
#include "salvage/salvage_slice.h"

namespace {

using Fields = std::vector<std::string>;

// Typed tables of 30 rows under a header, each column of one kind.
std::string orders() {
  const char *customers[] = {"Contoso", "Fabrikam", "Northwind", "Tailspin", "Litware"};
  const char *products[] = {"Oat milk 1l", "Rye bread", "Green tea", "Apples 1kg"};
  std::string table = "id,date,customer,address,product,qty,price\n";
  for (int i = 0; i < 30; ++i) {
    const std::string street = std::to_string(3 + i * 7) + " Market St";
    table += std::to_string(10000 + i) + ",2024-01-" + (i < 9 ? "0" : "") + std::to_string(i + 1) +
             "," + customers[i % 5] + "," +
             (i % 3 == 0 ? "\"" + street + ", Suite " + std::to_string(i + 1) + "\"" : street) +
             "," + products[i % 4] + "," + std::to_string(1 + i % 24) + "," +
             std::to_string(i % 9) + "." + std::to_string(10 + i) + "\n";
  }
  return table;
}

std::string items() {
  std::string table = "id,qty,code,price\n";
  for (int i = 0; i < 30; ++i) {
    table += std::to_string(i + 1) + "," + std::to_string(1 + i % 12) + "," +
             std::string(1, static_cast<char>('A' + i % 26)) + "C-" +
             std::to_string(9000 + i * 37) + "," + std::to_string(i % 7) + ".50\n";
  }
  return table;
}

// Columns of the same kind of words: no choice stands out.
std::string words() {
  const char *names[] = {"alpha", "bravo", "delta", "gamma", "omega", "sigma"};
  std::string table = "a,b,c\n";
  for (int i = 0; i < 30; ++i) {
    table += std::string(names[i % 6]) + "," + names[(i + 2) % 6] + "," + names[(i + 4) % 6] + "\n";
  }
  return table;
}

struct AlignCase {
  const char *name;
  std::string table;
  std::string damaged; // the last line
  Fields row;          // its clean row
  std::vector<std::string> log;
};

class AlignedRepair : public testing::TestWithParam<AlignCase> {};

TEST_P(AlignedRepair, ChoosesTheStepsThatFitTheColumns) {
  const AlignCase &c = GetParam();
  tidewrack::SalvageOptions options;
  options.align_columns = true;
  const tidewrack::SalvageOutcome outcome =
      test_support::salvage_listing_repairs(c.table + c.damaged, options);
  ASSERT_GT(outcome.clean_rows.size(), 1u);
  EXPECT_EQ(test_support::fields_of(outcome.clean_rows.row(outcome.clean_rows.size() - 1)), c.row)
      << c.damaged;
  std::vector<std::string> log;
  for (const tidewrack::RepairEvent &event : outcome.repairs) {
    log.push_back(std::string(tidewrack::repair_action_name(event.action)) + ": " + event.detail);
  }
  EXPECT_EQ(log, c.log) << c.damaged;
  const tidewrack::SalvageCounts &counts = outcome.counts;
  EXPECT_EQ(counts.repaired_rows, counts.merged_rows + counts.padded_rows);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AlignedRepair,
    testing::Values(
        AlignCase{"StrayDelimiterJoinedWhereItFell",
                  orders(),
                  "10233,2024-02-02,Fabrikam,44 Market St, Suite 300,Oat milk 1l,24,1.95\n",
                  {"10233", "2024-02-02", "Fabrikam", "44 Market St, Suite 300", "Oat milk 1l",
                   "24", "1.95"},
                  {"merged: fields 4-5 joined into column 4"}},
        AlignCase{"DoubledDelimiterDropped",
                  items(),
                  "31,9,,CC-9259,3.50\n",
                  {"31", "9", "CC-9259", "3.50"},
                  {"dropped: empty field 3 dropped"}},
        AlignCase{"FusedCellsSplit",
                  items(),
                  "31,9CC-9259,3.50\n",
                  {"31", "9", "CC-9259", "3.50"},
                  {"split: field 2 split into columns 2-3"}},
        AlignCase{"MissingCellInsertedWhereItBelongs",
                  orders(),
                  "10240,2024-02-03,12 Oak Market St,Rye bread,3,2.10\n",
                  {"10240", "2024-02-03", "", "12 Oak Market St", "Rye bread", "3", "2.10"},
                  {"padded: empty column 3 inserted"}},
        AlignCase{"StrayOpeningQuoteReadAsText",
                  orders(),
                  "10241,2024-02-04,\"Contoso,5 Market St,\"Green tea\",2,4.99\n",
                  {"10241", "2024-02-04", "\"Contoso", "5 Market St", "Green tea", "2", "4.99"},
                  {"quote_repaired: 1 stray quote read as text in column 3"}},
        AlignCase{"NoClearWinnerMergesIntoTheLastColumn",
                  words(),
                  "gamma,omega,alpha,delta\n",
                  {"gamma", "omega", "alpha,delta"},
                  {"merged: field 4 joined into column 3"}},
        AlignCase{"NoClearWinnerPadsAtTheEnd",
                  words(),
                  "gamma,omega\n",
                  {"gamma", "omega", ""},
                  {"padded: 1 empty field added"}}),
    [](const testing::TestParamInfo<AlignCase> &info) { return std::string(info.param.name); });

// Aligning changes nothing for rows of the expected width, nor without
// profiles (too few rows), nor when merging and filling are off.
TEST(AlignedRepair, LeavesTheClassicRulesWhereItHasNoSay) {
  const std::string damaged = orders() + "10233,2024-02-02,Fabrikam,44 Market St, Suite 300,Oat "
                                         "milk 1l,24,1.95\n1,2024-01-01,x,1 Market St,y,2\n";
  const std::pair<std::string, bool> cases[] = {
      {orders(), true}, {orders(), false}, {"a,b\n1,2,3\n4\n5,6\n", true}, {damaged, false}};
  for (const auto &[input, repair] : cases) {
    tidewrack::SalvageOptions classic;
    classic.fill_ragged_rows = classic.merge_overflow = repair;
    tidewrack::SalvageOptions aligned = classic;
    aligned.align_columns = true;
    const tidewrack::SalvageOutcome want = tidewrack::salvage_slice(input, classic).value();
    const tidewrack::SalvageOutcome got = tidewrack::salvage_slice(input, aligned).value();
    ASSERT_EQ(got.clean_rows.size(), want.clean_rows.size()) << input;
    for (std::size_t i = 0; i < want.clean_rows.size(); ++i) {
      EXPECT_EQ(test_support::fields_of(got.clean_rows.row(i)),
                test_support::fields_of(want.clean_rows.row(i)));
    }
    EXPECT_EQ(got.quarantine.size(), want.quarantine.size()) << input;
  }
}

} // namespace

// The pieces' shapes are built from runs of bytes read once (16 at a time
// when long); each must be the shape of the piece read alone.
TEST(CellShapes, OfCutPiecesAreThoseOfThePiecesAlone) {
  const std::string alphabet = std::string("09az AZ\t,.-:/;\"'\r\n\x01\xC3\xA9", 22);
  std::uint32_t seed = 7;
  auto next = [&seed] { return seed = seed * 1664525 + 1013904223; };
  for (int round = 0; round < 300; ++round) {
    std::string cell;
    const std::size_t size = next() % 70;
    for (std::size_t i = 0; i < size; ++i) {
      cell += alphabet[(next() >> 8) % alphabet.size()];
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1; at < cell.size(); ++at) {
      cuts.push_back(at);
    }
    std::vector<tidewrack::CutShapes> pieces;
    tidewrack::describe_cuts(cell, ',', cuts, pieces);
    ASSERT_EQ(pieces.size(), cuts.size());
    for (std::size_t i = 0; i < cuts.size(); ++i) {
      const auto left = tidewrack::describe_cell(std::string_view(cell).substr(0, cuts[i]), ',');
      const auto right = tidewrack::describe_cell(std::string_view(cell).substr(cuts[i]), ',');
      for (const auto &[got, want] : {std::pair{pieces[i].left, left}, {pieces[i].right, right}}) {
        EXPECT_EQ(got.kind, want.kind) << cell << " cut at " << cuts[i];
        EXPECT_EQ(got.traits, want.traits) << cell << " cut at " << cuts[i];
        EXPECT_EQ(got.length, want.length) << cell << " cut at " << cuts[i];
      }
    }
  }
}
