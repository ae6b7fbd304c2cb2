// The shared harness of the black-box tests; see harness.h.

#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

// The emulator's words come separated by '|'.
std::vector<std::string> emulator()
{
    std::vector<std::string> cmd;
    std::stringstream list(PAGESTRIP_EMULATOR);
    for (std::string item; std::getline(list, item, '|');)
        if (!item.empty())
            cmd.push_back(item);
    return cmd;
}

bool windows() { return fs::path(PAGESTRIP_BINARY).extension() == ".exe"; }

// qemu can set the program's argv[0]; Wine hands over the program's path.
bool canchooseargv0()
{
    std::vector<std::string> e = emulator();
    return e.empty() ||
           fs::path(e.back()).filename().string().rfind("qemu-", 0) == 0;
}

std::string lines(std::initializer_list<std::string> ls)
{
    std::string s;
    for (const std::string &l : ls)
        s += l + (windows() ? "\r\n" : "\n");
    return s;
}

std::string model(const std::string &in, std::size_t data, std::size_t page)
{
    std::string out;
    for (std::size_t p = 0; p < in.size(); p += page) {
        std::string block = in.substr(p, data);
        block.resize(data, '\xff');
        out += block;
    }
    return out;
}

std::string modelstdout(const std::string &in, const std::string &out,
                        std::size_t len, std::size_t page)
{
    if (len % page != 0)
        return lines({in, out, "Found EOF"});
    return lines({in, out});
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
    return lines({std::string(tag) + ": " + std::strerror(err)});
}

void expecterr(const std::string &got, int err, const char *tag)
{
    if (windows())
        EXPECT_EQ(got.rfind(std::string(tag) + ": ", 0), 0u) << got;
    else
        EXPECT_EQ(got, errtext(err, tag));
}

std::string shq(const std::string &word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Mount::Mount(const std::string &what, const fs::path &on, const char *options)
    : dir(on.string())
{
    fs::create_directories(on);
    ok = system(("mount " + std::string(options) + " " + shq(what) + " " +
                 shq(dir) + " 2>/dev/null")
                    .c_str()) == 0;
}

Mount::~Mount()
{
    if (ok) {
        EXPECT_EQ(system(("umount " + shq(dir)).c_str()), 0);
    }
}

std::string attachloop(const fs::path &file)
{
    std::string loop;
    if (windows() || geteuid() != 0 ||
        system("command -v losetup >/dev/null 2>&1") != 0)
        return loop;
    FILE *p = popen(
        ("losetup -f --show " + file.string() + " 2>/dev/null").c_str(), "r");
    char buf[256] = "";
    if (p && fgets(buf, sizeof buf, p))
        loop = std::string(buf, strcspn(buf, "\n"));
    if (p)
        pclose(p);
    return loop;
}

Drain::Drain(int fd)
    : t([this, fd] {
          char buf[65536];
          for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
              bytes.append(buf, std::size_t(n));
          close(fd);
      })
{
}

void Pagestrip::SetUp()
{
    std::string tmpl = (fs::temp_directory_path() / "pagestrip.XXXXXX");
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
    root = tmpl;
    work = root / "work";
    fs::create_directory(work);
}

void Pagestrip::TearDown() { fs::remove_all(root); }

Result Pagestrip::run(const std::vector<std::string> &argv, const Wiring &w)
{
    // Natively argv[0] is passed as it is; qemu takes it as an option.
    std::vector<std::string> cmd = emulator();
    const bool native = cmd.empty();
    if (!native && canchooseargv0() && !argv.empty())
        cmd.insert(cmd.end(), {"-0", argv[0]});
    cmd.push_back(tool);
    if (!argv.empty())
        cmd.insert(cmd.end(), argv.begin() + 1, argv.end());
    std::vector<char *> args;
    for (std::size_t i = native ? 1 : 0; i < cmd.size(); i++)
        args.push_back(const_cast<char *>(cmd[i].c_str()));
    if (native && !argv.empty())
        args.insert(args.begin(), const_cast<char *>(argv[0].c_str()));
    args.push_back(nullptr);

    // A tool that ends early must fail the test, not kill it.
    signal(SIGPIPE, SIG_IGN);
    fs::path outcap = root / "stdout", errcap = root / "stderr";
    std::string outpath = w.stdoutpath.empty() ? outcap.string() : w.stdoutpath;
    int inpipe[2], outpipe[2], fd3pipe[2], execpipe[2];
    EXPECT_EQ(pipe(inpipe), 0);
    EXPECT_EQ(pipe(outpipe), 0);
    EXPECT_EQ(pipe(fd3pipe), 0);
    EXPECT_EQ(pipe2(execpipe, O_CLOEXEC), 0);

    pid_t pid = fork();
    if (pid == 0) {
        int in = w.stdinbytes ? inpipe[0] : open("/dev/null", O_RDONLY);
        int out = w.stdoutpipe ? outpipe[1]
                               : open(outpath.c_str(), w.stdoutflags, 0644);
        int err = open(errcap.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        rlimit stack = {w.stack, w.stack};
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 ||
            dup2(out, 1) < 0 || dup2(w.stderrtostdout ? 1 : err, 2) < 0 ||
            (w.fd3pipe && dup2(fd3pipe[1], 3) < 0) || chdir(work.c_str()) < 0 ||
            (w.stack && setrlimit(RLIMIT_STACK, &stack) < 0))
            _exit(126);
        // The tool starts with the signals as a shell leaves them: what it
        // must not die of, it sets aside itself.
        rlimit filesize = {w.filesize, w.filesize};
        if (signal(SIGPIPE, SIG_DFL) == SIG_ERR ||
            signal(SIGXFSZ, SIG_DFL) == SIG_ERR ||
            (w.filesize && setrlimit(RLIMIT_FSIZE, &filesize) < 0))
            _exit(126);
        if (w.closed02) {
            close(0);
            close(2);
        }
        for (int fd : {inpipe[0], inpipe[1], outpipe[0], outpipe[1], fd3pipe[0],
                       fd3pipe[1]})
            if (fd > 3 || (fd == 3 && !w.fd3pipe))
                close(fd);
        alarm(w.timeout);
        execvp(cmd[0].c_str(), args.data());
        int e = errno;
        (void)!write(execpipe[1], &e, sizeof e);
        _exit(127);
    }
    close(inpipe[0]);
    close(outpipe[1]);
    close(fd3pipe[1]);
    close(execpipe[1]);
    Drain outdrain(outpipe[0]), fd3drain(fd3pipe[0]);
    // Uneven chunks, as a pipe from pv or a slow reader delivers them.
    std::thread feeder([&w, fd = inpipe[1]] {
        const std::string *in = w.stdinbytes;
        std::size_t chunk = 1;
        for (std::size_t at = 0; in && at < in->size();
             chunk = chunk * 7 % 65521 + 1) {
            ssize_t n =
                write(fd, in->data() + at, std::min(chunk, in->size() - at));
            if (n < 0)
                break;
            at += std::size_t(n);
        }
        close(fd);
    });
    int execerr = 0;
    if (read(execpipe[0], &execerr, sizeof execerr) == sizeof execerr)
        ADD_FAILURE() << "cannot run " << cmd[0] << ": "
                      << std::strerror(execerr);
    close(execpipe[0]);
    int ws = 0;
    EXPECT_EQ(waitpid(pid, &ws, 0), pid);
    feeder.join();
    outdrain.t.join();
    fd3drain.t.join();
    EXPECT_TRUE(WIFEXITED(ws))
        << "killed by signal " << (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0)
        << (WIFSIGNALED(ws) && WTERMSIG(ws) == SIGALRM ? " (timed out)" : "");
    Result r{WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, "", slurp(errcap),
             fd3drain.bytes};
    r.out = w.stdoutpipe           ? outdrain.bytes
            : w.stdoutpath.empty() ? slurp(outcap)
                                   : "";
    return r;
}

Result Pagestrip::run(const std::string &in, const std::string &out,
                      const Wiring &w)
{
    return run({"pagestrip", in, out}, w);
}

void Pagestrip::convertchecked(const std::string &input, const Wiring &w)
{
    spit(work / "dump", input);
    spit(work / "data", std::string(3 * tooldata + 7, 'o'));
    Result r = run("dump", "data", w);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, modelstdout("dump", "data", input.size(), toolpage));
    EXPECT_EQ(r.err, "");
    std::string got = slurp(work / "data");
    std::string want = model(input, tooldata, toolpage);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "output bytes differ";
}

std::vector<fs::path> Pagestrip::files()
{
    return {fs::directory_iterator(work), fs::directory_iterator()};
}

// Says in every test's output how the tool ran.
namespace
{
class Runner : public ::testing::Environment
{
    void SetUp() override
    {
        std::cout << "[ RUNS     ] " << PAGESTRIP_BINARY
                  << (emulator().empty() ? " natively" : " through");
        for (const std::string &word : emulator())
            std::cout << " " << word;
        std::cout << "\n";
    }
};
const auto *runner = ::testing::AddGlobalTestEnvironment(new Runner);
} // namespace
