#include "shortckt.h"

#include "stmntir.h"

#include <gtest/gtest.h>

#include <utility>
#include <algorithm>
#include <vector>

namespace {

// The lists only point at statements and blocks, so plain records do.
Statement conditional() {
  Statement statement{};
  statement.statementType = ConditionalStat;
  return statement;
}

Statement jump() {
  Statement statement{};
  statement.statementType = GotoStat;
  return statement;
}

using Entry = std::pair<const Statement *, int>;

std::vector<Entry> entriesOf(const PatchEntry *list) {
  std::vector<Entry> entries;
  for (; list; list = list->nextEntry)
    entries.emplace_back(list->statementPtr, list->branchSelector);
  return entries;
}

TEST(PatchLists, MergeWithEmptyFirstReturnsSecond) {
  Statement test = conditional();
  PatchEntry *second = createPatchEntry(&test, 0);
  EXPECT_EQ(mergePatchLists(nullptr, second), second);
  EXPECT_EQ(mergePatchLists(nullptr, nullptr), nullptr);
  releasePatchList(second);
}

TEST(PatchLists, MergeWithEmptySecondReturnsFirstUnchanged) {
  Statement test = conditional();
  PatchEntry *first = createPatchEntry(&test, 1);
  first = mergePatchLists(first, createPatchEntry(&test, 0));
  EXPECT_EQ(mergePatchLists(first, nullptr), first);
  EXPECT_EQ(entriesOf(first), (std::vector<Entry>{{&test, 1}, {&test, 0}}));
  releasePatchList(first);
}

TEST(PatchLists, MergeKeepsEveryEntryOfBothLists) {
  Statement a = conditional(), b = jump(), c = conditional();
  for (bool longerFirst : {true, false}) {
    PatchEntry *pair = mergePatchLists(createPatchEntry(&a, 1), createPatchEntry(&b, 0));
    PatchEntry *single = createPatchEntry(&c, 0);
    PatchEntry *merged = longerFirst ? mergePatchLists(pair, single) : mergePatchLists(single, pair);
    std::vector<Entry> entries = entriesOf(merged);
    std::sort(entries.begin(), entries.end());
    std::vector<Entry> expected{{&a, 1}, {&b, 0}, {&c, 0}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
    releasePatchList(merged);
  }
}

// A loop with many breaks merges one entry at a time into a long list.
TEST(PatchLists, MergingIntoALongListCostsTheShortOne) {
  Statement exit = jump();
  PatchEntry *breaks = nullptr;
  for (int i = 0; i < 200000; ++i)
    breaks = mergePatchLists(breaks, createPatchEntry(&exit, 0));
  EXPECT_EQ(entriesOf(breaks).size(), 200000u);
  releasePatchList(breaks);
}

TEST(Backpatch, ConditionalInBothListsGetsBothTargets) {
  Statement test = conditional();
  BasicBlock target{};
  PatchEntry *list = mergePatchLists(createPatchEntry(&test, 1), createPatchEntry(&test, 0));
  backpatch(list, &target);
  EXPECT_EQ(test.trueBlock, &target);
  EXPECT_EQ(test.falseBlock, &target);
  releasePatchList(list);
}

TEST(Backpatch, SelectorPicksTheTargetAndGotoGetsItsTarget) {
  Statement onTrue = conditional(), onFalse = conditional(), exit = jump();
  BasicBlock target{};
  PatchEntry *list = createPatchEntry(&onTrue, 1);
  list = mergePatchLists(list, createPatchEntry(&onFalse, 0));
  list = mergePatchLists(list, createPatchEntry(&exit, 0));
  backpatch(list, &target);
  EXPECT_EQ(onTrue.trueBlock, &target);
  EXPECT_EQ(onTrue.falseBlock, nullptr);
  EXPECT_EQ(onFalse.falseBlock, &target);
  EXPECT_EQ(onFalse.trueBlock, nullptr);
  EXPECT_EQ(exit.targetBlock, &target);
  // The list stays the caller's, unchanged.
  std::vector<Entry> before = entriesOf(list);
  backpatch(list, &target);
  EXPECT_EQ(entriesOf(list), before);
  releasePatchList(list);
}

TEST(PatchLists, CopyIsIndependentOfItsSource) {
  Statement a = conditional(), b = jump();
  BasicBlock first{}, second{};
  PatchEntry *source = mergePatchLists(createPatchEntry(&a, 0), createPatchEntry(&b, 0));
  PatchEntry *copy = copyPatchList(source);
  EXPECT_NE(copy, source);
  EXPECT_EQ(entriesOf(copy), entriesOf(source));

  backpatch(copy, &first);
  releasePatchList(copy);
  EXPECT_EQ(a.falseBlock, &first);
  EXPECT_EQ(entriesOf(source), (std::vector<Entry>{{&a, 0}, {&b, 0}}));

  // Merging into the source must not reach the released copy.
  Statement c = conditional();
  source = mergePatchLists(source, createPatchEntry(&c, 1));
  backpatch(source, &second);
  EXPECT_EQ(a.falseBlock, &second);
  EXPECT_EQ(b.targetBlock, &second);
  EXPECT_EQ(c.trueBlock, &second);
  releasePatchList(source);
  EXPECT_EQ(copyPatchList(nullptr), nullptr);
}

TEST(BooleanLists, ReleaseTakesBothListsAndReusedPairsStartEmpty) {
  Statement test = conditional();
  BooleanLists *lists = createBooleanLists();
  lists->trueList = createPatchEntry(&test, 1);
  lists->falseList = createPatchEntry(&test, 0);
  releaseBooleanLists(lists);
  BooleanLists *again = createBooleanLists();
  EXPECT_EQ(again->trueList, nullptr);
  EXPECT_EQ(again->falseList, nullptr);
  releaseBooleanLists(again);
}

} // namespace
