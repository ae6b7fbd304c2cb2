// pagestrip: copy the data areas of a raw NAND dump, dropping each page's
// spare (OOB) area, so that file-system tools can read the result.

#include "platform.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

// Refuses to go on, saying why: `why` is a format for `name`.
[[noreturn]] static void refuse(const char *why, const char *name = "")
{
    fflush(stdout);
    fputs("open: ", stderr);
    fprintf(stderr, why, name);
    fputc('\n', stderr);
    exit(1);
}

static void echo(const char *line)
{
    errno = 0;
    if (!sys::echo(line))
        fail("write");
}

// Looks up a descriptor or a name for a guard, which must not go on
// without an answer: any failure but "no such file" ends the run. Where
// standard error keeps what is written, it might be the very file that was
// not seen: `silent` then ends the run without a word.
static bool lookup(look l, bool silent)
{
    if (l == look::failed && silent)
        exit(1);
    if (l == look::failed)
        fail("open");
    return l == look::found;
}

// Standard error must never be `f`, or the messages would land among its
// bytes. When it is, or might be, nothing can be said.
static void quiet(const fileid &errors, const fileid &f)
{
    if (errors.stores && sys::same(errors, f) != match::differ)
        exit(1);
}

// Nor may standard output be `f`.
static void guard(const fileid &echoes, const fileid &errors, const fileid &f,
                  const char *which)
{
    quiet(errors, f);
    match m = echoes.stores ? sys::same(echoes, f) : match::differ;
    if (m == match::same)
        refuse("%s is standard output", which);
    if (m == match::unknown)
        refuse("cannot tell whether %s is standard output", which);
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

    argv = sys::start(argc, argv);
    if (argc < 3) {
        const char *name =
            argc > 0 && argv[0][0] != '\0' ? argv[0] : "pagestrip";
        fprintf(stderr, "usage: %s file1 file2\n", name);
        exit(1);
    }
    const char *infilename = argv[1];
    const char *outfilename = argv[2];

    // Before anything is written: neither message stream may be one of the
    // files that the names stand for now. Standard error first, for until
    // it is known to be neither, nothing may be said on it.
    fileid echoes, errors, in, out;
    lookup(sys::idoffd(2, errors), true);
    bool hasout = lookup(sys::idofname(outfilename, out), errors.stores);
    bool hasin = lookup(sys::idofname(infilename, in), errors.stores);
    if (hasout)
        quiet(errors, out);
    if (hasin)
        quiet(errors, in);
    lookup(sys::idoffd(1, echoes), false);
    if (hasout)
        guard(echoes, errors, out, "output");
    if (hasin)
        guard(echoes, errors, in, "input");

    echo(infilename);
    int infd = sys::openin(infilename);
    if (infd == -1)
        fail("open");
    // From here on the guards look at the files that are open.
    lookup(sys::idoffd(infd, in), errors.stores);
    guard(echoes, errors, in, "input");
    if (S_ISDIR(in.mode)) {
        errno = EISDIR;
        fail("open");
    }
    FILE *infile = fdopen(infd, "rb");
    if (infile == nullptr)
        fail("open");
    // A hint: failing, it leaves the default buffer.
    setvbuf(infile, inbuf.data(), _IOFBF, inbuf.size());

    // Opened without truncating, so that the guards look at the very file
    // that will be written; only then is it emptied.
    echo(outfilename);
    int fd = sys::openout(outfilename);
    if (fd == -1)
        fail("open");
    lookup(sys::idoffd(fd, out), errors.stores);
    guard(echoes, errors, out, "output");
    if (!sys::isfile(out, outfilename))
        refuse("%s is a device, not a file", outfilename);
    match m = sys::same(in, out);
    if (m == match::same)
        refuse("input and output are the same file");
    if (m == match::unknown)
        refuse("cannot tell whether input and output are the same file");
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
    if (fflush(outfile) == EOF || !sys::sync(fd, out) || fclose(outfile) != 0)
        fail("write");
    exit(0);
}
