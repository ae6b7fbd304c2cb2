// Black-box tests: run the built pagestrip in a fresh folder and compare what
// it prints, its exit status and the image it writes with the model.

#include "harness.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

struct Length {
    const char *name;
    std::size_t len;
};
void PrintTo(const Length &row, std::ostream *os) { *os << row.name; }

using Lengths = Table<Length>;

TEST_P(Lengths, AroundEveryBoundary)
{
    std::mt19937 rng(20261210);
    convertchecked(randombytes(rng, GetParam().len));
}

const Length boundaries[] = {
    {"Empty", 0},
    {"OneByte", 1},
    {"DataLessOne", datasize - 1},
    {"Data", datasize},
    {"DataPlusOne", datasize + 1},
    {"PageLessOne", pagesize - 1},
    {"Page", pagesize},
    {"PagePlusOne", pagesize + 1},
    {"PagePlusTen", pagesize + 10},
    {"PageAndDataLessOne", pagesize + datasize - 1},
    {"PageAndData", pagesize + datasize},
    {"PageAndDataPlusTen", pagesize + datasize + 10},
    {"TwoPages", 2 * pagesize},
    {"SevenPages", 7 * pagesize},
    {"SevenPagesPlusOne", 7 * pagesize + 1},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, Lengths, ::testing::ValuesIn(boundaries),
                         RowName());

// Small random inputs, and inputs of a few MiB that cross the streams'
// 256 KiB buffers many times, all ending inside a page.
TEST_F(Pagestrip, RandomLengthsAndContents)
{
    std::mt19937 rng(4242);
    std::vector<std::size_t> lengths;
    for (int i = 0; i < 40; i++)
        lengths.push_back(rng() % (40 * pagesize));
    for (std::size_t mib : {3, 5})
        lengths.push_back((mib << 20) / pagesize * pagesize + 777);
    for (std::size_t len : lengths) {
        SCOPED_TRACE("length " + std::to_string(len));
        convertchecked(randombytes(rng, len));
    }
}

// A dump fed through a pipe arrives in uneven pieces; the image must not
// depend on how the reads were cut.
using Input = Table<Length>;

TEST_P(Input, ThroughAPipe)
{
    if (windows())
        GTEST_SKIP() << "/dev/stdin has no Windows counterpart";
    std::mt19937 rng(11);
    const std::size_t len = GetParam().len;
    const std::string input = randombytes(rng, len);
    spit(work / "data", "older bytes");
    Wiring w;
    w.stdinbytes = &input;
    Result r = run("/dev/stdin", "data", w);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, modelstdout("/dev/stdin", "data", len));
    EXPECT_TRUE(slurp(work / "data") == model(input)) << "bytes differ";
}

constexpr std::size_t threemib = std::size_t(3) << 20;
const Length piped[] = {
    {"Empty", 0},
    {"FivePages", 5 * pagesize},
    {"ThreeMiB", threemib - threemib % pagesize + 9}, // whole pages, and 9
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, Input, ::testing::ValuesIn(piped),
                         RowName());

// Written out by hand rather than by the model: a short last page is padded
// with erased flash, not with what the page before it held.
struct ShortInput {
    const char *name;
    std::string input, expected;
};
void PrintTo(const ShortInput &row, std::ostream *os) { *os << row.name; }

using ShortPage = Table<ShortInput>;

TEST_P(ShortPage, IsFilledWithErasedBytes)
{
    const ShortInput &c = GetParam();
    spit(work / "dump", c.input);
    Result r = run("dump", "data");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({"dump", "data", "Found EOF"}));
    EXPECT_TRUE(slurp(work / "data") == c.expected);
}

const ShortInput shortinputs[] = {
    {"AfterAFullPage", std::string(pagesize, '\x00') + "0123456789",
     std::string(datasize, '\x00') + "0123456789" +
         std::string(datasize - 10, '\xff')},
    {"Alone", "abc", "abc" + std::string(datasize - 3, '\xff')},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, ShortPage, ::testing::ValuesIn(shortinputs),
                         RowName());

struct Argv {
    const char *name;
    std::vector<std::string> argv;
    std::string usagename; // as the usage names the program
};
void PrintTo(const Argv &row, std::ostream *os) { *os << row.name; }

using Usage = Table<Argv>;

TEST_P(Usage, WithoutTwoOperands)
{
    const Argv &c = GetParam();
    if (c.argv.empty() && !emulator().empty())
        GTEST_SKIP() << "an emulator cannot pass an empty argument vector";
    if (!canchooseargv0() && c.argv[0] != "pagestrip")
        GTEST_SKIP() << "Windows hands over the program's own path";
    spit(work / "dump", std::string(pagesize, 'x'));
    Result r = run(c.argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    if (canchooseargv0()) {
        EXPECT_EQ(r.err, lines({"usage: " + c.usagename + " file1 file2"}));
    } else {
        // As Windows hands it over: the program's full path.
        std::string exe = fs::path(PAGESTRIP_BINARY).filename().string();
        EXPECT_EQ(r.err.rfind("usage: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(exe + " file1 file2\r\n"), std::string::npos)
            << r.err;
    }
    EXPECT_EQ(files().size(), 1u) << "a file was created";
}

const Argv argvs[] = {
    {"NoOperand", {"pagestrip"}, "pagestrip"},
    {"OneOperand", {"pagestrip", "dump"}, "pagestrip"},
    {"OtherProgramName", {"/opt/flash/bin/ps", "dump"}, "/opt/flash/bin/ps"},
    {"NoArgumentVector", {}, "pagestrip"},
    {"EmptyProgramName", {""}, "pagestrip"},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, Usage, ::testing::ValuesIn(argvs),
                         RowName());

TEST_F(Pagestrip, OperandsPastTheSecondAreIgnored)
{
    std::mt19937 rng(7);
    std::string input = randombytes(rng, 3 * pagesize + 5);
    spit(work / "dump", input);
    Result r = run({"pagestrip", "dump", "data", "extra", "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({"dump", "data", "Found EOF"}));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(slurp(work / "data") == model(input));
    EXPECT_EQ(files().size(), 2u);
}

// A lone hyphen is a file name like any other, not standard input or output.
struct Operands {
    const char *name, *in, *out;
};
void PrintTo(const Operands &row, std::ostream *os) { *os << row.name; }

using Hyphen = Table<Operands>;

TEST_P(Hyphen, IsAFileName)
{
    const Operands &c = GetParam();
    std::mt19937 rng(8);
    const std::string input = randombytes(rng, 2 * pagesize);
    spit(work / c.in, input);
    Result r = run(c.in, c.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({c.in, c.out}));
    EXPECT_TRUE(slurp(work / c.out) == model(input));
}

const Operands hyphens[] = {
    {"AsInput", "-", "data"},
    {"AsOutput", "dump", "-"},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, Hyphen, ::testing::ValuesIn(hyphens),
                         RowName());

// An input that cannot be opened or is not a file ends the run before the
// output is touched; an output that cannot be opened ends it with the
// input read by nothing.
struct OpenFailure {
    const char *name, *in, *out;
    bool echoesout;
    int err;
};
void PrintTo(const OpenFailure &row, std::ostream *os) { *os << row.name; }

using OpenFailures = Table<OpenFailure>;

TEST_P(OpenFailures, AreReported)
{
    const OpenFailure &c = GetParam();
    if (windows() && c.err == ELOOP)
        GTEST_SKIP() << "a symbolic link loop has no Windows program's "
                        "counterpart";
    fs::create_directory(work / "adir");
    fs::create_symlink("loop", work / "loop");
    spit(work / "dump", std::string(pagesize, 'x'));
    // An output named "data" is tried absent and holding bytes: it is
    // neither created nor touched.
    for (bool existing : {false, true}) {
        if (existing && std::string(c.out) != "data")
            break;
        SCOPED_TRACE(existing ? "output exists" : "no output yet");
        if (existing)
            spit(work / "data", "keep me");
        Result r = run(c.in, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.echoesout ? lines({c.in, c.out}) : lines({c.in}));
        expecterr(r.err, c.err, "open");
        EXPECT_EQ(fs::exists(work / "data"), existing);
        if (existing) {
            EXPECT_EQ(slurp(work / "data"), "keep me");
        }
        fs::remove(work / "data");
    }
}

const OpenFailure openfailures[] = {
    {"InputMissing", "nothere", "data", false, ENOENT},
    {"InputIsAFolder", "adir", "data", false, EISDIR},
    {"OutputFolderMissing", "dump", "nodir/data", true, ENOENT},
    {"OutputIsAFolder", "dump", "adir", true, EISDIR},
    {"OutputUnderAFile", "dump", "dump/data", true, ENOTDIR},
    {"OutputIsASymbolicLinkLoop", "dump", "loop", true, ELOOP},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, OpenFailures,
                         ::testing::ValuesIn(openfailures), RowName());

// One page stays in the stream's buffer until the final close; many pages
// make a write fail on the way; an endless input must stop at the first
// failed write rather than run on.
struct WriteFailure {
    const char *name, *in;
    std::size_t pages; // of the input file made for the run; 0: none
};
void PrintTo(const WriteFailure &row, std::ostream *os) { *os << row.name; }

using WriteErrors = Table<WriteFailure>;

TEST_P(WriteErrors, AreReported)
{
    if (windows())
        GTEST_SKIP() << "/dev/full and /dev/zero have no Windows counterpart";
    const WriteFailure &c = GetParam();
    if (c.pages)
        spit(work / c.in, std::string(c.pages * pagesize, 'x'));
    Result r = run(c.in, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({c.in, "/dev/full"}));
    EXPECT_EQ(r.err, errtext(ENOSPC, "write"));
}

const WriteFailure writefailures[] = {
    {"OnePage", "one", 1},
    {"ManyPages", "many", 4000},
    {"EndlessInput", "/dev/zero", 0},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, WriteErrors,
                         ::testing::ValuesIn(writefailures), RowName());

// A disk that fills up, where a Windows program meets it too: a small
// file system, full before the run (the one page fails when the stream is
// closed) or with room for part of the image (a write fails on the way).
struct Disk {
    const char *name;
    bool full;
};
void PrintTo(const Disk &row, std::ostream *os) { *os << row.name; }

using FullDisk = Table<Disk>;

TEST_P(FullDisk, IsReported)
{
    const fs::path disk = work / "disk";
    Mount tiny("pagestrip", disk, "-t tmpfs -o size=1m");
    if (!tiny.ok)
        GTEST_SKIP() << "mounting a small file system needs root and mount";

    const bool full = GetParam().full;
    const char *in = full ? "one" : "many";
    spit(work / in, std::string((full ? 1 : 1000) * pagesize, 'x'));
    if (full) {
        std::ofstream filler(disk / "filler", std::ios::binary);
        for (int i = 0; i < 2048 && filler; i++)
            filler << std::string(1024, 'f') << std::flush;
    }
    Result r = run(in, "disk/data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({in, "disk/data"}));
    expecterr(r.err, ENOSPC, "write");
    if (windows()) {
        EXPECT_NE(r.err.find("space"), std::string::npos) << r.err;
    }
}

const Disk disks[] = {
    {"FullBeforeTheRun", true},
    {"FillingUpOnTheWay", false},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, FullDisk, ::testing::ValuesIn(disks),
                         RowName());

// A real read error, with no fault injected: the first page of a process's
// memory is never mapped, so reading its memory from the start fails.
TEST_F(Pagestrip, ReadErrorIsReported)
{
    if (windows())
        GTEST_SKIP() << "/proc/self/mem has no Windows counterpart";
    Result r = run("/proc/self/mem", "data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({"/proc/self/mem", "data"}));
    EXPECT_EQ(r.err, errtext(EIO, "read"));
}

// With standard input and error closed, the image would be opened as
// descriptor 2, and an error message written into it.
TEST_F(Pagestrip, ClosedStandardErrorIsNeverTheImage)
{
    if (windows())
        GTEST_SKIP() << "a Windows program's standard handles are not the "
                        "descriptors its parent closes";
    Wiring w;
    w.closed02 = true;
    Result r = run("/proc/self/mem", "data", w);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({"/proc/self/mem", "data"}));
    EXPECT_EQ(slurp(work / "data"), "") << "the message went into the image";
}

// A failed echo is reported at once with its own reason, not one left over
// from looking up a name that does not exist yet, and nothing is opened
// after it. Names long enough to fill standard output's buffer between them
// need nested folders.
struct Names {
    const char *name;
    bool deep;
};
void PrintTo(const Names &row, std::ostream *os) { *os << row.name; }

using StandardOutputError = Table<Names>;

TEST_P(StandardOutputError, IsReported)
{
    if (windows())
        GTEST_SKIP() << "/dev/full has no Windows counterpart";
    std::string in = "dump", out = "data";
    if (GetParam().deep) {
        std::string deepin = "in", deepout = "out";
        for (int i = 0; i < 10; i++) {
            deepin += "/" + std::string(200, 'i');
            deepout += "/" + std::string(200, 'o');
        }
        fs::create_directories(work / deepin);
        fs::create_directories(work / deepout);
        in = deepin + "/dump";
        out = deepout + "/data";
    }
    SCOPED_TRACE(std::to_string(in.size() + out.size()) + " bytes of names");
    spit(work / in, std::string(2 * pagesize, 'x'));
    Wiring w;
    w.stdoutpath = "/dev/full";
    Result r = run(in, out, w);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errtext(ENOSPC, "write"));
    EXPECT_FALSE(fs::exists(work / out)) << "the output was created";
}

const Names names[] = {
    {"ShortNames", false},
    {"NamesFillingTheBuffer", true},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, StandardOutputError,
                         ::testing::ValuesIn(names), RowName());

// Messages on both streams come in the order things happened, even when
// they share one file.
struct Log {
    const char *name, *in, *out;
    std::string log;
};
void PrintTo(const Log &row, std::ostream *os) { *os << row.name; }

using CombinedLog = Table<Log>;

TEST_P(CombinedLog, ReadsInOrder)
{
    const Log &c = GetParam();
    spit(work / "dump", std::string(pagesize, 'x'));
    Wiring w;
    w.stdoutpath = (root / "log").string();
    w.stderrtostdout = true;
    Result r = run(c.in, c.out, w);
    EXPECT_EQ(r.status, 1);
    if (windows())
        EXPECT_EQ(slurp(root / "log").rfind(lines({c.in}), 0), 0u);
    else
        EXPECT_EQ(slurp(root / "log"), c.log);
}

const Log logs[] = {
    {"InputMissing", "nothere", "data",
     lines({"nothere"}) + errtext(ENOENT, "open")},
    {"OutputFolderMissing", "dump", "nodir/data",
     lines({"dump", "nodir/data"}) + errtext(ENOENT, "open")},
    {"SameFile", "dump", "dump",
     lines({"dump", "dump", "open: input and output are the same file"})},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, CombinedLog, ::testing::ValuesIn(logs),
                         RowName());

// Each a name of the dump itself, as the output; some are names on one
// platform only.
enum class Where { everywhere, posix, windows };

struct OtherName {
    const char *name, *out; // out: null for the dump's absolute path
    Where where;
    const char *elsewhere; // why it cannot run on the other platform
};
void PrintTo(const OtherName &row, std::ostream *os) { *os << row.name; }

using SameFile = Table<OtherName>;

TEST_P(SameFile, IsRefusedAndLeftIntact)
{
    const OtherName &c = GetParam();
    if (c.where == (windows() ? Where::posix : Where::windows))
        GTEST_SKIP() << c.elsewhere;
    std::mt19937 rng(9);
    const std::string input = randombytes(rng, 3 * pagesize);
    spit(work / "dump", input);
    fs::create_hard_link(work / "dump", work / "hard");
    if (!windows())
        fs::create_symlink("dump", work / "soft");
    const std::string out = c.out ? c.out : (work / "dump").string();
    SCOPED_TRACE(out);
    Result r = run("dump", out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({"dump", out}));
    EXPECT_EQ(r.err, lines({"open: input and output are the same file"}));
    EXPECT_TRUE(slurp(work / "dump") == input) << "the input changed";
}

const OtherName othernames[] = {
    {"Itself", "dump", Where::everywhere, ""},
    {"InTheCurrentFolder", "./dump", Where::everywhere, ""},
    {"HardLink", "hard", Where::everywhere, ""},
    {"BackslashedCurrentFolder", ".\\dump", Where::windows,
     "only Windows takes a backslash between folders"},
    {"OtherCase", "DUMP", Where::windows,
     "only Windows file names are blind to case"},
    {"SymbolicLink", "soft", Where::posix,
     "a symbolic link has no Windows program's counterpart"},
    {"AbsolutePath", nullptr, Where::posix,
     "the folder's path here is a POSIX one, not a Windows path"},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, SameFile, ::testing::ValuesIn(othernames),
                         RowName());

// A device is refused as both input and output as a file is: a flash chip
// appears as a character device, a loop device as a block device.
struct Device {
    const char *name;
    bool block; // a loop device, rather than the null device
    bool link;  // the output names it through a symbolic link
};
void PrintTo(const Device &row, std::ostream *os) { *os << row.name; }

using SameDevice = Table<Device>;

TEST_P(SameDevice, IsRefused)
{
    const Device &c = GetParam();
    std::string in = windows() ? "NUL" : "/dev/null", out = in, loop;
    if (c.block) {
        if (windows())
            GTEST_SKIP() << "Windows has no loop devices";
        spit(root / "disk", std::string(4 * pagesize, 'd'));
        loop = attachloop(root / "disk");
        if (loop.empty())
            GTEST_SKIP() << "no loop device to be had here (needs root, "
                            "losetup and /dev/loop*)";
        in = out = loop;
        if (c.link) {
            fs::create_symlink(loop, work / "flash");
            out = "flash";
        }
    }
    SCOPED_TRACE(in + " " + out);
    Result r = run(in, out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({in, out}));
    EXPECT_EQ(r.err, lines({"open: input and output are the same file"}));
    if (!loop.empty()) {
        EXPECT_EQ(system(("losetup -d " + loop).c_str()), 0);
        EXPECT_TRUE(slurp(root / "disk") == std::string(4 * pagesize, 'd'))
            << "the device's bytes changed";
    }
}

const Device devices[] = {
    {"NullDevice", false, false},
    {"LoopDevice", true, false},
    {"LinkToLoopDevice", true, true},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, SameDevice, ::testing::ValuesIn(devices),
                         RowName());

// The echoes must never be written among the bytes of either image: when
// standard output is one of the two files, nothing is echoed and nothing
// is opened for writing.
struct Redirection {
    const char *name, *what, *out, *stdoutpath;
    int flags;
    bool pipe;
    const char *err;
};
void PrintTo(const Redirection &row, std::ostream *os) { *os << row.name; }

using StandardOutput = Table<Redirection>;

TEST_P(StandardOutput, IsNeverAnImage)
{
    const Redirection &c = GetParam();
    SCOPED_TRACE(c.what);
    if (windows() && (c.pipe || c.out[0] == '/'))
        GTEST_SKIP() << "/dev/stdout has no Windows counterpart";
    std::mt19937 rng(12);
    const std::string input = randombytes(rng, 2 * pagesize + 1);
    const std::string old = "old data image";
    spit(work / "dump", input);
    spit(work / "data", old);
    Wiring w;
    if (c.stdoutpath[0])
        w.stdoutpath = (work / c.stdoutpath).string();
    w.stdoutflags = c.flags;
    w.stdoutpipe = c.pipe;
    Result r = run("dump", c.out, w);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, lines({c.err}));
    EXPECT_TRUE(slurp(work / "dump") == input) << "the input changed";
    if (c.flags & O_TRUNC && c.stdoutpath[0])
        EXPECT_EQ(slurp(work / "data"), "") << "the shell's truncation";
    else
        EXPECT_TRUE(slurp(work / "data") == old) << "the output changed";
}

constexpr int trunc = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int append = O_WRONLY | O_APPEND;
const Redirection redirections[] = {
    {"OutputTruncated", "> data", "data", "data", trunc, false,
     "open: output is standard output"},
    {"OutputAppended", ">> data", "data", "data", append, false,
     "open: output is standard output"},
    {"OutputReadWrite", "1<> data", "data", "data", O_RDWR, false,
     "open: output is standard output"},
    {"InputReadWrite", "1<> dump", "data", "dump", O_RDWR, false,
     "open: input is standard output"},
    {"OutputTruncatedNamedDevStdout", "> data, /dev/stdout", "/dev/stdout",
     "data", trunc, false, "open: output is standard output"},
    {"OutputAppendedNamedDevStdout", ">> data, /dev/stdout", "/dev/stdout",
     "data", append, false, "open: output is standard output"},
    {"PipeNamedDevStdout", "| pipe, /dev/stdout", "/dev/stdout", "", trunc,
     true, "open: output is standard output"},
    {"PipeNamedDevFd1", "| pipe, /dev/fd/1", "/dev/fd/1", "", trunc, true,
     "open: output is standard output"},
};
INSTANTIATE_TEST_SUITE_P(Pagestrip, StandardOutput,
                         ::testing::ValuesIn(redirections), RowName());

// What stays allowed: echoes into a device that stores nothing, and the
// image streamed into a pipe through another descriptor while the names go
// elsewhere.
TEST_F(Pagestrip, StandardOutputThatIsNoImage)
{
    if (windows())
        GTEST_SKIP() << "/dev/null and /dev/fd have no Windows counterpart";
    std::mt19937 rng(13);
    const std::string input = randombytes(rng, 6 * pagesize + 100);
    spit(work / "dump", input);

    Wiring devnull;
    devnull.stdoutpath = "/dev/null";
    Result r = run("dump", "/dev/null", devnull);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    Wiring fd3 = devnull; // pagestrip dump /dev/fd/3 3>&1 >/dev/null | ...
    fd3.fd3pipe = true;
    r = run("dump", "/dev/fd/3", fd3);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.fd3 == model(input)) << "streamed bytes differ";
}

// A standard output that fails on the warning, after both names were
// echoed: the image is whole all the same, and the run ends with the reason.
TEST_F(Pagestrip, FailedWarningLeavesTheImageWhole)
{
    if (windows())
        GTEST_SKIP() << "/dev/fd and file size limits have no Windows "
                        "counterpart";
    std::mt19937 rng(15);
    const std::string input = randombytes(rng, 3 * pagesize + 5);
    const std::string in = "a-rather-long-dump-name.bin";
    spit(work / in, input);
    Wiring w;
    w.stdoutpath = (root / "log").string();
    w.fd3pipe = true;
    w.filesize = lines({in, "/dev/fd/3"}).size(); // room for the names alone
    Result r = run(in, "/dev/fd/3", w);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp(root / "log"), lines({in, "/dev/fd/3"}));
    EXPECT_EQ(r.err, errtext(EFBIG, "write"));
    EXPECT_TRUE(r.fd3 == model(input)) << "the image is not whole";
}

// The tool runs on a small stack whatever the page geometry it was built
// for.
TEST_F(Pagestrip, SmallStack)
{
    if (windows())
        GTEST_SKIP() << "a Windows program's stack is set in its header, "
                        "not by a limit its parent sets";
    Wiring w;
    w.stack = 64 * 1024;
    std::mt19937 rng(14);
    convertchecked(randombytes(rng, 5 * pagesize + 3), w);
}

// Offsets past 2 GiB on a sparse input: the data image itself passes 2^31
// bytes, and the blocks on both sides of that mark and at the end are exact.
TEST_F(Pagestrip, LargeImagePastTwoGiB)
{
    const std::uint64_t twogib = std::uint64_t(1) << 31;
    const std::uint64_t pages = twogib / datasize + 5;
    const std::uint64_t len = (pages - 1) * pagesize + 1000;
    const std::uint64_t midpage = twogib / datasize - 2;
    const std::uint64_t tailpage = pages - 3;

    std::mt19937 rng(31);
    const std::string mid = randombytes(rng, 4 * pagesize);
    const std::string tail = randombytes(rng, len - tailpage * pagesize);
    {
        std::ofstream f(work / "dump", std::ios::binary);
        f.seekp(std::streamoff(midpage * pagesize));
        f << mid;
        f.seekp(std::streamoff(tailpage * pagesize));
        f << tail;
        ASSERT_TRUE(f.flush());
    }
    ASSERT_EQ(fs::file_size(work / "dump"), len);

    Wiring w;
    w.timeout = 1200;
    Result r = run("dump", "data", w);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({"dump", "data", "Found EOF"}));
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(fs::file_size(work / "data"), pages * datasize);
    ASSERT_GT(pages * datasize, twogib);

    std::ifstream f(work / "data", std::ios::binary);
    auto blocks = [&f](std::uint64_t first, std::size_t n) {
        std::string s(n * datasize, '\0');
        f.seekg(std::streamoff(first * datasize));
        f.read(s.data(), std::streamsize(s.size()));
        return s;
    };
    EXPECT_TRUE(blocks(midpage, 4) == model(mid)) << "around 2 GiB";
    EXPECT_TRUE(blocks(tailpage, 3) == model(tail)) << "at the end";
    EXPECT_TRUE(blocks(0, 1) == std::string(datasize, '\0'));
}

} // namespace
