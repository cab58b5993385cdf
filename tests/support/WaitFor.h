#pragma once
// Waiting inside GoogleTest tests. Qt's QTRY_* macros report to Qt Test and
// return from the test without failing it; these fail the test and say what
// was awaited and, for a comparison, the value last seen.
//
//   ASSERT_SOON(!row->threadsRunning(), kLong);
//   ASSERT_SOON_EQ(statusText(row), QString("   扫描结束..."), kLong);
//   EXPECT_SOON_EQ(window->pos(), QPoint(40, 30), 5000);

#include <QPoint>
#include <QSize>
#include <QString>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <string>

namespace corvo_test {

inline std::string describe(const QString& s) { return '"' + s.toStdString() + '"'; }
inline std::string describe(const QPoint& p)
{
    return "(" + std::to_string(p.x()) + ", " + std::to_string(p.y()) + ")";
}
inline std::string describe(const QSize& s)
{
    return std::to_string(s.width()) + "x" + std::to_string(s.height());
}
template <typename T>
std::string describe(const T& v)
{
    return ::testing::PrintToString(v);
}

// Serves events until cond() holds or ms have passed.
template <typename Cond>
::testing::AssertionResult becomesTrue(const char* what, Cond cond, int ms)
{
    if (QTest::qWaitFor(cond, ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "still false after " << ms << " ms: " << what;
}

template <typename Get, typename T>
::testing::AssertionResult becomesEqual(const char* what, Get get, const T& expected, int ms)
{
    if (QTest::qWaitFor([&] { return get() == expected; }, ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what << " is " << describe(get()) << ", not " << describe(expected)
                                         << ", after " << ms << " ms";
}

} // namespace corvo_test

#define ASSERT_SOON(cond, ms) ASSERT_TRUE(corvo_test::becomesTrue(#cond, [&] { return bool(cond); }, (ms)))
#define EXPECT_SOON(cond, ms) EXPECT_TRUE(corvo_test::becomesTrue(#cond, [&] { return bool(cond); }, (ms)))
#define ASSERT_SOON_EQ(actual, expected, ms) \
    ASSERT_TRUE(corvo_test::becomesEqual(#actual, [&] { return (actual); }, (expected), (ms)))
#define EXPECT_SOON_EQ(actual, expected, ms) \
    EXPECT_TRUE(corvo_test::becomesEqual(#actual, [&] { return (actual); }, (expected), (ms)))
