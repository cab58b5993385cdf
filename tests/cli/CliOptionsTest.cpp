#include "tools/cli/CliOptions.h"

#include <gtest/gtest.h>

namespace {

CliParseResult parse(const QStringList& args, CliOptions* o)
{
    return parseCliArguments(QStringList{"corvotkl-cli"} + args, o);
}

} // namespace

TEST(CliOptions, AcceptsTheScanForms)
{
    CliOptions o;
    ASSERT_EQ(parse({"scan", "sdb"}, &o).kind, CliParseResult::Ok);
    EXPECT_EQ(o.source, "sdb");
    EXPECT_FALSE(o.hasStart);
    EXPECT_FALSE(o.hasEnd);
    EXPECT_FALSE(o.json);

    ASSERT_EQ(parse({"scan", "--json", "--start", "512", "/x/img", "--end=9000000000"}, &o).kind, CliParseResult::Ok);
    EXPECT_EQ(o.source, "/x/img");
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.start, 512);
    EXPECT_EQ(o.end, 9000000000LL);

    ASSERT_EQ(parse({"scan", "--start=7", "--end", "7", "--", "-odd-name"}, &o).kind, CliParseResult::Ok);
    EXPECT_EQ(o.source, "-odd-name");
    EXPECT_EQ(o.start, 7);
    EXPECT_EQ(o.end, 7);

    EXPECT_EQ(parse({"--help"}, &o).kind, CliParseResult::Help);
    EXPECT_EQ(parse({"scan", "-h"}, &o).kind, CliParseResult::Help);
}

TEST(CliOptions, RejectsBadArgumentsWithAReason)
{
    struct Case {
        QStringList args;
        const char* says;
    };
    const Case cases[] = {
        {{}, "no command"},
        {{"scran", "sdb"}, "unknown command"},
        {{"scan"}, "no SOURCE"},
        {{"scan", "a", "b"}, "one SOURCE"},
        {{"scan", ""}, "empty"},
        {{"scan", "sdb", "--start"}, "needs a byte offset"},
        {{"scan", "sdb", "--start", "-1"}, "negative"},
        {{"scan", "sdb", "--end=-4096"}, "negative"},
        {{"scan", "sdb", "--start", "12k"}, "decimal digits"},
        {{"scan", "sdb", "--end", "0x200"}, "decimal digits"},
        {{"scan", "sdb", "--start", "+5"}, "decimal digits"},
        {{"scan", "sdb", "--end", "99999999999999999999"}, "decimal digits"},
        {{"scan", "sdb", "--start", "10", "--end", "9"}, "beyond"},
        {{"scan", "sdb", "--jsn"}, "unknown option"},
        {{"scan", "sdb", "--json=1"}, "unknown option"},
        {{"scan", "sdb", "--fresh"}, "no --session"},
        {{"scan", "sdb", "--session"}, "needs a file"},
        {{"export", "a.session"}, "needs --export DIR or --merge FILE"},
        {{"export", "--merge", "m.tkl"}, "one SESSION"},
        {{"export", "a.session", "--merge", "m.tkl", "--start", "5"}, "only --export"},
        {{"sessions", "x"}, "no argument"},
    };
    for (const Case& c : cases) {
        CliOptions o;
        const CliParseResult r = parse(c.args, &o);
        EXPECT_EQ(r.kind, CliParseResult::Error) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.message.contains(c.says)) << c.args.join(' ').toStdString() << ": " << r.message.toStdString();
    }
}
