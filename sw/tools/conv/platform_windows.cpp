// Windows side of pagestrip's platform: file identity from the volume serial
// number and file ID of an open handle, and plain standard output.

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace
{

// st_ino is always 0 on Windows: a file's identity is its volume serial
// number and file ID, which even a write-only handle may ask for. Consoles,
// NUL and pipes have none; they keep 0 and are told apart by type alone.
void handleid(HANDLE h, fileid &id)
{
    FILE_ID_INFO fi;
    if (GetFileType(h) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(h, FileIdInfo, &fi, sizeof fi))
        return;
    static_assert(sizeof id.ino == sizeof fi.FileId, "a file ID is 128 bits");
    memcpy(id.ino.data(), &fi.FileId, sizeof id.ino);
    id.dev = fi.VolumeSerialNumber;
}

} // namespace

namespace sys
{

char **start(int &, char **argv) { return argv; }

look idoffd(int fd, fileid &id)
{
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0)
        return errno == EBADF ? look::absent : look::failed;
    id.mode = st.st_mode;
    id.size = st.st_size;
    handleid(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), id);
    // A console and NUL keep nothing that is written.
    id.stores = !S_ISCHR(id.mode);
    return look::found;
}

look idofname(const char *name, fileid &id)
{
    HANDLE h = CreateFileA(
        name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return look::absent;
    handleid(h, id);
    CloseHandle(h);
    id.mode = S_IFREG;
    return id.ino != decltype(id.ino){} ? look::found : look::absent;
}

match same(const fileid &a, const fileid &b)
{
    // Wine reports volume 0 for the handles a program inherits: an unknown
    // volume matches any, so that the guards fail closed.
    bool samedev = a.dev == b.dev || a.dev == 0 || b.dev == 0;
    bool sameid =
        samedev && a.ino == b.ino && (a.mode & S_IFMT) == (b.mode & S_IFMT);
    // A pipe is a stream, not storage: writing it loses nothing.
    return sameid && !S_ISFIFO(a.mode) ? match::same : match::differ;
}

bool isfile(const fileid &, const char *) { return true; }

int openin(const char *name) { return open(name, O_RDONLY | O_BINARY); }

int openout(const char *name)
{
    return open(name, O_WRONLY | O_CREAT | O_BINARY, 0666);
}

bool sync(int, const fileid &) { return true; }

bool echo(const char *line)
{
    return printf("%s\n", line) >= 0 && fflush(stdout) != EOF;
}

} // namespace sys
