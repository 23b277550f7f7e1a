// The name index and the variable index of the symbol table: texts that
// differ in one byte only keep their ids through every growth of the index,
// the empty text is interned apart from the free slots, and variables are
// found by name id until their function ends.
#include "strtable.h"

#include "errorhlr.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// Texts of one length that differ in the byte at one position only; the
// position is where a weak placement would crowd them together.
std::vector<std::string> textsDifferingAt(std::size_t length, std::size_t position, const std::string &stem) {
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) {
    std::string text = stem + std::string(length - stem.size(), 'm');
    std::string varying = std::to_string(i);
    text.replace(position, varying.size(), varying);
    texts.push_back(text);
  }
  return texts;
}

TEST(NameIndex, TextsDifferingInOneByteKeepTheirIdsThroughGrowth) {
  const struct {
    std::size_t length;
    std::size_t position;
    const char *stem;
  } shapes[] = {
      {8, 0, ""},      // the first byte, the hash's highest of eight
      {8, 4, "ni_a"},  // the last bytes, the hash's lowest
      {6, 1, "x"},
      {12, 8, "ni_long_"},  // past the bytes the hash tells apart
      {20, 0, ""},
  };
  std::vector<std::pair<std::string, NameId>> interned;
  for (const auto &shape : shapes) {
    for (const std::string &text : textsDifferingAt(shape.length, shape.position, shape.stem)) {
      const NameId name = internName(text.c_str());
      ASSERT_EQ(getNameText(name), text);
      interned.emplace_back(text, name);
    }
  }
  std::set<NameId> distinct;
  for (const auto &[text, name] : interned) {
    ASSERT_EQ(internName(text.c_str()), name) << text;
    ASSERT_EQ(internNameText(text, nameHashOf(text)), name) << text;
    distinct.insert(name);
  }
  EXPECT_EQ(distinct.size(), interned.size());
}

// A free slot has length 0, so the empty text has no slot: it is interned
// once, apart, and does not stand in for a free slot.
TEST(NameIndex, TheEmptyTextIsOneNameOfItsOwn) {
  const int count = numberOfInternedNames();
  const NameId empty = internName("");
  EXPECT_EQ(getNameText(empty), std::string());
  EXPECT_EQ(internName(""), empty);
  EXPECT_EQ(internNameText(std::string_view(), 0), empty);
  const NameId after = internName("ei_after");
  EXPECT_NE(after, empty);
  EXPECT_EQ(internName("ei_after"), after);
  EXPECT_EQ(numberOfInternedNames(), count + 2);
}

// Variables are found by name id, also for ids beyond the first size of the
// index; a function of the same name is found in its own name space, and
// ending the function drops the variables only.
TEST(VariableIndex, FoundByIdUntilTheirFunctionEnds) {
  resetVariableCounter();
  std::vector<NameId> names;
  for (int i = 0; i < 1500; ++i)
    names.push_back(internName(("vi_" + std::to_string(i)).c_str()));
  const std::vector<NameId> declared = {names.front(), names[700], names.back()};
  std::vector<IdentifierRecord *> records;
  for (NameId name : declared) {
    records.push_back(declareIdentifier({name, FL_VARIABLE}));
    ASSERT_NE(records.back(), nullptr);
  }
  IdentifierRecord *function = declareIdentifier({names.back(), FL_FUNCTION});
  ASSERT_NE(function, nullptr);
  for (std::size_t i = 0; i < declared.size(); ++i) {
    EXPECT_EQ(findIdentifier({declared[i], FL_VARIABLE}), records[i]);
    EXPECT_EQ(getIdentifierIndex(records[i]), i);
  }
  EXPECT_EQ(findIdentifier({names[1], FL_VARIABLE}), nullptr);
  EXPECT_EQ(findIdentifier({names.back(), FL_FUNCTION}), function);
  const NameId temporary = newTemporaryNameId();
  EXPECT_EQ(findIdentifier({temporary, FL_VARIABLE}), nullptr);
  EXPECT_EQ(findIdentifier({temporary + 1000000, FL_VARIABLE}), nullptr);

  dropFunctionVariables();
  resetVariableCounter();
  for (NameId name : declared)
    EXPECT_EQ(findIdentifier({name, FL_VARIABLE}), nullptr);
  EXPECT_EQ(findIdentifier({names.back(), FL_FUNCTION}), function);
  // The next function declares the same name afresh.
  IdentifierRecord *again = declareIdentifier({names[700], FL_VARIABLE});
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(findIdentifier({names[700], FL_VARIABLE}), again);
  EXPECT_EQ(getIdentifierIndex(again), 0u);
  dropFunctionVariables();
  resetVariableCounter();
}

} // namespace
