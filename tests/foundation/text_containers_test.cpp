#include "foundation/QelContainers.h"
#include "foundation/QelString.h"
#include "support/TestSupport.h"

#include <functional>
#include <stdexcept>
#include <string>

namespace {

template <class E>
std::string errorText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(QelString, PositionsBeyondTheEndRaiseInvalidStringPosition)
{
    const QelString s("abcdef");
    EXPECT_EQ(s.at(5), 'f');
    EXPECT_EQ(s.substr(6).str(), "");
    EXPECT_EQ(s.substr(2, 3).str(), "cde");
    EXPECT_EQ(s.substr(4, QelString::npos).str(), "ef");

    const std::function<void()> bad[] = {
        [&] { (void)s.at(6); },
        [&] { (void)s.substr(7); },
        [&] { QelString t = s; t.insert(7, "x"); },
        [&] { QelString t = s; t.erase(7, 1); },
    };
    for (const auto& f : bad)
        EXPECT_EQ(errorText<std::out_of_range>(f), "invalid string position");

    QelString t = s;
    t.insert(6, "!").insert(0, ">").erase(1, 2);
    EXPECT_EQ(t.str(), ">cdef!");
    EXPECT_EQ(t.find("ef"), 3u);
    EXPECT_EQ(t.find("zz"), QelString::npos);
    EXPECT_EQ(t.rfind('>'), 0u);
}

TEST(QelString, LengthBeyondTheMaximumRaisesStringTooLong)
{
    QelString s("x");
    EXPECT_EQ(errorText<std::length_error>([&] { s.reserve(uint64_t{QelString::kMaxLength} + 1); }),
              "string too long");
    EXPECT_EQ(s.str(), "x");
}

TEST(QelString, FormattingIsNotCutAt255Characters)
{
    std::string word(300, 'w');
    QelString s;
    s.format("<%s|%d>", word.c_str(), 42);
    EXPECT_EQ(s.str(), "<" + word + "|42>");
    EXPECT_EQ(qelFormat("%s", word.c_str()).size(), 300u);
}

TEST(QelString, NullTextIsEmptyAndComparisonIsExact)
{
    QelString s(static_cast<const char*>(nullptr));
    EXPECT_TRUE(s.isEmpty());
    s = "Key";
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.isEmpty());
    EXPECT_TRUE(QelString("Key") == "Key");
    EXPECT_FALSE(QelString("Key") == "key");
    EXPECT_FALSE(QelString("Key") == "Key ");
}

TEST(QelArray, IgnoresNullAndReportsBadSubscripts)
{
    int a = 1, b = 2;
    QelArray array;
    array.append(&a);
    array.append(nullptr);
    array.append(&b);
    ASSERT_EQ(array.count(), 2u);
    EXPECT_EQ(array[0], &a);
    EXPECT_EQ(array.at(1), &b);
    array.insertAt(0, &b);
    array.insertAt(1, nullptr);
    EXPECT_EQ(array.count(), 3u);
    array.removeAt(0);
    EXPECT_EQ(array.at(0), &a);

    const std::function<void()> bad[] = {
        [&] { (void)array.at(2); },
        [&] { array.removeAt(2); },
        [&] { array.insertAt(3, &a); },
        [&] { (void)QelArray().at(0); },
    };
    for (const auto& f : bad)
        EXPECT_EQ(errorText<std::out_of_range>(f), "invalid deque <T> subscript");
}

using TextList = Associative_List<QelString, QelString>;

template <class L>
int caughtValue(const std::function<void()>& f)
{
    try {
        f();
    } catch (typename L::Exception e) {
        return static_cast<int>(e);
    }
    return 0;
}

TEST(AssociativeList, KeepsInsertionOrderAndFindsTheFirstExactKey)
{
    TextList list;
    list.append("b", "1");
    list.append("a", "2");
    list.append("B", "3");
    list.append("a", "4"); // duplicates are the caller's business
    ASSERT_EQ(list.count(), 4);
    EXPECT_EQ(list.keyAt(0).str(), "b");
    EXPECT_EQ(list.keyAt(2).str(), "B");
    EXPECT_EQ(list.lookup("a").str(), "2");
    EXPECT_EQ(list.lookup("B").str(), "3");
    EXPECT_EQ(list.indexOf("a"), 1);
    EXPECT_EQ(list.find("A"), nullptr);
    EXPECT_EQ(list.find("a "), nullptr);

    list.remove("a");
    EXPECT_EQ(list.lookup("a").str(), "4");
    list.valueAt(0) = "changed";
    EXPECT_EQ(list.lookup("b").str(), "changed");
}

TEST(AssociativeList, RaisesItsOwnErrorValues)
{
    TextList list;
    list.append("k", "v");
    EXPECT_EQ(caughtValue<TextList>([&] { (void)list.lookup("K"); }), 3);
    EXPECT_EQ(caughtValue<TextList>([&] { list.remove("x"); }), 3);
    EXPECT_EQ(caughtValue<TextList>([&] { (void)list.indexOf("x"); }), 3);
    EXPECT_EQ(caughtValue<TextList>([&] { (void)list.keyAt(1); }), 1);
    EXPECT_EQ(caughtValue<TextList>([&] { (void)list.valueAt(-1); }), 1);
    EXPECT_EQ(caughtValue<TextList>([&] { list.removeAt(1); }), 1);
    EXPECT_EQ(TextList::KeyNotFound, 3);
    EXPECT_EQ(TextList::NoSuchIndex, 1);

    using IntList = Associative_List<int, const char*>;
    IntList ints;
    ints.append(7, "seven");
    EXPECT_STREQ(ints.lookup(7), "seven");
    EXPECT_EQ(caughtValue<IntList>([&] { (void)ints.lookup(8); }), 3);
}

TEST(QelMap, CopiesAreIndependentAndClearEmpties)
{
    QelMap map;
    map.list().append("k", "v");
    QelMap copy = map;
    copy.list().lookup("k") = "w";
    EXPECT_EQ(map.list().lookup("k").str(), "v");
    map.clear();
    EXPECT_EQ(map.count(), 0);
    EXPECT_EQ(copy.count(), 1);
}

} // namespace
