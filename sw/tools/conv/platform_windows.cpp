// Windows side of pagestrip's platform: the arguments as the C runtime's
// wide start-up splits them, handed on as UTF-8; files opened and known
// through the wide calls; echoes through the console's wide output.
// No name ever passes through the ANSI code page, whose "best fit" would
// turn it into the name of another file.

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <windows.h>

// Test builds skip the first identity look-ups, to show the fallbacks.
#ifndef PAGESTRIP_SKIP_IDS
#define PAGESTRIP_SKIP_IDS 0
#endif

// The C runtime's own start-up: the arguments split exactly as for wmain,
// with wildcards expanded as they were for main.
struct startinfo {
    int newmode;
};
extern "C" int __wgetmainargs(int *, wchar_t ***, wchar_t ***, int,
                              startinfo *);
extern "C" int _dowildcard;

namespace
{

constexpr int skipids = PAGESTRIP_SKIP_IDS;

// UTF-16 into UTF-8. A lone surrogate, which Windows allows in a name, is
// encoded like any other code unit, so that the name comes back whole.
std::string narrow(const wchar_t *w)
{
    std::string s;
    for (; *w != 0; w++) {
        std::uint32_t c = *w;
        if (c >= 0xd800 && c < 0xdc00 && w[1] >= 0xdc00 && w[1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (*++w - 0xdc00);
        if (c < 0x80) {
            s += char(c);
            continue;
        }
        static const unsigned char lead[] = {0, 0xc0, 0xe0, 0xf0};
        int n = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        s += char(lead[n] | (c >> 6 * n));
        while (n-- > 0)
            s += char(0x80 | ((c >> 6 * n) & 0x3f));
    }
    return s;
}

// Back into UTF-16, exactly what narrow() made; false, with errno set, on
// bytes that no name gives.
bool widen(const char *s, std::wstring &w)
{
    w.clear();
    for (auto p = reinterpret_cast<const unsigned char *>(s); *p != 0;) {
        std::uint32_t c = *p++;
        int n = c < 0x80    ? 0
                : c >= 0xf0 ? 3
                : c >= 0xe0 ? 2
                : c >= 0xc0 ? 1
                            : -1;
        if (n < 0 || c > 0xf4)
            return errno = EILSEQ, false;
        c &= 0x7f >> n;
        std::uint32_t least = n == 1 ? 0x80 : n == 2 ? 0x800 : 0x10000;
        for (int i = 0; i < n; i++, p++) {
            if ((*p & 0xc0) != 0x80)
                return errno = EILSEQ, false;
            c = c << 6 | (*p & 0x3f);
        }
        if (n > 0 && (c < least || c > 0x10ffff))
            return errno = EILSEQ, false;
        if (c >= 0x10000) {
            w += wchar_t(0xd800 + ((c - 0x10000) >> 10));
            c = 0xdc00 + ((c - 0x10000) & 0x3ff);
        }
        w += wchar_t(c);
    }
    return true;
}

// The C runtime's errno for a Windows error, as its own calls would set.
void seterrno(DWORD e)
{
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_INVALID_HANDLE:
        errno = EBADF;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        errno = EPIPE;
        break;
    default:
        errno = EINVAL;
    }
}

// The full path of a name, as Windows resolves it ("\\.\NUL" for a
// device); empty when it cannot say.
std::wstring fullpath(const std::wstring &name)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD n =
        GetFullPathNameW(name.c_str(), DWORD(full.size()), &full[0], nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = GetFullPathNameW(name.c_str(), n, &full[0], nullptr);
    }
    full.resize(n < full.size() ? n : 0);
    return full;
}

// The name as the wide calls take it. A full path of MAX_PATH characters or
// more is given in its extended-length form, which needs no registry
// setting; the full path has already been resolved as Windows would.
bool winname(const char *name, std::wstring &w)
{
    if (!widen(name, w))
        return false;
    std::wstring full = fullpath(w);
    if (full.size() < MAX_PATH || full.compare(0, 4, L"\\\\?\\") == 0 ||
        full.compare(0, 4, L"\\\\.\\") == 0)
        return true;
    if (full.compare(0, 2, L"\\\\") == 0)
        w = L"\\\\?\\UNC\\" + full.substr(2);
    else
        w = L"\\\\?\\" + full;
    return true;
}

// A name as Windows compares names, case-insensitively, reduced to a hash
// (never 0): equal names give equal hashes, and the rare unequal names that
// give one too make a refusal, never a loss.
std::uint64_t namehash(const std::wstring &name)
{
    std::wstring up(name.size(), L'\0');
    if (!name.empty() &&
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(),
                      int(name.size()), &up[0], int(up.size()), nullptr,
                      nullptr, 0) != int(name.size()))
        up = name;
    std::uint64_t h = 14695981039346656037u;
    for (wchar_t c : up) {
        h ^= std::uint16_t(c);
        h *= 1099511628211u;
    }
    return h != 0 ? h : 1;
}

// Which device each descriptor opened by name stands for: the handle of
// NUL and that of a serial port tell no more than "character device".
std::map<int, std::uint64_t> devices;

// The type and identity of an open handle. A file on disk is known by
// whatever its file system answers: a 128-bit file ID, a volume serial
// number and file index, or the handle's final path.
look handleid(HANDLE h, fileid &id)
{
    id = fileid{};
    DWORD type = GetFileType(h);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        seterrno(GetLastError());
        return look::failed;
    }
    if (type == FILE_TYPE_CHAR) {
        // A console, NUL or a port keeps nothing that is written.
        id.mode = S_IFCHR;
        id.stores = false;
        return look::found;
    }
    if (type != FILE_TYPE_DISK) {
        id.mode = S_IFIFO;
        return look::found;
    }
    FILE_STANDARD_INFO si;
    if (!GetFileInformationByHandleEx(h, FileStandardInfo, &si, sizeof si)) {
        seterrno(GetLastError());
        return look::failed;
    }
    id.mode = si.Directory ? S_IFDIR : S_IFREG;
    id.size = si.EndOfFile.QuadPart;
    // An ID of zero is no ID: some file systems answer it for every file,
    // and two files must never match because neither had one.
    FILE_ID_INFO fi;
    static_assert(sizeof id.ino == sizeof fi.FileId, "a file ID is 128 bits");
    if (skipids < 1 &&
        GetFileInformationByHandleEx(h, FileIdInfo, &fi, sizeof fi)) {
        memcpy(id.ino.data(), &fi.FileId, sizeof id.ino);
        id.dev = fi.VolumeSerialNumber;
    }
    BY_HANDLE_FILE_INFORMATION bi;
    if (skipids < 2 && GetFileInformationByHandle(h, &bi) &&
        (bi.nFileIndexHigh | bi.nFileIndexLow) != 0)
        id.index = {bi.dwVolumeSerialNumber,
                    std::uint64_t(bi.nFileIndexHigh) << 32 | bi.nFileIndexLow};
    // A path tells a file apart only when the file has no other name.
    if (skipids < 3 && si.NumberOfLinks == 1) {
        std::wstring path(MAX_PATH, L'\0');
        DWORD n = GetFinalPathNameByHandleW(h, &path[0], MAX_PATH, 0);
        if (n >= path.size()) {
            path.resize(n);
            n = GetFinalPathNameByHandleW(h, &path[0], n, 0);
        }
        if (n > 0 && n < path.size())
            id.name = namehash(path.substr(0, n));
    }
    return look::found;
}

HANDLE handleof(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Opens a file by name as a descriptor of the C runtime.
int openfd(const char *name, DWORD access, DWORD disposition, int flags)
{
    std::wstring w;
    if (!winname(name, w))
        return -1;
    HANDLE h =
        CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // Windows refuses a directory as a file with "access denied".
        DWORD attr = GetFileAttributesW(w.c_str());
        if (e == ERROR_ACCESS_DENIED && attr != INVALID_FILE_ATTRIBUTES &&
            (attr & FILE_ATTRIBUTE_DIRECTORY) != 0)
            errno = EISDIR;
        else
            seterrno(e);
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd == -1) {
        CloseHandle(h);
        return -1;
    }
    if (GetFileType(h) == FILE_TYPE_CHAR)
        devices[fd] = namehash(fullpath(w));
    return fd;
}

} // namespace

namespace sys
{

char **start(int &argc, char **)
{
    static std::vector<std::string> args;
    static std::vector<char *> argv;
    wchar_t **wargv, **wenv;
    startinfo si = {0};
    if (__wgetmainargs(&argc, &wargv, &wenv, _dowildcard, &si) < 0) {
        fputs("pagestrip: cannot read the command line\n", stderr);
        exit(1);
    }
    for (int i = 0; i < argc; i++)
        args.push_back(narrow(wargv[i]));
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return argv.data();
}

look idoffd(int fd, fileid &id)
{
    HANDLE h = handleof(fd);
    if (h == INVALID_HANDLE_VALUE || h == nullptr ||
        h == reinterpret_cast<HANDLE>(-2)) {
        errno = EBADF;
        return look::absent;
    }
    look l = handleid(h, id);
    auto d = devices.find(fd);
    if (S_ISCHR(id.mode) && d != devices.end())
        id.name = d->second;
    return l;
}

look idofname(const char *name, fileid &id)
{
    std::wstring w;
    if (!winname(name, w))
        return look::failed;
    HANDLE h = CreateFileW(
        w.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Failures that the open will meet and report the same way: the
        // name stands for no file, so no file can be harmed through it.
        switch (DWORD e = GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_DIRECTORY:
        case ERROR_ACCESS_DENIED:
        case ERROR_NOT_READY:
            return look::absent;
        default:
            // A device that will not answer (a console where there is
            // none) holds no file for a message to land in; the open
            // decides what it is.
            if (fullpath(w).compare(0, 4, L"\\\\.\\") == 0)
                return look::absent;
            seterrno(e);
            return look::failed;
        }
    }
    look l = handleid(h, id);
    CloseHandle(h);
    if (S_ISCHR(id.mode))
        id.name = namehash(fullpath(w));
    return l;
}

match same(const fileid &a, const fileid &b)
{
    if ((a.mode & S_IFMT) != (b.mode & S_IFMT))
        return match::differ;
    // A device is the same only as itself, known by the name it was
    // opened by; a pipe is a stream, not storage.
    if (S_ISCHR(a.mode))
        return a.name != 0 && a.name == b.name ? match::same : match::differ;
    if (!S_ISREG(a.mode) && !S_ISDIR(a.mode))
        return match::differ;
    // Compared by the first identity that both have. Wine reports volume 0
    // for the handles a program inherits: an unknown volume matches any.
    constexpr std::array<std::uint64_t, 2> none = {};
    if (a.ino != none && b.ino != none)
        return (a.dev == b.dev || a.dev == 0 || b.dev == 0) && a.ino == b.ino
                   ? match::same
                   : match::differ;
    if (a.index != none && b.index != none)
        return a.index == b.index ? match::same : match::differ;
    if (a.name != 0 && b.name != 0)
        return a.name == b.name ? match::same : match::differ;
    return match::unknown;
}

bool isfile(const fileid &id, const char *name)
{
    // NUL takes an image for nothing, as asked. Any other device, or a name
    // that Windows takes for one (nul.txt, con.bin), would lose it.
    if (!S_ISCHR(id.mode))
        return true;
    for (const char *null : {"NUL", "NUL:", "\\\\.\\NUL"})
        if (_stricmp(name, null) == 0)
            return true;
    return false;
}

int openin(const char *name)
{
    return openfd(name, GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_BINARY);
}

int openout(const char *name)
{
    // Attributes readable too, so that the handle answers for its identity
    // on file systems without file IDs.
    return openfd(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, OPEN_ALWAYS,
                  _O_WRONLY | _O_BINARY);
}

bool sync(int, const fileid &) { return true; }

bool echo(const char *line)
{
    HANDLE h = handleof(1);
    DWORD mode;
    if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
        // A console shows the name as typed, whatever its code page.
        std::wstring w;
        if (!widen(line, w))
            return false;
        w += L"\r\n";
        for (std::size_t at = 0; at < w.size();) {
            DWORD n = 0;
            DWORD chunk = DWORD(std::min<std::size_t>(w.size() - at, 4096));
            if (!WriteConsoleW(h, w.data() + at, chunk, &n, nullptr) ||
                n == 0) {
                seterrno(GetLastError());
                return false;
            }
            at += n;
        }
        return true;
    }
    // The stream's error indicator too: Wine's runtime can return success
    // from printf and fflush with it set.
    return printf("%s\n", line) >= 0 && fflush(stdout) != EOF &&
           !ferror(stdout);
}

} // namespace sys
