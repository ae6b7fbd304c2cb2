// Linux only: one storage under other names (loop devices, partitions,
// device nodes, a file system's own device, pipes), standard error among the
// files, closed descriptors, and the signals a run must not die of. Each
// case is a shell command line, as a user types it; the tool is the shell
// function `pagestrip`.

#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

bool have(const char *program)
{
    return system(("command -v " + std::string(program) + " >/dev/null 2>&1")
                      .c_str()) == 0;
}

// Runs `script` with sh in `work`, standard input from /dev/null, with the
// signals at their defaults. The whole process group is killed after
// `timeout` seconds, and that fails the test.
Result shell(const fs::path &root, const fs::path &work,
             const std::string &script, unsigned timeout = 30)
{
    std::string tool;
    for (const std::string &word : emulator())
        tool += shq(word) + " ";
    tool += shq(PAGESTRIP_BINARY);
    const std::string full = "PAGESTRIP=" + shq(PAGESTRIP_BINARY) +
                             "\npagestrip() { " + tool + " \"$@\"; }\n" +
                             script + "\n";
    const fs::path outcap = root / "sh.stdout", errcap = root / "sh.stderr";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(outcap.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errcap.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 ||
            dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(work.c_str()) < 0 ||
            signal(SIGPIPE, SIG_DFL) == SIG_ERR ||
            signal(SIGXFSZ, SIG_DFL) == SIG_ERR)
            _exit(126);
        for (int fd = 3; fd < 64; fd++)
            close(fd);
        execl("/bin/sh", "sh", "-c", full.c_str(), (char *)nullptr);
        _exit(127);
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    int ws = 0;
    pid_t got;
    while ((got = waitpid(pid, &ws, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        usleep(20000);
    // What the script left behind goes too.
    kill(-pid, SIGKILL);
    if (got == 0) {
        waitpid(pid, &ws, 0);
        ADD_FAILURE() << "timed out after " << timeout << " s: " << script;
    }
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, slurp(outcap), slurp(errcap),
            ""};
}

std::string replaced(std::string s, const std::string &from,
                     const std::string &to)
{
    for (std::size_t at; (at = s.find(from)) != std::string::npos;)
        s.replace(at, from.size(), to);
    return s;
}

// What needs root and its tools says so, once, in the skip.
const char *rootless()
{
    if (windows())
        return "Linux only";
    if (!emulator().empty())
        return "the cases run the tool natively only";
    if (geteuid() != 0)
        return "needs root";
    return nullptr;
}

// A loop device, detached at the end of its scope, whatever happens.
struct Loop {
    std::string dev;
    Loop(const fs::path &file, bool partitions)
    {
        if (!have("losetup"))
            return;
        std::string cmd = std::string("losetup -f --show ") +
                          (partitions ? "-P " : "") + shq(file.string()) +
                          " 2>/dev/null";
        FILE *p = popen(cmd.c_str(), "r");
        char buf[256] = "";
        if (p && fgets(buf, sizeof buf, p))
            dev = std::string(buf, strcspn(buf, "\n"));
        if (p)
            pclose(p);
    }
    ~Loop()
    {
        if (!dev.empty()) {
            EXPECT_EQ(system(("losetup -d " + dev).c_str()), 0);
        }
    }
};

bool isblock(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// A partition of `disk`, made as a user makes it; its node may take a
// moment to appear.
bool addpart(const std::string &disk, int n, int start, int sectors)
{
    std::string cmd = "addpart " + disk + " " + std::to_string(n) + " " +
                      std::to_string(start) + " " + std::to_string(sectors);
    if (system(cmd.c_str()) != 0)
        return false;
    std::string node = disk + "p" + std::to_string(n);
    for (int i = 0; i < 100 && !isblock(node); i++)
        usleep(20000);
    return isblock(node);
}

// One storage under two names: refused, and nothing of it changes. Two
// partitions of one disk, or two files of one file system, are apart.
// `asuser`, `nodevices`: a file system as in `filesystem`, used by a user
// who may not open its loop device, or where /dev has no nodes.
enum class setup {
    loop,
    partitions,
    twoloops, // a second loop device, $M, over the same file
    node,
    null,
    filesystem,
    shadowed,
    asuser,
    nodevices,
    deleted // nodevices, and the loop device's file removed
};
struct Storage {
    const char *name;
    setup kind;
    const char *in, *out; // $L the loop device, $P1 and $P2 its partitions
    bool refused;
};
void PrintTo(const Storage &row, std::ostream *os) { *os << row.name; }

using SameStorage = Table<Storage>;

TEST_P(SameStorage, IsRefusedAndLeftIntact)
{
    const Storage &c = GetParam();
    if (const char *why = rootless())
        GTEST_SKIP() << why;
    std::mt19937 rng(1310);
    // Sectors 2048 to 6143 and 6144 to 10239 are the partitions.
    const std::string bytes = randombytes(rng, 8 << 20);
    const fs::path file = work / "file";
    spit(file, bytes);
    std::string in = c.in, out = c.out;
    if (c.kind == setup::null) {
        if (mknod((work / "null2").c_str(), S_IFCHR | 0666, makedev(1, 3)))
            GTEST_SKIP() << "mknod: " << std::strerror(errno);
        Result r = shell(root, work, "pagestrip " + in + " " + out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, lines({in, out}));
        EXPECT_EQ(r.err, lines({"open: input and output are the same file"}));
        return;
    }
    const bool nodevices =
        c.kind == setup::nodevices || c.kind == setup::deleted;
    const bool filesystem =
        c.kind == setup::filesystem || c.kind == setup::asuser || nodevices;
    if (c.kind == setup::asuser && !have("setpriv"))
        GTEST_SKIP() << "needs setpriv";
    if (nodevices && system("unshare -m true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs unshare -m";
    std::string mkfs;
    if (filesystem) {
        if (!have("mkfs.ext4"))
            GTEST_SKIP() << "needs mkfs.ext4";
        mkfs = "mkfs.ext4 -q -F " + shq(file.string()) + " >/dev/null 2>&1";
        ASSERT_EQ(system(mkfs.c_str()), 0);
    }
    // The loop device's file is known as "file" too, and then another
    // file takes its first name, under a mount over its folder.
    const fs::path hidden = work / "folder/file";
    if (c.kind == setup::shadowed) {
        fs::create_directories(hidden.parent_path());
        fs::rename(file, hidden);
        fs::create_hard_link(hidden, file);
    }
    Loop loop(c.kind == setup::shadowed ? hidden : file,
              c.kind == setup::partitions);
    std::unique_ptr<Loop> second;
    if (c.kind == setup::twoloops)
        second = std::make_unique<Loop>(file, false);
    if (loop.dev.empty())
        GTEST_SKIP() << "no loop device to be had (needs losetup and "
                        "/dev/loop*)";
    if (c.kind == setup::partitions &&
        (!have("addpart") || !addpart(loop.dev, 1, 2048, 4096) ||
         !addpart(loop.dev, 2, 6144, 4096)))
        GTEST_SKIP() << "no partitions of a loop device to be had (needs "
                        "addpart and devtmpfs)";
    if (second && second->dev.empty())
        GTEST_SKIP() << "no second loop device to be had";
    if (c.kind == setup::node) {
        struct stat st;
        ASSERT_EQ(stat(loop.dev.c_str(), &st), 0);
        ASSERT_EQ(mknod((work / "node").c_str(), S_IFBLK | 0600, st.st_rdev), 0)
            << std::strerror(errno);
    }
    std::unique_ptr<Mount> over;
    if (c.kind == setup::shadowed) {
        over = std::make_unique<Mount>("pagestrip", hidden.parent_path(),
                                       "-t tmpfs");
        if (!over->ok)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        spit(hidden, "another file");
    }
    std::string dump;
    std::unique_ptr<Mount> mnt;
    if (filesystem) {
        mnt = std::make_unique<Mount>(loop.dev, work / "mnt", "-t ext4");
        if (!mnt->ok)
            GTEST_SKIP() << "cannot mount ext4 here";
        dump = randombytes(rng, 100 * pagesize + 10);
        spit(work / "mnt/dump", dump);
        ASSERT_EQ(system("sync"), 0);
    }
    // Without device nodes the tool knows the loop device's file by the
    // name the kernel shows, which in a chroot is a path from outside it.
    const std::string unshared = "unshare -m sh -c 'mount -t tmpfs none "
                                 "/dev && exec \"$0\" \"$@\"' ";
    if (c.kind == setup::nodevices &&
        shell(root, work,
              unshared + "sh -c 'test \"$0\" -ef \"$(cat /sys/block/" +
                  fs::path(loop.dev).filename().string() +
                  "/loop/backing_file)\"' file")
                .status != 0)
        GTEST_SKIP() << "the kernel names the loop device's file by a path "
                        "that does not lead to it here (a chroot)";
    // Known neither by its device nor by the name the kernel shows.
    if (c.kind == setup::deleted)
        fs::remove(file);
    std::string tool = "pagestrip ";
    if (c.kind == setup::asuser) {
        fs::permissions(root, fs::perms::owner_all | fs::perms::others_exec);
        fs::permissions(work / "mnt", fs::perms::all);
        tool = "setpriv --reuid=65534 --regid=65534 --clear-groups "
               "\"$PAGESTRIP\" ";
    }
    if (nodevices)
        tool = unshared + "\"$PAGESTRIP\" ";
    for (std::string *name : {&in, &out}) {
        *name = replaced(*name, "$P", loop.dev + "p");
        *name = replaced(*name, "$L", loop.dev);
        if (second)
            *name = replaced(*name, "$M", second->dev);
    }
    const std::string before = slurp(file);
    Result r = shell(root, work, tool + in + " " + out);
    if (c.refused) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, lines({in, out}));
        EXPECT_EQ(r.err, lines({"open: input and output are the same file"}));
        if (!filesystem) {
            EXPECT_TRUE(slurp(file) == before) << "the storage changed";
            return;
        }
        // A mounted file system writes to its device of its own accord.
        EXPECT_TRUE(slurp(work / "mnt/dump") == dump) << "the dump changed";
        mnt.reset();
        EXPECT_EQ(
            system(("e2fsck -fn " + shq(file.string()) + " >/dev/null 2>&1")
                       .c_str()),
            0)
            << "the file system is damaged";
        return;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    if (filesystem) {
        EXPECT_TRUE(slurp(work / "mnt/data") == model(dump));
        return;
    }
    // The second partition holds the image of the first; the first is
    // as it was.
    const std::string p1 = bytes.substr(2048 * 512, 4096 * 512);
    const std::string image = model(p1);
    const std::string after = slurp(file);
    EXPECT_EQ(r.out, lines({in, out, "Found EOF"}));
    EXPECT_TRUE(after.substr(2048 * 512, 4096 * 512) == p1);
    EXPECT_TRUE(after.substr(6144 * 512, image.size()) == image);
}

const Storage storages[] = {
    {"LoopDeviceOverItsFile", setup::loop, "file", "$L", true},
    {"FileUnderItsLoopDevice", setup::loop, "$L", "file", true},
    {"LoopDeviceOverANodeOfItsOwn", setup::node, "$L", "node", true},
    {"NodeOfALoopDeviceOverItsFile", setup::node, "node", "file", true},
    {"NullOverANodeOfItsOwn", setup::null, "/dev/null", "null2", true},
    {"NodeOfNullOverNull", setup::null, "null2", "/dev/null", true},
    {"PartitionOverItsDisk", setup::partitions, "$P1", "$L", true},
    {"DiskOverItsPartition", setup::partitions, "$L", "$P1", true},
    {"BackingFileOverAPartition", setup::partitions, "file", "$P1", true},
    {"PartitionOverTheBackingFile", setup::partitions, "$P1", "file", true},
    {"TwoPartitionsOfOneDisk", setup::partitions, "$P1", "$P2", false},
    {"TwoLoopDevicesOverOneFile", setup::twoloops, "$L", "$M", true},
    {"FileSystemsDeviceOverItsFile", setup::filesystem, "mnt/dump", "$L", true},
    {"FileOverItsFileSystemsDevice", setup::filesystem, "$L", "mnt/data", true},
    {"FileSystemsBackingFileOverItsFile", setup::filesystem, "mnt/dump", "file",
     true},
    {"TwoFilesOfOneFileSystem", setup::filesystem, "mnt/dump", "mnt/data",
     false},
    {"TwoFilesOfOneFileSystemForAnotherUser", setup::asuser, "mnt/dump",
     "mnt/data", false},
    {"TwoFilesOfOneFileSystemWithoutDeviceNodes", setup::nodevices, "mnt/dump",
     "mnt/data", false},
    // Standard output and error store nothing, so only the two files are
    // compared: they meet on the loop device, above what cannot be seen.
    {"TwoFilesOfOneFileSystemOverADeletedFileWithoutDeviceNodes",
     setup::deleted, "mnt/dump", "mnt/data >/dev/null 2>&1", false},
    {"LoopDeviceOverItsFileNowUnderAMount", setup::shadowed, "file", "$L",
     true},
    {"FileNowUnderAMountUnderItsLoopDevice", setup::shadowed, "$L", "file",
     true},
};
INSTANTIATE_TEST_SUITE_P(Linux, SameStorage, ::testing::ValuesIn(storages),
                         RowName());

// Shell command lines over a dump named `dump` and an older image named
// `data`, with what the run must show. `data` of "-" means no image is
// made; "=" that it is left as it was; "*" that it is whole; "" that it
// is empty; "<" that it is cut short but holds nothing else.
enum class needs { nothing, vcs };
struct Line {
    const char *name, *script;
    int status;
    const char *out, *err, *data;
    needs setup;
};
void PrintTo(const Line &row, std::ostream *os) { *os << row.name; }

using CommandLine = Table<Line>;

TEST_P(CommandLine, EndsWithAReason)
{
    const Line &c = GetParam();
    if (windows())
        GTEST_SKIP() << "Linux only";
    if (c.setup == needs::vcs) {
        // A console's screen memory: a character device that keeps what
        // is written to it, as a flash chip's does.
        struct stat st;
        if (const char *why = rootless())
            GTEST_SKIP() << why;
        if (stat("/dev/vcs1", &st) != 0 || !S_ISCHR(st.st_mode))
            GTEST_SKIP() << "no /dev/vcs1 here";
        if (mknod((work / "vcs").c_str(), S_IFCHR | 0600, st.st_rdev) != 0)
            GTEST_SKIP() << "mknod: " << std::strerror(errno);
        int fd = open((work / "vcs").c_str(), O_RDWR);
        if (fd < 0)
            GTEST_SKIP() << "/dev/vcs1: " << std::strerror(errno);
        close(fd);
    }
    std::mt19937 rng(1311);
    const std::string input = randombytes(rng, 500 * pagesize + 100);
    const std::string old = "older image";
    spit(work / "dump", input);
    if (std::string(c.data) != "-")
        spit(work / "data", old);
    SCOPED_TRACE(c.script);
    Result r = shell(root, work, c.script);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(slurp(work / "dump") == input) << "the dump changed";
    const std::string data = c.data, image = model(input);
    if (data == "-") {
        EXPECT_FALSE(fs::exists(work / "data"));
    } else if (data == "=") {
        EXPECT_TRUE(slurp(work / "data") == old) << "the image changed";
    } else if (data == "*") {
        EXPECT_TRUE(slurp(work / "data") == image) << "not whole";
    } else if (data.empty()) {
        EXPECT_EQ(slurp(work / "data"), "");
    } else {
        std::string got = slurp(work / "data");
        EXPECT_GT(got.size(), 0u);
        EXPECT_LT(got.size(), image.size());
        EXPECT_TRUE(image.compare(0, got.size(), got) == 0)
            << "the image is not its first bytes";
    }
}

// Each line ends in the status it gave, on standard output.
const Line commandlines[] = {
    // The same pipe or FIFO, in and out: refused at once.
    {"SameFifo", "mkfifo ff; cat dump >ff & pagestrip ff ff; echo $?", 0,
     "ff\nff\n1\n", "open: input and output are the same file\n", "=",
     needs::nothing},
    {"SamePipeTwice", "cat dump | pagestrip /dev/stdin /dev/stdin; echo $?", 0,
     "/dev/stdin\n/dev/stdin\n1\n",
     "open: input and output are the same file\n", "=", needs::nothing},
    {"SamePipeByFd0", "cat dump | pagestrip /dev/stdin /dev/fd/0; echo $?", 0,
     "/dev/stdin\n/dev/fd/0\n1\n", "open: input and output are the same file\n",
     "=", needs::nothing},
    // A reader of standard output that left before the start, and after
    // the two names (the dump comes only then): the failed echo is said,
    // and the image holds every block converted.
    {"ReaderLeftBeforeTheStart",
     "mkfifo p; (exec 3<p) & exec 4>p; wait\n"
     "pagestrip dump data >&4; echo $?",
     0, "1\n", "write: Broken pipe\n", "-", needs::nothing},
    {"ReaderLeftAfterTheNames",
     "mkfifo ff p; pagestrip ff data >p & exec 6<p 7>ff\n"
     "head -n 2 <&6; exec 6<&-; cat dump >&7; exec 7>&-; wait $!; echo $?",
     0, "ff\ndata\n1\n", "write: Broken pipe\n", "*", needs::nothing},
    // Standard error is one of the files: nothing is said, nothing written.
    {"StandardErrorAppendedToTheDump", "pagestrip dump nodir/x 2>>dump", 1, "",
     "", "=", needs::nothing},
    {"StandardErrorAppendedToTheImage", "pagestrip /proc/self/mem data 2>>data",
     1, "", "", "=", needs::nothing},
    {"StandardErrorOpenOnTheDump", "pagestrip dump data 2<>dump", 1, "", "",
     "=", needs::nothing},
    {"StandardErrorNamedAsTheImage", "pagestrip dump /dev/stderr 2>>data", 1,
     "", "", "=", needs::nothing},
    // Closed descriptors, together: the placeholder of one never takes the
    // place of another, and no file opened becomes a message stream.
    {"ClosedInputAndErrorOverDevStdin",
     "pagestrip /dev/stdin data <&- 2>&-; echo $?", 0, "/dev/stdin\n1\n", "",
     "=", needs::nothing},
    {"ClosedOutputAndErrorOverDevStdout",
     "pagestrip dump /dev/stdout >&- 2>&- || echo failed", 0, "failed\n", "",
     "=", needs::nothing},
    {"ClosedInputAndErrorOverAReadError",
     "pagestrip /proc/self/mem data <&- 2>&-", 1, "/proc/self/mem\ndata\n", "",
     "", needs::nothing},
    {"ClosedOutput", "pagestrip dump data >&-", 1, "",
     "write: Bad file descriptor\n", "=", needs::nothing},
    {"ClosedInputAndOutput", "pagestrip dump data <&- >&-", 1, "",
     "write: Bad file descriptor\n", "=", needs::nothing},
    {"ClosedInputAndError", "pagestrip dump data <&- 2>&-", 0,
     "dump\ndata\nFound EOF\n", "", "*", needs::nothing},
    {"ClosedError", "pagestrip dump data 2>&-", 0, "dump\ndata\nFound EOF\n",
     "", "*", needs::nothing},
    {"AllThreeClosed", "pagestrip dump data <&- >&- 2>&- || echo failed", 0,
     "failed\n", "", "=", needs::nothing},
    // A file size limit, with SIGXFSZ at its default: the failed write is
    // said (the image is cut at the limit, checked below).
    {"FileSizeLimit", "ulimit -f 1000; pagestrip dump data; echo $?", 0,
     "dump\ndata\n1\n", "write: File too large\n", "<", needs::nothing},
    // A character device that stores bytes, as input and standard output,
    // or as output and standard output.
    {"CharacterDeviceInputIsStandardOutput",
     "pagestrip ./vcs data 1<>./vcs || echo failed >&2", 0, "",
     "open: input is standard output\nfailed\n", "=", needs::vcs},
    {"CharacterDeviceOutputIsStandardOutput",
     "pagestrip dump ./vcs 1<>./vcs || echo failed >&2", 0, "",
     "open: output is standard output\nfailed\n", "=", needs::vcs},
};
INSTANTIATE_TEST_SUITE_P(Linux, CommandLine, ::testing::ValuesIn(commandlines),
                         RowName());

// A block device whose writes are lost (a loop device over a sparse file
// on a file system too small for it): closing it would not tell, the sync
// at the end does.
TEST_F(Pagestrip, LoopDeviceThatLosesWritesFails)
{
    if (const char *why = rootless())
        GTEST_SKIP() << why;
    Mount tiny("pagestrip", root / "tiny", "-t tmpfs -o size=1m");
    if (!tiny.ok)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    {
        std::ofstream f(root / "tiny/sparse", std::ios::binary);
        f.seekp((16 << 20) - 1);
        f << 'x';
        ASSERT_TRUE(f.flush());
    }
    std::mt19937 rng(1312);
    const std::string input = randombytes(rng, 2000 * pagesize + 1);
    spit(work / "dump", input);
    Loop loop(root / "tiny/sparse", false);
    if (loop.dev.empty())
        GTEST_SKIP() << "no loop device to be had (needs losetup and "
                        "/dev/loop*)";
    Result r = shell(root, work, "pagestrip dump " + loop.dev);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines({"dump", loop.dev, "Found EOF"}));
    EXPECT_EQ(r.err.rfind("write: ", 0), 0u) << r.err;
    EXPECT_TRUE(slurp(work / "dump") == input) << "the dump changed";
}

// Look-ups that fail on the way (EIO injected into the Nth stat or fstat,
// for every N up to past the last): the run ends with status 1 and nothing
// lands in either file, whichever stream is one of them.
struct Injection {
    const char *name, *redirection;
};
void PrintTo(const Injection &row, std::ostream *os) { *os << row.name; }

using FailedLookUp = Table<Injection>;

// Why the look-ups of a run cannot be failed with strace here, if they can't.
const char *untraceable()
{
    if (windows())
        return "Linux only";
    if (!emulator().empty())
        return "strace would count the emulator's own calls";
    if (system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0)
        return "strace is missing or cannot trace here (apt-get install -y "
               "strace)";
    return nullptr;
}

TEST_P(FailedLookUp, NeverLetsAStreamIntoAFile)
{
    if (const char *why = untraceable())
        GTEST_SKIP() << why;
    std::mt19937 rng(1313);
    const std::string input = randombytes(rng, 20 * pagesize + 1);
    const std::string old = "older image";
    for (int n = 1; n <= 40; n++) {
        SCOPED_TRACE("stat or fstat number " + std::to_string(n));
        spit(work / "dump", input);
        spit(work / "data", old);
        Result r = shell(root, work,
                         // A sanitizer's leak check cannot run under
                         // ptrace, and would say so into the file.
                         "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o "
                         "/dev/null "
                         "-e inject=%stat,%fstat:error=EIO:when=" +
                             std::to_string(n) + " \"$PAGESTRIP\" dump data " +
                             GetParam().redirection);
        // The loader fails before the tool runs, and says so where it can.
        if (r.status == 127)
            continue;
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(slurp(work / "dump") == input) << "the dump changed";
        EXPECT_TRUE(slurp(work / "data") == old) << "the image changed";
    }
}

const Injection injections[] = {
    {"StandardOutputAppendedToTheDump", ">>dump"},
    {"StandardOutputAppendedToTheImage", ">>data"},
    {"StandardOutputOpenOnTheDump", "1<>dump"},
    {"StandardErrorAppendedToTheDump", "2>>dump"},
    {"StandardErrorAppendedToTheImage", "2>>data"},
    {"BothAppendedToTheImage", ">>data 2>&1"},
};
INSTANTIATE_TEST_SUITE_P(Linux, FailedLookUp, ::testing::ValuesIn(injections),
                         RowName());

// A name that was not there when looked up (a file created or renamed into
// place meanwhile: a look-up told "no such file" stands in for that) is
// checked again once open, before a byte of the image is written. The names
// echoed before then went to what standard output was.
struct Vanished {
    const char *name, *file, *redirection;
    int when; // which look-up of `file` is told it is not there
    const char *err, *echoedinto, *echoes;
};
void PrintTo(const Vanished &row, std::ostream *os) { *os << row.name; }

using NameLookedAbsent = Table<Vanished>;

TEST_P(NameLookedAbsent, IsCheckedOnceOpen)
{
    const Vanished &row = GetParam();
    if (const char *why = untraceable())
        GTEST_SKIP() << why;
    std::mt19937 rng(1717);
    const std::string input = randombytes(rng, 20 * pagesize + 1);
    const std::string old = "older image";
    spit(work / "dump", input);
    spit(work / "data", old);
    // strace says where its path leads on its own standard error, which
    // is kept apart from the tool's.
    Result r = shell(
        root, work,
        "export PAGESTRIP; ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o "
        "/dev/null -P " +
            std::string(row.file) +
            " -e trace=%stat,%fstat -e inject=%stat,%fstat:error=ENOENT:when=" +
            std::to_string(row.when) + " sh -c '\"$PAGESTRIP\" dump data " +
            row.redirection + "' 2>/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fs::exists(work / "errors") ? slurp(work / "errors") : "",
              row.err);
    std::string dump = input, data = old;
    (std::string(row.echoedinto) == "dump" ? dump : data) += row.echoes;
    EXPECT_TRUE(slurp(work / "dump") == dump) << "the dump changed";
    EXPECT_TRUE(slurp(work / "data") == data) << "the image changed";
}

const Vanished vanished[] = {
    {"StandardOutputOnTheImage", "data", ">>data 2>errors", 1,
     "open: output is standard output\n", "data", "dump\ndata\n"},
    {"StandardOutputOnTheDump", "dump", ">>dump 2>errors", 1,
     "open: input is standard output\n", "dump", "dump\n"},
    // The first look-up of the image is that of standard error itself.
    {"StandardErrorOnTheImage", "data", ">/dev/null 2>>data", 2, "", "data",
     ""},
};
INSTANTIATE_TEST_SUITE_P(Linux, NameLookedAbsent, ::testing::ValuesIn(vanished),
                         RowName());

} // namespace
