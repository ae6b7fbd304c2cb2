// What only a Windows program meets: names in every script, the ANSI code
// page's "best fit" that turns a name into another file's, names that
// Windows takes for devices, standard error redirected by cmd, long paths,
// and the ways of knowing a file where a file system answers less.
//
// These run where the tool under test is a Windows program (through Wine);
// Wine behaves as Windows 10 where the two differ, as noted at each table.

#include "harness.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const char *const notwindows = "the tool under test is no Windows program";

// Standard output and error both into one pipe, so that no identity of
// theirs is needed.
Wiring onepipe()
{
    Wiring w;
    w.stdoutpipe = true;
    w.stderrtostdout = true;
    return w;
}

// A path on the host as a Windows program names it (Wine's drive Z:).
std::string winpath(const fs::path &p)
{
    std::string s = "Z:" + fs::absolute(p).string();
    for (char &c : s)
        if (c == '/')
            c = '\\';
    return s;
}

// Names outside every ANSI code page, for the dump, the image and a folder
// on the way: each reads and writes exactly that file, and is echoed in
// UTF-8.
struct Script {
    const char *name, *folder, *in, *out;
};
void PrintTo(const Script &row, std::ostream *os) { *os << row.name; }

using Names = Table<Script>;

TEST_P(Names, AreTheFilesNamed)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    const Script &c = GetParam();
    std::string in = c.in, out = c.out;
    if (c.folder[0] != '\0') {
        fs::create_directory(work / fs::u8path(c.folder));
        in = std::string(c.folder) + "/" + in;
        out = std::string(c.folder) + "\\" + out;
    }
    std::mt19937 rng(14);
    const std::string dump = randombytes(rng, 3 * pagesize + 5);
    spit(work / fs::u8path(in), dump);
    Result r = run(in, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lines({in, out, "Found EOF"}));
    EXPECT_EQ(r.err, "");
    fs::path image = work / fs::u8path(c.folder) / fs::u8path(c.out);
    EXPECT_TRUE(slurp(image) == model(dump)) << "image bytes differ";
    std::size_t n = 0;
    for (auto &e : fs::recursive_directory_iterator(work))
        n += e.is_regular_file();
    EXPECT_EQ(n, 2u) << "a file other than the two named";
}

const Script scripts[] = {
    {"Cyrillic", "", "дамп.bin", "образ.bin"},
    {"Chinese", "", "转储.bin", "数据.bin"},
    {"Emoji", "", "😀.bin", "🎉.bin"},
    {"Mixed", "", "dump-ü-Ā-δ-😀.bin", "data-č-数据.bin"},
    {"CyrillicFolder", "Дмитрий", "dump.bin", "data.bin"},
    {"ChineseFolder", "数据", "дамп.bin", "😀.bin"},
    {"EmojiFolder", "📁", "Δοκιμή.bin", "تفريغ.bin"},
    {"MixedFolder", "Дмитрий-数据-😀", "zrzut-č.bin", "data-Ā.bin"},
};
INSTANTIATE_TEST_SUITE_P(Windows, Names, ::testing::ValuesIn(scripts),
                         RowName());

// Names whose ANSI "best fit" is another name that exists: that twin is
// never read or written; the file named is the one written, or the run
// fails.
struct Trap {
    const char *name;
    bool input; // the trap names the dump, not the image
    const char *trap, *twin;
};
void PrintTo(const Trap &row, std::ostream *os) { *os << row.name; }

using BestFit = Table<Trap>;

TEST_P(BestFit, NeverReachesTheTwin)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    const Trap &c = GetParam();
    fs::create_directory(work / "sub");
    const std::string twin(pagesize + 3, 't'), dump(2 * pagesize, 'd');
    spit(work / fs::u8path(c.twin), twin);
    if (c.input)
        spit(work / fs::u8path(c.trap), dump);
    else
        spit(work / "dump", dump);
    std::string in = c.input ? c.trap : "dump";
    std::string out = c.input ? "data" : c.trap;
    Result r = run(in, out);
    EXPECT_TRUE(slurp(work / fs::u8path(c.twin)) == twin) << "twin changed";
    if (r.status == 0) {
        EXPECT_TRUE(slurp(work / fs::u8path(out)) == model(dump))
            << "image bytes differ";
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(fs::exists(work / fs::u8path(out)));
    }
}

const Trap traps[] = {
    {"DivisionSlash", false, "sub∕keep.bin", "sub/keep.bin"},
    {"FullwidthSolidus", false, "sub／keep.bin", "sub/keep.bin"},
    {"MacronA", false, "data-Ā.bin", "data-A.bin"},
    {"FullwidthLetters", false, "ｄａｔａ.bin", "data.bin"},
    {"CaronC", true, "zrzut-č.bin", "zrzut-c.bin"},
    {"DiaeresisU", true, "dump-ü.bin", "dump-u.bin"},
};
INSTANTIATE_TEST_SUITE_P(Windows, BestFit, ::testing::ValuesIn(traps),
                         RowName());

// Names that Windows 10 (and Wine) takes for devices are refused as the
// image, as is a console; the null device by its own names stays the place
// where an image is thrown away on purpose. (Windows 11 takes nul.txt and
// Nul.bin for plain files: there they are written.) COM and AUX names are
// left out: under Wine they reach the host's serial ports.
struct Output {
    const char *name, *out;
    bool accepted;
    const char *err; // what is refused, where Wine words it as Windows does
};
void PrintTo(const Output &row, std::ostream *os) { *os << row.name; }

using DeviceOutput = Table<Output>;

TEST_P(DeviceOutput, IsRefusedUnlessNull)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    const Output &c = GetParam();
    spit(work / "dump", std::string(2 * pagesize, 'd'));
    Result r = run("dump", c.out);
    EXPECT_TRUE(files() == std::vector<fs::path>{work / "dump"})
        << "a file was created";
    if (c.accepted) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, lines({"dump", c.out}));
        EXPECT_EQ(r.err, "");
        return;
    }
    EXPECT_EQ(r.status, 1);
    if (c.err != nullptr) {
        EXPECT_EQ(r.out, lines({"dump", c.out}));
        EXPECT_EQ(r.err, lines({c.err}));
    } else {
        // Wine without a console cannot open CON at all; Windows opens the
        // console and refuses it as a device.
        expecterr(r.err, 0, "open");
    }
}

const Output outputs[] = {
    {"NulTxt", "nul.txt", false, "open: nul.txt is a device, not a file"},
    {"NulBin", "Nul.bin", false, "open: Nul.bin is a device, not a file"},
    {"NulInAFolder", ".\\nul", false, "open: .\\nul is a device, not a file"},
    {"ConBin", "con.bin", false, nullptr},
    {"Nul", "NUL", true, nullptr},
    {"NulLowerCase", "nul", true, nullptr},
    {"NulColon", "NUL:", true, nullptr},
    {"NulDevicePath", "\\\\.\\NUL", true, nullptr},
    {"NulDevicePathMixedCase", "\\\\.\\nUl", true, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Windows, DeviceOutput, ::testing::ValuesIn(outputs),
                         RowName());

// Devices are the same only as themselves: NUL in and out is refused, as
// one file, by any of its names.
TEST_F(Pagestrip, NulToNulIsRefused)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    for (const char *in : {"NUL", "nul.txt", "\\\\.\\nul"}) {
        Result r = run(in, "NUL");
        EXPECT_EQ(r.status, 1) << in;
        EXPECT_EQ(r.err, lines({"open: input and output are the same file"}))
            << in;
    }
}

// Redirections made by cmd, whose handles are Windows' own: standard
// output or error on either file is refused, and neither file changes.
struct Redirect {
    const char *name, *command, *intact;
};
void PrintTo(const Redirect &row, std::ostream *os) { *os << row.name; }

using CmdRedirect = Table<Redirect>;

TEST_P(CmdRedirect, LeavesBothFilesIntact)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    const Redirect &c = GetParam();
    const std::string dump(2 * pagesize + 9, 'd'), data(5, 'o');
    spit(work / "dump.bin", dump);
    spit(work / "data.bin", data);
    std::vector<std::string> args = {"cmd", "/c", winpath(PAGESTRIP_BINARY)};
    std::stringstream words(c.command);
    for (std::string word; words >> word;)
        args.push_back(word);
    tool = "cmd";
    Result r = run(args, onepipe());
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(slurp(work / "dump.bin") == dump) << "the dump changed";
    if (std::string(c.intact) == "data.bin") {
        EXPECT_TRUE(slurp(work / "data.bin") == data) << "the image changed";
    }
}

const Redirect redirects[] = {
    {"StandardErrorOnTheDump", "dump.bin DUMP.BIN 2>>dump.bin", "dump.bin"},
    {"StandardErrorOnTheDumpOutputNew", "dump.bin new.bin 2>>dump.bin",
     "dump.bin"},
    {"StandardErrorOnTheImage", "dump.bin data.bin 2>>data.bin", "data.bin"},
    {"StandardOutputOnTheDump", "dump.bin data.bin >>dump.bin", "data.bin"},
    {"StandardOutputOnTheImageErrorOnTheDump",
     "dump.bin data.bin >>data.bin 2>>dump.bin", "data.bin"},
};
INSTANTIATE_TEST_SUITE_P(Windows, CmdRedirect, ::testing::ValuesIn(redirects),
                         RowName());

// A directory as either file is named for what it is.
TEST_F(Pagestrip, DirectoryIsNamed)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    fs::create_directory(work / "folder");
    spit(work / "dump", std::string(pagesize, 'd'));
    Result r = run("folder", "data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({"folder"}));
    EXPECT_EQ(r.err, lines({"open: Is a directory"}));
    EXPECT_FALSE(fs::exists(work / "data"));
    r = run("dump", "folder");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lines({"open: Is a directory"}));
}

// Paths past 260 characters, relative and with either separator, and a
// long name for the same file refused; the echo is the name as given.
TEST_F(Pagestrip, LongPathsWork)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    std::string dir = "long";
    for (int i = 0; i < 12; i++)
        dir += "/каталог-" + std::to_string(i) + std::string(20, 'x');
    fs::create_directories(work / fs::u8path(dir));
    std::string back = dir;
    for (char &ch : back)
        if (ch == '/')
            ch = '\\';
    const std::string in = dir + "/дамп.bin", out = back + "\\образ.bin";
    ASSERT_GT(out.size(), 300u);
    std::mt19937 rng(260);
    const std::string dump = randombytes(rng, 2 * pagesize);
    spit(work / fs::u8path(in), dump);
    Result r = run(in, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lines({in, out}));
    EXPECT_TRUE(slurp(work / fs::u8path(dir + "/образ.bin")) == model(dump))
        << "image bytes differ";
    r = run(in, back + "\\ДАМП.BIN");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lines({"open: input and output are the same file"}));
    EXPECT_TRUE(slurp(work / fs::u8path(in)) == dump) << "the dump changed";
}

// Echoes on a full disk fail the run, whatever the C runtime reports.
TEST_F(Pagestrip, FullDiskForTheEchoesIsReported)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    const fs::path disk = work / "disk";
    Mount tiny("pagestrip", disk, "-t tmpfs -o size=64k");
    if (!tiny.ok)
        GTEST_SKIP() << "mounting a small file system needs root and mount";
    {
        std::ofstream filler(disk / "filler", std::ios::binary);
        for (int i = 0; i < 128 && filler; i++)
            filler << std::string(1024, 'f') << std::flush;
    }
    spit(work / "dump", std::string(pagesize, 'd'));
    Wiring w;
    w.stdoutpath = (disk / "log").string();
    Result r = run("dump", "data", w);
    EXPECT_EQ(r.status, 1);
    expecterr(r.err, ENOSPC, "write");
    EXPECT_NE(r.err.find("space"), std::string::npos) << r.err;
}

// The ways of knowing a file, each shown alone: test builds skip the file
// ID, then the volume serial number and file index too, then the final
// path as well. Two files are told apart by whichever answers; a file with
// another name (a hard link) is not told apart by its path; where nothing
// answers, the run is refused rather than risk the dump. (Wine answers
// only the file ID for the handles a Linux parent gives: the standard
// streams here are one pipe.)
struct Fallback {
    const char *name;
    int skip;
    const char *differ, *samename, *link; // the refusals, or "" for none
};
void PrintTo(const Fallback &row, std::ostream *os) { *os << row.name; }

using Identity = Table<Fallback>;

TEST_P(Identity, FallsBackSafely)
{
    if (!windows())
        GTEST_SKIP() << notwindows;
    const Fallback &c = GetParam();
    const std::string exe =
        (fs::path(PAGESTRIP_BINARY).parent_path() /
         ("pagestrip-skipids" + std::to_string(c.skip) + ".exe"))
            .string();
    if (!fs::exists(exe))
        GTEST_SKIP() << "the test builds of this tool are not here: " << exe;
    tool = exe;
    const std::string dump(3 * pagesize, 'd');
    spit(work / "dump.bin", dump);
    fs::create_hard_link(work / "dump.bin", work / "link.bin");
    spit(work / "other.bin", dump);
    const std::string cannot =
        "open: cannot tell whether input and output are the same file";
    const std::string same = "open: input and output are the same file";
    auto expect = [&](const char *in, const char *out, const char *refusal) {
        SCOPED_TRACE(std::string(in) + " " + out);
        Result r = run(in, out, onepipe());
        std::string why = refusal == std::string("cannot") ? cannot
                          : refusal == std::string("same") ? same
                                                           : "";
        if (why.empty()) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_EQ(r.out, lines({in, out}));
            EXPECT_TRUE(slurp(work / out) == model(dump));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, lines({in, out, why}));
        }
        EXPECT_TRUE(slurp(work / "dump.bin") == dump) << "the dump changed";
    };
    // Files of one name each first, before the link's turn.
    expect("other.bin", "new.bin", c.differ);
    expect("other.bin", "OTHER.BIN", c.samename);
    expect("other.bin", ".\\other.bin", c.samename);
    expect("dump.bin", "link.bin", c.link);
}

const Fallback fallbacks[] = {
    {"VolumeAndFileIndex", 1, "", "same", "same"},
    {"FinalPath", 2, "", "same", "cannot"},
    {"NoneAnswers", 3, "cannot", "cannot", "cannot"},
};
INSTANTIATE_TEST_SUITE_P(Windows, Identity, ::testing::ValuesIn(fallbacks),
                         RowName());

} // namespace
