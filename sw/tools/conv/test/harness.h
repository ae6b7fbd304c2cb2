// What the black-box tests share: a model of the tool's output, and a
// fixture that runs the built pagestrip in a fresh folder and shows what it
// printed, its exit status and the files it left.
//
// The tool may be a foreign program (a 32-bit or a Windows build); it then
// runs through the emulator that the build names, as CMake runs such
// programs, and cases that cannot be shown through it are skipped, saying
// why.

#ifndef PAGESTRIP_TEST_HARNESS_H
#define PAGESTRIP_TEST_HARNESS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

// The geometry the tool under test was built for.
constexpr std::size_t datasize = PAGESTRIP_DATA_SIZE;
constexpr std::size_t pagesize = datasize + PAGESTRIP_SPARE_SIZE;

// The emulator that runs the tool, as words; empty for a native tool.
std::vector<std::string> emulator();
bool windows();
// Whether the tool can be handed an argv[0] of the test's choosing.
bool canchooseargv0();

// Lines as the tool writes them: Windows programs end them with CR LF.
std::string lines(std::initializer_list<std::string> ls);

// What the tool should write for a whole input: one block per page begun,
// a short data area padded with 0xFF. A variant has other sizes.
std::string model(const std::string &in, std::size_t data = datasize,
                  std::size_t page = pagesize);
// What it echoes converting `len` bytes from `in` into `out`.
std::string modelstdout(const std::string &in, const std::string &out,
                        std::size_t len, std::size_t page = pagesize);

std::string randombytes(std::mt19937 &rng, std::size_t n);
std::string slurp(const fs::path &p);
void spit(const fs::path &p, const std::string &bytes);

// "tag: reason" as the tool reports it. Windows programs word the reasons
// in their own runtime, so there only the tag is known for certain.
std::string errtext(int err, const char *tag);
void expecterr(const std::string &got, int err, const char *tag);

// A word quoted for sh.
std::string shq(const std::string &word);

// A file system mounted on `dir` (`ok` when it could be), unmounted at the
// end of its scope.
struct Mount {
    std::string dir;
    bool ok;
    Mount(const std::string &what, const fs::path &on, const char *options);
    ~Mount();
};

// A loop device standing for `file`, or "" where none can be had (it needs
// root, losetup and /dev/loop*). The caller detaches it with losetup -d.
std::string attachloop(const fs::path &file);

// Reads a pipe to its end on a thread of its own, so that the tool never
// blocks on a full pipe while the test waits for it.
struct Drain {
    std::string bytes;
    std::thread t;
    explicit Drain(int fd);
};

// How one run is wired, beyond its argument vector.
struct Wiring {
    std::string stdoutpath; // empty: captured into Result::out
    int stdoutflags = O_WRONLY | O_CREAT | O_TRUNC; // >; >> and 1<> too
    bool stdoutpipe = false;     // standard output is a pipe, read into out
    bool stderrtostdout = false; // 2>&1
    bool closed02 = false;       // <&- 2>&-
    bool fd3pipe = false;        // descriptor 3 is a pipe, read into fd3
    const std::string *stdinbytes = nullptr; // fed through a pipe
    rlim_t stack = 0;                        // a stack limit, in bytes
    rlim_t filesize = 0; // a file size limit, in bytes; SIGXFSZ at default
    unsigned timeout = 60;
};

struct Result {
    int status;
    std::string out, err, fd3;
};

// Each test gets a fresh folder `root`, and the tool runs in `work` within
// it; both are removed afterwards.
class Pagestrip : public ::testing::Test
{
  protected:
    fs::path root, work;
    // The program that run() starts, and its geometry: the tool under test,
    // unless a test points them at one of its variants.
    std::string tool = PAGESTRIP_BINARY;
    std::size_t tooldata = datasize, toolpage = pagesize;

    void SetUp() override;
    void TearDown() override;

    // Runs the tool in `work` with this argument vector (argv[0] included)
    // and standard input from /dev/null unless wired otherwise. A run that
    // hangs is killed after `w.timeout` seconds.
    Result run(const std::vector<std::string> &argv, const Wiring &w = {});
    Result run(const std::string &in, const std::string &out,
               const Wiring &w = {});

    // Converts `input` over an output that already holds other bytes and
    // checks everything the tool shows against the model.
    void convertchecked(const std::string &input, const Wiring &w = {});

    std::vector<fs::path> files();
};

// A table of cases, each row a test of its own: TEST_P on an alias of
// Table<Row>, instantiated with RowName so that a row is named by its
// `name`, which must be a valid identifier. A PrintTo for Row that prints
// the name keeps GoogleTest from printing the row's bytes.
template <typename Row>
class Table : public Pagestrip, public ::testing::WithParamInterface<Row>
{
};

struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row> &info) const
    {
        return info.param.name;
    }
};

#endif
