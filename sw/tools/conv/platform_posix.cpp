// POSIX side of pagestrip's platform: file identity by fstat, with what the
// Linux kernel's sysfs says of block devices, and plain standard output.

#include "platform.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
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

// Reads a sysfs attribute of a block device, without its closing newline:
// found, or absent when the attribute does not exist (the device is no such
// thing, or no block device at all). Read whole: a file name may hold a
// newline of its own. The kernel gives an attribute at most a page.
using attr = char[8192];
look attribute(std::uint64_t rdev, const char *name, attr &text)
{
    char path[128];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(rdev),
             minor(rdev), name);
    int fd = open(path, O_RDONLY);
    if (fd == -1)
        return errno == ENOENT ? look::absent : look::failed;
    std::size_t n = 0;
    ssize_t got;
    while ((got = read(fd, text + n, sizeof text - 1 - n)) > 0)
        n += got;
    close(fd);
    text[n] = '\0';
    if (got != 0 || n == 0 || text[n - 1] != '\n' || strlen(text) != n)
        return look::failed;
    text[n - 1] = '\0';
    return look::found;
}

look number(std::uint64_t rdev, const char *name, std::uint64_t &n)
{
    static attr text;
    look l = attribute(rdev, name, text);
    char end;
    if (l == look::found && sscanf(text, "%" SCNu64 "%c", &n, &end) != 1)
        return look::failed;
    return l;
}

// The file that a loop device reads through, as the kernel holds it open:
// its `name` in sysfs may by now stand for another file (one renamed over
// it, or a mount over its folder). Only where the device cannot be opened
// (a user without the right, a /dev without the node) is the file known by
// its name, as the best that can be had.
look backing(std::uint64_t rdev, const char *name, fileid &f)
{
    static attr text;
    if (attribute(rdev, "uevent", text) != look::found)
        return look::failed;
    const char *line = text;
    while (line != nullptr && strncmp(line, "DEVNAME=", 8) != 0) {
        line = strchr(line, '\n');
        if (line != nullptr)
            line++;
    }
    if (line == nullptr)
        return look::failed;
    char path[128];
    snprintf(path, sizeof path, "/dev/%.*s", int(strcspn(line + 8, "\n")),
             line + 8);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1 && (errno == EACCES || errno == EPERM || errno == ENOENT)) {
        struct stat st;
        if (stat(name, &st) != 0)
            return look::failed;
        f = fromstat(st);
        return look::found;
    }
    if (fd == -1)
        return look::failed;
    struct stat st;
    loop_info64 info;
    bool ok = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) &&
              st.st_rdev == rdev && ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    close(fd);
    if (!ok)
        return look::failed;
    // The kernel encodes these numbers as stat does; only a block device
    // has a device number of its own.
    f = fileid{};
    f.mode = info.lo_rdevice != 0 ? S_IFBLK : S_IFREG;
    f.dev = info.lo_device;
    f.ino = {info.lo_inode, 0};
    f.rdev = info.lo_rdevice;
    return look::found;
}

fileid blockdevice(std::uint64_t rdev)
{
    fileid id;
    id.mode = S_IFBLK;
    id.rdev = rdev;
    return id;
}

// The storage under a file, outermost first: the file itself; for a file,
// the block device of its file system; for a partition, the whole disk; for
// a loop device, the file it reads through, and that file's own storage in
// turn. part[i] tells that ids[i] is one part of ids[i + 1] (a file in its
// file system, a partition of its disk), not the whole of it.
struct chain {
    std::array<fileid, 8> ids;
    std::array<bool, 8> part = {};
    std::size_t n = 0;
};

bool samenode(const fileid &a, const fileid &b)
{
    if ((a.mode & S_IFMT) != (b.mode & S_IFMT))
        return false;
    if (isdevice(a))
        return a.rdev == b.rdev;
    return a.dev == b.dev && a.ino == b.ino;
}

look storage(fileid f, chain &c)
{
    for (;;) {
        if (c.n == c.ids.size())
            return look::failed;
        c.ids[c.n++] = f;
        // Static: a path can be long, and the stack small. Each text is
        // used up before the next look-up.
        static attr text;
        if (S_ISREG(f.mode)) {
            // Most file systems that lie on no block device (tmpfs, btrfs,
            // NFS, FUSE) have a number that the kernel lists nowhere.
            look l = attribute(f.dev, "dev", text);
            if (l != look::found)
                return l == look::absent ? look::found : l;
            c.part[c.n - 1] = true;
            f = blockdevice(f.dev);
            continue;
        }
        if (!S_ISBLK(f.mode))
            return look::found;
        // The device must be one the kernel lists, or nothing can be said.
        if (attribute(f.rdev, "dev", text) != look::found)
            return look::failed;
        look l = attribute(f.rdev, "partition", text);
        if (l == look::failed)
            return l;
        if (l == look::found) {
            unsigned maj, min;
            char end;
            if (attribute(f.rdev, "../dev", text) != look::found ||
                sscanf(text, "%u:%u%c", &maj, &min, &end) != 2)
                return look::failed;
            c.part[c.n - 1] = true;
            f = blockdevice(makedev(maj, min));
            continue;
        }
        l = attribute(f.rdev, "loop/backing_file", text);
        if (l != look::found)
            return l == look::absent ? look::found : l;
        if (backing(f.rdev, text, f) != look::found)
            return look::failed;
    }
}

// Two different parts of one device: two files of one file system are
// apart, and so are two partitions that share no sector.
match apart(const fileid &a, const fileid &b)
{
    if (S_ISREG(a.mode) && S_ISREG(b.mode))
        return match::differ;
    if (!S_ISBLK(a.mode) || !S_ISBLK(b.mode))
        return match::unknown;
    std::uint64_t astart, asize, bstart, bsize;
    if (number(a.rdev, "start", astart) != look::found ||
        number(a.rdev, "size", asize) != look::found ||
        number(b.rdev, "start", bstart) != look::found ||
        number(b.rdev, "size", bsize) != look::found)
        return match::unknown;
    bool overlap = astart < bstart + bsize && bstart < astart + asize;
    return overlap ? match::same : match::differ;
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
    // Only a regular file or a block device has storage under it.
    auto under = [](const fileid &f) {
        return S_ISBLK(f.mode) || S_ISREG(f.mode);
    };
    if (!under(a) || !under(b))
        return match::differ;
    // A chain whose look-up failed is still right as far as it goes, and
    // below a node that both share, the two chains are one: a meeting found
    // there decides, whatever lies further down.
    chain ca, cb;
    bool whole = storage(a, ca) == look::found;
    whole = storage(b, cb) == look::found && whole;
    // Where the two chains first meet, each is the whole of that storage
    // or a part of it; only two parts can be apart.
    for (std::size_t i = 0; i < ca.n; i++)
        for (std::size_t j = 0; j < cb.n; j++)
            if (samenode(ca.ids[i], cb.ids[j]))
                return i > 0 && j > 0 && ca.part[i - 1] && cb.part[j - 1]
                           ? apart(ca.ids[i - 1], cb.ids[j - 1])
                           : match::same;
    return whole ? match::differ : match::unknown;
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
