// The variants, pagestrip-DATA+SPARE, one row each: each converts dumps of
// its own geometry as the model says, and names itself as invoked. They are
// found beside the tool under test, built as it was.

#include "harness.h"

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{

struct Variant {
    std::string name;    // DATA_SPARE
    std::string program; // pagestrip-DATA+SPARE
    std::size_t data, spare;
};
void PrintTo(const Variant &row, std::ostream *os) { *os << row.program; }

// The build's variants come as DATA+SPARE, separated by '|'.
std::vector<Variant> variants()
{
    std::vector<Variant> rows;
    std::stringstream list(PAGESTRIP_VARIANTS);
    for (std::string item; std::getline(list, item, '|');) {
        std::size_t plus = item.find('+');
        std::string data = item.substr(0, plus), spare = item.substr(plus + 1);
        rows.push_back({data + "_" + spare, "pagestrip-" + item,
                        std::stoul(data), std::stoul(spare)});
    }
    return rows;
}

using Variants = Table<Variant>;
// A build without variants has no rows.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Variants);

TEST_P(Variants, ConvertTheirOwnGeometry)
{
    const Variant &v = GetParam();
    fs::path beside(PAGESTRIP_BINARY);
    tool = (beside.parent_path() / v.program).string() +
           beside.extension().string();
    tooldata = v.data;
    toolpage = v.data + v.spare;

    // Whole pages, then a last page cut in its spare area, just after its
    // data and inside its data; and a lone byte.
    std::mt19937 rng(20261210);
    for (std::size_t len :
         {5 * toolpage, 6 * toolpage - 1, 5 * toolpage + v.data,
          5 * toolpage + v.data / 2, std::size_t(1)}) {
        SCOPED_TRACE("a dump of " + std::to_string(len) + " bytes");
        convertchecked(randombytes(rng, len));
    }

    Result r = run({v.program});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    if (canchooseargv0()) {
        EXPECT_EQ(r.err, lines({"usage: " + v.program + " file1 file2"}));
    } else {
        // As Windows hands it over: the program's full path.
        EXPECT_EQ(r.err.rfind("usage: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(v.program + ".exe file1 file2\r\n"),
                  std::string::npos)
            << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Pagestrip, Variants, ::testing::ValuesIn(variants()),
                         RowName());

} // namespace
