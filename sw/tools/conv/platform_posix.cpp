// POSIX side of pagestrip's platform: file identity by fstat, with what the
// Linux kernel's sysfs says of block devices, and plain standard output.

#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

fileid fromstat(const struct stat &st)
{
    fileid id;
    id.mode = st.st_mode;
    id.size = st.st_size;
    id.dev = st.st_dev;
    id.ino = {std::uint64_t(st.st_ino), 0};
    id.rdev = st.st_rdev;
    return id;
}

bool isdevice(const fileid &id) { return S_ISBLK(id.mode) || S_ISCHR(id.mode); }

// The kernel's memory devices that store nothing: null, zero and full.
bool ismemdevice(const fileid &id)
{
    unsigned minor = minor(id.rdev);
    return S_ISCHR(id.mode) && major(id.rdev) == 1 &&
           (minor == 3 || minor == 5 || minor == 7);
}

// Reads a sysfs attribute of a block device (one line, newline dropped):
// found, or absent when the attribute does not exist, that is when the
// device is no such thing.
look attribute(std::uint64_t rdev, const char *name, char (&line)[4096])
{
    char path[128];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(rdev),
             minor(rdev), name);
    int fd = open(path, O_RDONLY);
    if (fd == -1)
        return errno == ENOENT ? look::absent : look::failed;
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n < 0)
        return look::failed;
    line[n] = '\0';
    line[strcspn(line, "\n")] = '\0';
    return look::found;
}

// The storage under a file, outermost first: the file itself; for a
// partition, the whole disk; for a loop device, the file it reads through,
// and that file's own storage in turn. A chain ends on a file that is no
// block device.
struct chain {
    std::array<fileid, 8> ids;
    std::size_t n = 0;
    bool partition = false; // ids[0] is a partition of ids[1]
};

bool samenode(const fileid &a, const fileid &b)
{
    if ((a.mode & S_IFMT) != (b.mode & S_IFMT))
        return false;
    if (isdevice(a))
        return a.rdev == b.rdev;
    return a.dev == b.dev && a.ino == b.ino;
}

look storage(const fileid &f, chain &c)
{
    c.ids[c.n++] = f;
    if (!S_ISBLK(f.mode))
        return look::found;
    // The device must be one the kernel lists, or nothing can be said of it.
    // Static: a path can be long, and the stack small. Each line is used up
    // before the next look-up.
    static char line[4096];
    look l = attribute(f.rdev, "dev", line);
    if (l != look::found)
        return look::failed;
    fileid disk = f;
    l = attribute(f.rdev, "partition", line);
    if (l == look::failed)
        return l;
    if (l == look::found) {
        unsigned maj, min;
        if (attribute(f.rdev, "../dev", line) != look::found ||
            sscanf(line, "%u:%u", &maj, &min) != 2)
            return look::failed;
        disk.rdev = makedev(maj, min);
        if (c.n == 1)
            c.partition = true;
        if (c.n == c.ids.size())
            return look::failed;
        c.ids[c.n++] = disk;
    }
    l = attribute(disk.rdev, "loop/backing_file", line);
    if (l != look::found)
        return l == look::absent ? look::found : l;
    struct stat st;
    if (c.n == c.ids.size() || stat(line, &st) != 0)
        return look::failed;
    return storage(fromstat(st), c);
}

} // namespace

namespace sys
{

char **start(int &, char **argv)
{
    // A closed standard output or error gets /dev/null, read-only, so that
    // writing to it fails as on a closed descriptor and no file opened later
    // takes its place. A closed standard input stays closed.
    for (int fd = 1; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int null = open("/dev/null", O_RDONLY);
        if (null == -1 || (null != fd && dup2(null, fd) == -1))
            exit(1);
        if (null != fd)
            close(null);
    }
    // A broken pipe or a file size limit is a failed write like any other,
    // reported as such, not a death without a word.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    return argv;
}

look idoffd(int fd, fileid &id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno == EBADF ? look::absent : look::failed;
    id = fromstat(st);
    // A terminal and the memory devices keep nothing that is written.
    id.stores = !isatty(fd) && !ismemdevice(id) && !S_ISDIR(id.mode);
    return look::found;
}

look idofname(const char *name, fileid &id)
{
    struct stat st;
    if (stat(name, &st) != 0) {
        // Failures that the open will meet and report the same way: the
        // name stands for no file, so no file can be harmed through it.
        bool none = errno == ENOENT || errno == ENOTDIR || errno == ELOOP ||
                    errno == ENAMETOOLONG || errno == EACCES;
        return none ? look::absent : look::failed;
    }
    id = fromstat(st);
    return look::found;
}

match same(const fileid &a, const fileid &b)
{
    if (samenode(a, b))
        return match::same;
    // Only block devices have storage under them, and only a regular file
    // or a block device can be that storage.
    auto under = [](const fileid &f) {
        return S_ISBLK(f.mode) || S_ISREG(f.mode);
    };
    if (!under(a) || !under(b) || (!S_ISBLK(a.mode) && !S_ISBLK(b.mode)))
        return match::differ;
    chain ca, cb;
    if (storage(a, ca) != look::found || storage(b, cb) != look::found)
        return match::unknown;
    // Two partitions of one disk are storage apart.
    if (ca.partition && cb.partition && ca.ids[1].rdev == cb.ids[1].rdev)
        return match::differ;
    for (std::size_t i = 0; i < ca.n; i++)
        for (std::size_t j = 0; j < cb.n; j++)
            if (samenode(ca.ids[i], cb.ids[j]))
                return match::same;
    return match::differ;
}

bool isfile(const fileid &, const char *) { return true; }

int openin(const char *name)
{
    int fd = open(name, O_RDONLY);
    // A hint: failing, it leaves the kernel's default read-ahead.
    if (fd != -1)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

int openout(const char *name) { return open(name, O_WRONLY | O_CREAT, 0666); }

bool sync(int fd, const fileid &id)
{
    // Closing a block device never reports a write the device lost.
    return !S_ISBLK(id.mode) || fsync(fd) == 0;
}

bool echo(const char *line)
{
    return printf("%s\n", line) >= 0 && fflush(stdout) != EOF;
}

} // namespace sys
