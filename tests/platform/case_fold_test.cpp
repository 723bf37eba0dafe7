// The one case rule behind every device name comparison.
#include "platform/case_fold.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(CaseFold, CapitalsOfEachCoveredAlphabetFoldToTheirSmallLetters) {
  struct Row {
    char16_t capital, small;
  } rows[] = {
      {u'A', u'a'},       {u'Z', u'z'},       {u'\u00C0', u'\u00E0'}, {u'\u00DE', u'\u00FE'},
      {u'\u0100', u'\u0101'}, {u'\u0139', u'\u013A'}, {u'\u017D', u'\u017E'}, {u'\u0178', u'\u00FF'},
      {u'\u0391', u'\u03B1'}, {u'\u03A9', u'\u03C9'}, {u'\u0410', u'\u0430'}, {u'\u042F', u'\u044F'},
      {u'\u0401', u'\u0451'},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.capital));
    EXPECT_EQ(FoldCase(row.capital), row.small);
    EXPECT_EQ(FoldCase(row.small), row.small);
  }
}

TEST(CaseFold, EverythingElseIsLeftAlone) {
  for (char16_t c : {u'\u00D7', u'\u00DF', u'\u0130', u'\u0131', u'\u03A2', u'1', u'\\', u'\u4E2D',
                     static_cast<char16_t>(0xD800)}) {
    SCOPED_TRACE(static_cast<int>(c));
    EXPECT_EQ(FoldCase(c), c);
  }
}

TEST(CaseFold, NamesAreTheSameOnlyWhenEveryUnitFoldsAlike) {
  EXPECT_TRUE(SameDeviceName(u"\\StorageCard", u"\\STORAGECARD"));
  EXPECT_TRUE(SameDeviceName(u"\u041D\u043E\u0432\u043E\u0441\u0442\u0438", u"\u043D\u041E\u0412\u041E\u0421\u0422\u0418"));
  EXPECT_FALSE(SameDeviceName(u"Nubrel", u"Nubre1"));
  EXPECT_FALSE(SameDeviceName(u"Nubrel", u"Nubrel "));
  EXPECT_EQ(FoldCase(u"My Documents"), u"my documents");
}

}  // namespace
}  // namespace platform
