// ILIST<T>: ownership of the elements, walking with the current position, searches that keep
// it, removal in the middle of a walk.
#include "install/ilist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tarn::isupport {
namespace {

// Counts its destructions, reached through the base's virtual destructor.
struct Element {
  explicit Element(int v, int* deaths) : value(v), deaths_(deaths) {}
  virtual ~Element() { ++*deaths_; }
  int value;
  int* deaths_;
};
struct Derived : Element {
  Derived(int v, int* deaths, int* derivedDeaths) : Element(v, deaths), derived_(derivedDeaths) {}
  ~Derived() override { ++*derived_; }
  int* derived_;
};

std::vector<int> Walk(ILIST<Element>& list) {
  std::vector<int> values;
  for (Element* e = list.GetFirst(); e != nullptr; e = list.GetNext()) values.push_back(e->value);
  return values;
}

TEST(IListTest, OwnsAndDeletesItsElements) {
  int deaths = 0;
  int derivedDeaths = 0;
  {
    ILIST<Element> list;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(list.Append(new Element(i, &deaths)));
    ASSERT_TRUE(list.Append(new Derived(3, &deaths, &derivedDeaths)));
    EXPECT_FALSE(list.Append(nullptr));
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(Walk(list), (std::vector<int>{0, 1, 2, 3}));
  }
  EXPECT_EQ(deaths, 4);
  EXPECT_EQ(derivedDeaths, 1);  // deleted as what it is
}

TEST(IListTest, NextFromNoPositionStartsAtTheFirst) {
  int deaths = 0;
  ILIST<Element> list;
  EXPECT_EQ(list.GetFirst(), nullptr);
  EXPECT_EQ(list.GetNext(), nullptr);
  list.Append(new Element(7, &deaths));
  list.Append(new Element(8, &deaths));
  EXPECT_EQ(list.GetNext()->value, 7);  // no position yet
  EXPECT_EQ(list.GetNext()->value, 8);
  EXPECT_EQ(list.GetNext(), nullptr);   // the end
  EXPECT_EQ(list.GetNext()->value, 7);  // and round again
}

TEST(IListTest, SearchesKeepTheWalkersPosition) {
  int deaths = 0;
  ILIST<Element> list;
  for (int i = 0; i < 5; ++i) list.Append(new Element(i, &deaths));
  list.GetFirst();
  list.GetNext();  // at 1
  Element* found = list.FindIf([](Element* e) { return e->value == 3; });
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->value, 3);
  EXPECT_EQ(list.FindIf([](Element* e) { return e->value == 9; }), nullptr);
  // A search made from within a search keeps the position too.
  list.FindIf([&](Element* e) {
    list.FindIf([](Element* inner) { return inner->value == 4; });
    return e->value == 2;
  });
  EXPECT_EQ(list.GetCurrent()->value, 1);
  EXPECT_EQ(list.GetNext()->value, 2);
}

TEST(IListTest, RemovingDuringAWalkContinuesWithTheNext) {
  int deaths = 0;
  ILIST<Element> list;
  for (int i = 0; i < 5; ++i) list.Append(new Element(i, &deaths));
  // Remove the even ones while walking: first, middle and last elements.
  for (Element* e = list.GetFirst(); e != nullptr; e = list.GetNext()) {
    if (e->value % 2 == 0) {
      ASSERT_TRUE(list.Remove(e));
    }
  }
  EXPECT_EQ(deaths, 3);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(Walk(list), (std::vector<int>{1, 3}));
  Element stranger(9, &deaths);
  EXPECT_FALSE(list.Remove(&stranger));
  // Appending after removing the last one links at the new end.
  list.Append(new Element(5, &deaths));
  EXPECT_EQ(Walk(list), (std::vector<int>{1, 3, 5}));
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetFirst(), nullptr);
}

TEST(IListTest, TextElementsAreReleasedAsArrays) {
  // Run under the sanitizer build, a mismatched delete of a char[] element is reported here.
  ILIST<char> names;
  for (const char* text : {"Client", "Server"}) {
    char* copy = new char[std::strlen(text) + 1];
    std::strcpy(copy, text);
    names.Append(copy);
  }
  EXPECT_STREQ(names.GetFirst(), "Client");
  EXPECT_STREQ(names.GetNext(), "Server");
  EXPECT_TRUE(names.Remove(names.GetCurrent()));
  EXPECT_EQ(names.Count(), 1);

  // Moving a node hands the element over: only one of the two nodes releases it.
  INODE<char> from(new char[4]{'a', 'b', 'c', '\0'});
  INODE<char> to(new char[2]{'z', '\0'});
  to = std::move(from);
  EXPECT_EQ(from.data, nullptr);
  EXPECT_STREQ(to.data, "abc");
}

}  // namespace
}  // namespace tarn::isupport
