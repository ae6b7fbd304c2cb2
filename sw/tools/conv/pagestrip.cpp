// pagestrip: copy the data areas of a raw NAND dump, dropping each page's
// spare (OOB) area, so that file-system tools can read the result.

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

// The page geometry is fixed at build time; CMake passes it in.
#ifndef PAGESTRIP_DATA_SIZE
#define PAGESTRIP_DATA_SIZE 2048
#endif
#ifndef PAGESTRIP_SPARE_SIZE
#define PAGESTRIP_SPARE_SIZE 64
#endif

constexpr std::size_t datasize = PAGESTRIP_DATA_SIZE;
constexpr std::size_t sparesize = PAGESTRIP_SPARE_SIZE;
static_assert(datasize > 0 && sparesize > 0, "both areas hold bytes");
// Stream buffers: large enough that a page costs a small fraction of a
// system call, as few as a plain copy makes (see bench/run).
constexpr std::size_t iobufsize = 256 * 1024;

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) 0
#endif

// What tells two files apart: device (volume) and inode (file index).
struct fileid {
    std::uint64_t dev = 0;
    std::array<std::uint64_t, 2> ino = {};
    unsigned mode = 0;
    std::int64_t size = 0;
};

#ifdef _WIN32
// st_ino is always 0 on Windows: a file's identity is its volume serial
// number and file ID, which even a write-only handle may ask for. Consoles,
// NUL and pipes have none; they keep 0 and are told apart by type alone.
static void handleid(HANDLE h, fileid &id)
{
    FILE_ID_INFO fi;
    if (GetFileType(h) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(h, FileIdInfo, &fi, sizeof fi))
        return;
    static_assert(sizeof id.ino == sizeof fi.FileId, "a file ID is 128 bits");
    memcpy(id.ino.data(), &fi.FileId, sizeof id.ino);
    id.dev = fi.VolumeSerialNumber;
}

static bool idoffd(int fd, fileid &id)
{
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0)
        return false;
    id.mode = st.st_mode;
    id.size = st.st_size;
    handleid(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), id);
    return true;
}

static bool idofname(const char *name, fileid &id)
{
    HANDLE h = CreateFileA(
        name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    handleid(h, id);
    CloseHandle(h);
    id.mode = S_IFREG;
    return id.ino != decltype(id.ino){};
}
#else
static fileid fromstat(const struct stat &st)
{
    return {std::uint64_t(st.st_dev),
            {std::uint64_t(st.st_ino), 0},
            st.st_mode,
            st.st_size};
}

static bool idoffd(int fd, fileid &id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    id = fromstat(st);
    return true;
}

static bool idofname(const char *name, fileid &id)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return false;
    id = fromstat(st);
    return true;
}
#endif

static bool sameid(const fileid &a, const fileid &b)
{
#ifdef _WIN32
    // Wine reports volume 0 for the handles a program inherits: an unknown
    // volume matches any, so that the guards fail closed.
    bool samedev = a.dev == b.dev || a.dev == 0 || b.dev == 0;
#else
    bool samedev = a.dev == b.dev;
#endif
    return samedev && a.ino == b.ino && (a.mode & S_IFMT) == (b.mode & S_IFMT);
}

// Reports a failure with the reason errno holds, or none when the call that
// failed left no reason, and ends the run.
[[noreturn]] static void fail(const char *tag)
{
    int err = errno;
    // Standard output first, so that a combined log reads in order.
    fflush(stdout);
    if (err != 0) {
        errno = err;
        perror(tag);
    } else {
        fprintf(stderr, "%s: failed\n", tag);
    }
    exit(1);
}

[[noreturn]] static void refuse(const char *why)
{
    fflush(stdout);
    fprintf(stderr, "open: %s\n", why);
    exit(1);
}

// Writes one line on standard output at once, so that a failure is seen
// and reported here, with its own reason.
static void echo(const char *line)
{
    errno = 0;
    if (printf("%s\n", line) < 0 || fflush(stdout) == EOF)
        fail("write");
}

int main(int argc, char *argv[])
{
    // Static: the tool must run on a small stack, and the stream buffers
    // must outlive the streams whichever way the run ends.
    static std::array<unsigned char, datasize> data;
    static std::array<std::uint32_t, (sparesize + 3) / 4> spare;
    static std::array<char, iobufsize> inbuf;
    static std::array<char, iobufsize> outbuf;
    std::size_t status;

    if (argc < 3) {
        const char *name =
            argc > 0 && argv[0][0] != '\0' ? argv[0] : "pagestrip";
        fprintf(stderr, "usage: %s file1 file2\n", name);
        exit(1);
    }
    const char *infilename = argv[1];
    const char *outfilename = argv[2];

#ifndef _WIN32
    // With descriptor 2 closed, an image would get it and error messages
    // would be written into it.
    while (fcntl(2, F_GETFD) == -1)
        if (open("/dev/null", O_WRONLY) == -1)
            exit(1);
#endif
    // The echoes must never land among the bytes of either image. A
    // terminal or /dev/null stores nothing, so it is no match.
    fileid echoes, named, in, out;
    if (idoffd(1, echoes) && !S_ISCHR(echoes.mode) && !S_ISDIR(echoes.mode)) {
        if (idofname(outfilename, named) && sameid(echoes, named))
            refuse("output is standard output");
        if (idofname(infilename, named) && sameid(echoes, named))
            refuse("input is standard output");
    }

    echo(infilename);
    FILE *infile = fopen(infilename, "rb");
    if (infile == nullptr)
        fail("open");
    if (!idoffd(fileno(infile), in))
        fail("open");
    if (S_ISDIR(in.mode)) {
        errno = EISDIR;
        fail("open");
    }
    // Both are hints: failing, they leave the default buffer and read-ahead.
    setvbuf(infile, inbuf.data(), _IOFBF, inbuf.size());
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fileno(infile), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    // Opened without truncating, so that the same-file guard looks at the
    // very file that will be written; only then is it emptied.
    echo(outfilename);
    int fd = open(outfilename, O_WRONLY | O_CREAT | O_BINARY, 0666);
    if (fd == -1)
        fail("open");
    if (!idoffd(fd, out))
        fail("open");
    // A FIFO or socket is a stream, not storage: writing it loses nothing.
    if (sameid(in, out) && !S_ISFIFO(in.mode) && !S_ISSOCK(in.mode))
        refuse("input and output are the same file");
    // Only a file that holds bytes is truncated: ext4 writes out, at close,
    // a file that was truncated to zero, which halves the speed of a run.
    if (S_ISREG(out.mode) && out.size != 0 && ftruncate(fd, 0) != 0)
        fail("open");
    FILE *outfile = fdopen(fd, "wb");
    if (outfile == nullptr)
        fail("open");
    setvbuf(outfile, outbuf.data(), _IOFBF, outbuf.size());

    for (;;) {
        status = fread(data.data(), 1, datasize, infile);
        if (status < datasize && ferror(infile))
            fail("read");
        if (status == 0)
            break;
        // Pad a short last page as erased flash, never with an older page.
        memset(data.data() + status, 0xff, datasize - status);
        // Written before the warning, so that a standard output that fails
        // on the warning still leaves the image whole.
        if (fwrite(data.data(), datasize, 1, outfile) != 1)
            fail("write");

        if (fread(spare.data(), 1, sparesize, infile) < sparesize) {
            if (ferror(infile))
                fail("read");
            if (feof(infile))
                echo("Found EOF");
        }
    }

    // A full disk often shows only when the last buffer is flushed. That
    // flush is checked on its own: Wine's C runtime drops its failure from
    // what fclose returns.
    if (fflush(outfile) == EOF || fclose(outfile) != 0)
        fail("write");
    exit(0);
}
