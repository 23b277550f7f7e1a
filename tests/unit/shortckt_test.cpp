// Patch lists: merging (empty sides, every entry kept, linear in the shorter
// list) and backpatching through a copy.
#include "shortckt.h"

#include "stmntir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The lists only point at statements and blocks, so plain records do.
Statement statementOf(StatementType type) {
  Statement statement{};
  statement.statementType = type;
  return statement;
}

using Entry = std::pair<const Statement *, int>;

std::vector<Entry> entriesOf(const PatchEntry *list) {
  std::vector<Entry> entries;
  for (; list; list = list->nextEntry)
    entries.emplace_back(list->statementPtr, list->branchSelector);
  return entries;
}

// Selectors 0 to length - 1 of one statement, linked by hand.
PatchEntry *listOf(Statement *statement, int length) {
  PatchEntry *list = nullptr;
  for (int i = 0; i < length; ++i) {
    PatchEntry *entry = createPatchEntry(statement, i);
    entry->nextEntry = list;
    list = entry;
  }
  return list;
}

TEST(PatchLists, MergingKeepsEveryEntryAndAnEmptySideGivesTheOther) {
  Statement a = statementOf(GotoStat), b = statementOf(GotoStat);
  PatchEntry *single = listOf(&a, 1);
  EXPECT_EQ(mergePatchLists(nullptr, single), single);
  EXPECT_EQ(mergePatchLists(single, nullptr), single);
  EXPECT_EQ(entriesOf(single), (std::vector<Entry>{{&a, 0}}));
  EXPECT_EQ(mergePatchLists(nullptr, nullptr), nullptr);
  releasePatchList(single);
  const std::pair<int, int> lengths[] = {{1, 3}, {3, 1}, {2, 2}};
  for (auto [lengthA, lengthB] : lengths) {
    PatchEntry *first = listOf(&a, lengthA), *second = listOf(&b, lengthB);
    std::vector<Entry> expected = entriesOf(first), fromSecond = entriesOf(second);
    expected.insert(expected.end(), fromSecond.begin(), fromSecond.end());
    PatchEntry *merged = mergePatchLists(first, second);
    const std::vector<Entry> entries = entriesOf(merged);
    EXPECT_TRUE(std::is_permutation(entries.begin(), entries.end(), expected.begin(), expected.end())) << lengthA;
    releasePatchList(merged);
  }
}

// A loop with many breaks merges one entry at a time into a long list.
TEST(PatchLists, MergingIntoALongListCostsTheShortOne) {
  Statement exit = statementOf(GotoStat);
  PatchEntry *breaks = nullptr;
  for (int i = 0; i < 200000; ++i)
    breaks = mergePatchLists(breaks, createPatchEntry(&exit, 0));
  EXPECT_EQ(entriesOf(breaks).size(), 200000u);
  releasePatchList(breaks);
}

TEST(PatchLists, BackpatchingACopyLeavesItsSourceAlone) {
  Statement test = statementOf(ConditionalStat), exit = statementOf(GotoStat), onFalse = statementOf(ConditionalStat);
  BasicBlock first{}, second{};
  // The same conditional once per selector: both its targets are set.
  PatchEntry *source = mergePatchLists(createPatchEntry(&test, 1), createPatchEntry(&test, 0));
  source = mergePatchLists(source, createPatchEntry(&exit, 0));
  PatchEntry *copy = copyPatchList(source);
  EXPECT_EQ(entriesOf(copy), entriesOf(source));
  backpatch(copy, &first);
  EXPECT_EQ(test.trueBlock, &first);
  EXPECT_EQ(test.falseBlock, &first);
  EXPECT_EQ(exit.targetBlock, &first);
  releasePatchList(copy);
  // Merging into the source must not reach the released copy.
  source = mergePatchLists(source, createPatchEntry(&onFalse, 0));
  backpatch(source, &second);
  EXPECT_EQ(test.trueBlock, &second);
  EXPECT_EQ(exit.targetBlock, &second);
  EXPECT_EQ(onFalse.falseBlock, &second);
  EXPECT_EQ(onFalse.trueBlock, nullptr);
  releasePatchList(source);
}

} // namespace
