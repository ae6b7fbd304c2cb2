// pagestrip: copy the data areas of a raw NAND dump, dropping each page's
// spare (OOB) area, so that file-system tools can read the result.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>

// The page geometry is fixed at build time; CMake passes it in.
#ifndef PAGESTRIP_DATA_SIZE
#define PAGESTRIP_DATA_SIZE 2048
#endif
#ifndef PAGESTRIP_SPARE_SIZE
#define PAGESTRIP_SPARE_SIZE 64
#endif

constexpr std::size_t datasize = PAGESTRIP_DATA_SIZE;
constexpr std::size_t sparesize = PAGESTRIP_SPARE_SIZE;
static_assert(datasize > 0, "the data area cannot be empty");
static_assert(sparesize > 0 && sparesize % 4 == 0,
              "the spare area is a whole number of 32-bit words");
// Stream buffers: large enough that a page costs a small fraction of a
// system call, as few as a plain copy makes (see bench/run).
constexpr std::size_t iobufsize = 256 * 1024;

// True when writing outfilename would destroy infilename's stored bytes.
static bool samefile(const char *infilename, const char *outfilename)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::equivalent(infilename, outfilename, ec))
        return false;
    // A device such as /dev/null stores nothing that truncation could lose.
    fs::file_status st = fs::status(outfilename, ec);
    return fs::is_regular_file(st) || fs::is_block_file(st);
}

int main(int argc, char *argv[])
{
    std::array<unsigned char, datasize> data;
    std::array<std::uint32_t, sparesize / 4> spare;
    std::size_t status;
    // They outlive both streams: every way out is exit() from this frame.
    std::array<char, iobufsize> inbuf;
    std::array<char, iobufsize> outbuf;

    if (argc < 3) {
        const char *name =
            argc > 0 && argv[0][0] != '\0' ? argv[0] : "pagestrip";
        fprintf(stderr, "usage: %s file1 file2\n", name);
        exit(1);
    }
    const char *infilename = argv[1];
    const char *outfilename = argv[2];

    printf("%s\n", infilename);
    FILE *infile = fopen(infilename, "rb");
    if (infile == nullptr) {
        perror("open");
        exit(1);
    }
    // Both are hints: failing, they leave the default buffer and read-ahead.
    setvbuf(infile, inbuf.data(), _IOFBF, inbuf.size());
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fileno(infile), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    printf("%s\n", outfilename);
    if (samefile(infilename, outfilename)) {
        fputs("open: input and output are the same file\n", stderr);
        exit(1);
    }
    FILE *outfile = fopen(outfilename, "wb");
    if (outfile == nullptr) {
        perror("open");
        exit(1);
    }
    setvbuf(outfile, outbuf.data(), _IOFBF, outbuf.size());

    for (;;) {
        status = fread(data.data(), 1, datasize, infile);
        if (status < datasize && ferror(infile)) {
            perror("read");
            exit(1);
        }
        if (status == 0)
            break;
        // Pad a short last page as erased flash, never with an older page.
        memset(data.data() + status, 0xff, datasize - status);

        if (fread(spare.data(), 1, sparesize, infile) < sparesize) {
            if (ferror(infile)) {
                perror("read");
                exit(1);
            }
            if (feof(infile))
                printf("Found EOF\n");
        }

        if (fwrite(data.data(), datasize, 1, outfile) != 1) {
            perror("write");
            exit(1);
        }
    }

    // A full disk often shows only when the last buffer is flushed.
    if (fclose(outfile) != 0) {
        perror("write");
        exit(1);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("write");
        exit(1);
    }
    exit(0);
}
