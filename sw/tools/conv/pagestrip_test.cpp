// Black-box tests: run the built pagestrip in a fresh folder and compare what
// it prints, its exit status and the image it writes with a model below.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{

// The geometry the tool under test was built for.
constexpr std::size_t datasize = PAGESTRIP_DATA_SIZE;
constexpr std::size_t pagesize = datasize + PAGESTRIP_SPARE_SIZE;

// What the tool should write for a whole input: one block per page begun,
// a short data area padded with 0xFF.
std::string model(const std::string &in)
{
    std::string out;
    for (std::size_t p = 0; p < in.size(); p += pagesize) {
        std::string block = in.substr(p, datasize);
        block.resize(datasize, '\xff');
        out += block;
    }
    return out;
}

std::string modelstdout(const std::string &in, const std::string &out,
                        std::size_t len)
{
    return in + "\n" + out + "\n" + (len % pagesize ? "Found EOF\n" : "");
}

std::string randombytes(std::mt19937 &rng, std::size_t n)
{
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(rng() & 0xff);
    return s;
}

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void spit(const fs::path &p, const std::string &bytes)
{
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << bytes;
    ASSERT_TRUE(f.flush()) << p;
}

std::string errtext(int err, const char *tag)
{
    return std::string(tag) + ": " + std::strerror(err) + "\n";
}

struct Result {
    int status;
    std::string out, err;
};

class Pagestrip : public ::testing::Test
{
  protected:
    fs::path root, work;

    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "pagestrip.XXXXXX");
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
        root = tmpl;
        work = root / "work";
        fs::create_directory(work);
    }

    void TearDown() override { fs::remove_all(root); }

    // Runs the tool in `work` with exactly this argument vector (argv[0]
    // included), standard input from /dev/null and standard output to
    // `stdoutpath` when given. A run that hangs is killed after ten minutes.
    Result run(const std::vector<std::string> &argv,
               const char *stdoutpath = nullptr)
    {
        fs::path outcap = root / "stdout", errcap = root / "stderr";
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);

        pid_t pid = fork();
        if (pid == 0) {
            const char *o = stdoutpath ? stdoutpath : outcap.c_str();
            int in = open("/dev/null", O_RDONLY);
            int out = open(o, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errcap.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 ||
                dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(work.c_str()) < 0)
                _exit(127);
            alarm(600);
            execv(PAGESTRIP_BINARY, args.data());
            _exit(127);
        }
        int ws = 0;
        EXPECT_EQ(waitpid(pid, &ws, 0), pid);
        EXPECT_TRUE(WIFEXITED(ws)) << "wait status " << ws;
        return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1,
                stdoutpath ? "" : slurp(outcap), slurp(errcap)};
    }

    Result run(const std::string &in, const std::string &out)
    {
        return run({"pagestrip", in, out});
    }

    // Converts `input` and checks everything the tool shows against the model.
    void convertchecked(const std::string &input)
    {
        spit(work / "dump", input);
        Result r = run("dump", "data");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, modelstdout("dump", "data", input.size()));
        EXPECT_EQ(r.err, "");
        std::string got = slurp(work / "data");
        EXPECT_EQ(got.size(), model(input).size());
        EXPECT_TRUE(got == model(input)) << "output bytes differ";
    }

    std::vector<fs::path> files()
    {
        return {fs::directory_iterator(work), fs::directory_iterator()};
    }
};

TEST_F(Pagestrip, LengthsAroundEveryBoundary)
{
    const std::size_t lengths[] = {0,
                                   1,
                                   datasize - 1,
                                   datasize,
                                   datasize + 1,
                                   pagesize - 1,
                                   pagesize,
                                   pagesize + 1,
                                   pagesize + 10,
                                   pagesize + datasize - 1,
                                   pagesize + datasize,
                                   pagesize + datasize + 10,
                                   2 * pagesize,
                                   7 * pagesize,
                                   7 * pagesize + 1};
    std::mt19937 rng(20261210);
    for (std::size_t len : lengths) {
        SCOPED_TRACE("length " + std::to_string(len));
        convertchecked(randombytes(rng, len));
    }
}

TEST_F(Pagestrip, RandomLengthsAndContents)
{
    std::mt19937 rng(4242);
    for (int i = 0; i < 40; i++) {
        std::size_t len = rng() % (40 * pagesize);
        SCOPED_TRACE("length " + std::to_string(len));
        convertchecked(randombytes(rng, len));
    }
}

// Written out by hand rather than by the model: a short last page is padded
// with erased flash, not with what the page before it held.
TEST_F(Pagestrip, ShortPageIsFilledWithErasedBytes)
{
    struct Case {
        std::string input, expected;
    } cases[] = {
        {std::string(pagesize, '\x00') + "0123456789",
         std::string(datasize, '\x00') + "0123456789" +
             std::string(datasize - 10, '\xff')},
        {"abc", "abc" + std::string(datasize - 3, '\xff')},
    };
    for (const Case &c : cases) {
        spit(work / "dump", c.input);
        Result r = run("dump", "data");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "dump\ndata\nFound EOF\n");
        EXPECT_TRUE(slurp(work / "data") == c.expected);
    }
}

TEST_F(Pagestrip, UsageWithoutTwoOperands)
{
    struct Case {
        std::vector<std::string> argv;
        std::string usage;
    } cases[] = {
        {{"pagestrip"}, "usage: pagestrip file1 file2\n"},
        {{"pagestrip", "dump"}, "usage: pagestrip file1 file2\n"},
        {{"/opt/flash/bin/ps", "dump"},
         "usage: /opt/flash/bin/ps file1 file2\n"},
        {{}, "usage: pagestrip file1 file2\n"},
        {{""}, "usage: pagestrip file1 file2\n"},
    };
    spit(work / "dump", std::string(pagesize, 'x'));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.usage);
        Result r = run(c.argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.usage);
        EXPECT_EQ(files().size(), 1u) << "a file was created";
    }
}

TEST_F(Pagestrip, OperandsPastTheSecondAreIgnored)
{
    std::mt19937 rng(7);
    std::string input = randombytes(rng, 3 * pagesize + 5);
    spit(work / "dump", input);
    Result r = run({"pagestrip", "dump", "data", "extra", "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "dump\ndata\nFound EOF\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(slurp(work / "data") == model(input));
    EXPECT_EQ(files().size(), 2u);
}

// A lone hyphen is a file name like any other, not standard input or output.
TEST_F(Pagestrip, HyphenIsAFileName)
{
    std::mt19937 rng(8);
    std::string input = randombytes(rng, 2 * pagesize);

    spit(work / "-", input);
    Result r = run("-", "data");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-\ndata\n");
    EXPECT_TRUE(slurp(work / "data") == model(input));

    fs::remove(work / "-");
    spit(work / "dump", input);
    r = run("dump", "-");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "dump\n-\n");
    EXPECT_TRUE(slurp(work / "-") == model(input));
}

TEST_F(Pagestrip, MissingInputCreatesAndTouchesNothing)
{
    Result r = run("nothere", "data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "nothere\n");
    EXPECT_EQ(r.err, errtext(ENOENT, "open"));
    EXPECT_FALSE(fs::exists(work / "data"));

    spit(work / "data", "keep me");
    r = run("nothere", "data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp(work / "data"), "keep me");
}

TEST_F(Pagestrip, OutputThatCannotBeCreated)
{
    spit(work / "dump", std::string(pagesize, 'x'));
    Result r = run("dump", "nodir/data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "dump\nnodir/data\n");
    EXPECT_EQ(r.err, errtext(ENOENT, "open"));
}

TEST_F(Pagestrip, ExistingOutputIsTruncated)
{
    spit(work / "data", std::string(10 * datasize, 'o'));
    convertchecked(std::string(pagesize + 1, 'i'));
}

TEST_F(Pagestrip, ReadErrorIsNotTheEndOfInput)
{
    fs::create_directory(work / "adir");
    Result r = run("adir", "data");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "adir\ndata\n");
    EXPECT_EQ(r.err, errtext(EISDIR, "read"));
}

TEST_F(Pagestrip, WriteErrorsAreReported)
{
    // One page stays in the stream's buffer until the final close; many
    // pages make a write fail on the way; an endless input must stop at the
    // first failed write rather than run on.
    spit(work / "one", std::string(pagesize, 'x'));
    spit(work / "many", std::string(4000 * pagesize, 'x'));
    for (const char *in : {"one", "many", "/dev/zero"}) {
        SCOPED_TRACE(in);
        Result r = run(in, "/dev/full");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string(in) + "\n/dev/full\n");
        EXPECT_EQ(r.err, errtext(ENOSPC, "write"));
    }
}

TEST_F(Pagestrip, StandardOutputErrorIsReported)
{
    std::string input(pagesize + 3, 'x');
    spit(work / "dump", input);
    Result r = run({"pagestrip", "dump", "data"}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errtext(ENOSPC, "write"));
    EXPECT_TRUE(slurp(work / "data") == model(input));
}

TEST_F(Pagestrip, SameFileIsRefusedAndLeftIntact)
{
    std::mt19937 rng(9);
    const std::string input = randombytes(rng, 3 * pagesize);
    spit(work / "dump", input);
    fs::create_hard_link(work / "dump", work / "hard");
    fs::create_symlink("dump", work / "soft");
    for (const char *out : {"dump", "./dump", "hard", "soft"}) {
        SCOPED_TRACE(out);
        Result r = run("dump", out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string("dump\n") + out + "\n");
        EXPECT_EQ(r.err, "open: input and output are the same file\n");
        EXPECT_TRUE(slurp(work / "dump") == input);
    }
}

// A device holds no stored bytes to lose, so reading and writing one is fine.
TEST_F(Pagestrip, SameDeviceIsAllowed)
{
    Result r = run("/dev/null", "/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/dev/null\n/dev/null\n");
    EXPECT_EQ(r.err, "");
}

// Offsets past 2 GiB on a sparse input: the size of the image and the
// blocks around the 2 GiB mark and at the end must be exact.
TEST_F(Pagestrip, LargeImagePastTwoGiB)
{
    const std::uint64_t twogib = std::uint64_t(1) << 31;
    const std::uint64_t len = twogib + 5 * pagesize + 1000;
    const std::uint64_t pages = (len + pagesize - 1) / pagesize;
    const std::uint64_t midpage = twogib / pagesize - 1;
    const std::uint64_t tailpage = pages - 4;

    std::mt19937 rng(31);
    const std::string mid = randombytes(rng, 3 * pagesize);
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

    Result r = run("dump", "data");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "dump\ndata\nFound EOF\n");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(fs::file_size(work / "data"), pages * datasize);

    std::ifstream f(work / "data", std::ios::binary);
    auto blocks = [&f](std::uint64_t first, std::size_t n) {
        std::string s(n * datasize, '\0');
        f.seekg(std::streamoff(first * datasize));
        f.read(s.data(), std::streamsize(s.size()));
        return s;
    };
    EXPECT_TRUE(blocks(midpage, 3) == model(mid));
    EXPECT_TRUE(blocks(tailpage, 4) == model(tail));
    EXPECT_TRUE(blocks(0, 1) == std::string(datasize, '\0'));
}

} // namespace
