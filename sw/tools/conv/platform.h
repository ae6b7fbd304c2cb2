// What pagestrip needs of its platform beyond the C library: its arguments,
// the identity of open files, and output to a console. One source file per
// platform implements it; CMake picks the one that builds.

#ifndef PAGESTRIP_PLATFORM_H
#define PAGESTRIP_PLATFORM_H

#include <array>
#include <cstdint>

// What tells files apart. Each platform fills in what it can know.
struct fileid {
    unsigned mode = 0;     // the file's type, as the S_IFMT bits
    std::int64_t size = 0; // bytes held, for a regular file
    std::uint64_t dev = 0; // the file system (volume) holding the file
    std::array<std::uint64_t, 2> ino = {}; // the file within it
    std::uint64_t rdev = 0; // the device that a device node stands for
    bool stores = true;     // written bytes are kept (not a terminal or null)
    // Windows knows a file on disk in three ways that cannot be compared
    // with each other: by file ID (dev and ino above), by volume serial
    // number and file index, and by a hash of its final path (for a device,
    // of the device's name). Each is zero where it could not be had.
    std::array<std::uint64_t, 2> index = {};
    std::uint64_t name = 0;
};

// The outcome of a look-up: the file is there, no file has the name (yet),
// or the look-up failed and errno tells why.
enum class look { found, absent, failed };

// The outcome of comparing two files: a guard that cannot tell refuses.
enum class match { differ, same, unknown };

namespace sys
{
// Runs first: the arguments as UTF-8, standard output and error open (on a
// placeholder that fails every write where they were closed), and no signal
// that would end the run without a word.
char **start(int &argc, char **argv);

// Identity of an open descriptor, or of the file a name stands for.
look idoffd(int fd, fileid &id);
look idofname(const char *name, fileid &id);
// Whether writing one of the two would change the other.
match same(const fileid &a, const fileid &b);
// Whether an output that opened as `id` may be written: false for a device
// that would take the image for something else.
bool isfile(const fileid &id, const char *name);

// Opens the dump for reading, or the image for writing (created if absent,
// never truncated here), in binary; -1 with errno set on failure.
int openin(const char *name);
int openout(const char *name);
// Makes the written image durable where closing it would not report a
// failure to store it; false with errno set when that fails.
bool sync(int fd, const fileid &id);

// Writes one line on standard output and pushes it out; false with errno
// set (or 0, when the runtime gave no reason) when it fails.
bool echo(const char *line);
} // namespace sys

#endif
