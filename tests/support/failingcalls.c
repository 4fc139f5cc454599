/* Preloaded into a program under test (LD_PRELOAD), makes the C library's
 * own calls fail as a failing disk or a hostile neighbour would, so that the
 * program's real code meets real failures:
 *   QL7420_FAULT_FSYNC=PATTERN
 *       fsync() and fdatasync() of a file or folder whose path matches fail
 *       with EIO;
 *   QL7420_FAULT_RENAME=PATTERN
 *       rename(), renameat() and renameat2() whose target path matches fail
 *       with EIO;
 *   QL7420_FAULT_LINK_AT_UNLINK=FOLDER=TARGET
 *       just before the first removal of an entry of FOLDER (unlink(),
 *       unlinkat()), FOLDER is renamed to FOLDER.moved and a symbolic link to
 *       TARGET put at its name: someone who can write beside it swapping it
 *       for a link while it is being cleared.
 * Patterns are fnmatch(3)'s, where * also matches "/"; paths are absolute,
 * as the calls resolve them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

/* The absolute path that path names, relative to the folder dirfd. */
static void resolve(int dirfd, const char *path, char *out, size_t size)
{
    char base[PATH_MAX] = "";
    if (path[0] != '/') {
        if (dirfd == AT_FDCWD) {
            if (!getcwd(base, sizeof base))
                base[0] = '\0';
        } else {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
            const ssize_t length = readlink(link, base, sizeof base - 1);
            base[length > 0 ? length : 0] = '\0';
        }
    }
    snprintf(out, size, "%s%s%s", base, base[0] ? "/" : "", path);
}

static int matches(const char *variable, int dirfd, const char *path)
{
    const char *pattern = getenv(variable);
    char resolved[PATH_MAX * 2];
    if (!pattern || !path)
        return 0;
    resolve(dirfd, path, resolved, sizeof resolved);
    return fnmatch(pattern, resolved, 0) == 0;
}

static int fails(const char *variable, int dirfd, const char *path)
{
    if (!matches(variable, dirfd, path))
        return 0;
    errno = EIO;
    return 1;
}

static int failsFlush(int fd)
{
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return 0;
    path[length] = '\0';
    return fails("QL7420_FAULT_FSYNC", AT_FDCWD, path);
}

static void swapForLink(int dirfd, const char *path)
{
    static int done = 0;
    const char *setting = getenv("QL7420_FAULT_LINK_AT_UNLINK");
    const char *separator = setting ? strchr(setting, '=') : NULL;
    char resolved[PATH_MAX * 2];
    char folder[PATH_MAX];
    char moved[PATH_MAX + 8];
    if (done || !separator || (size_t)(separator - setting) >= sizeof folder)
        return;
    memcpy(folder, setting, (size_t)(separator - setting));
    folder[separator - setting] = '\0';
    resolve(dirfd, path, resolved, sizeof resolved);
    char *slash = strrchr(resolved, '/');
    if (!slash)
        return;
    *slash = '\0';
    if (strcmp(resolved, folder) != 0)
        return;
    done = 1;
    snprintf(moved, sizeof moved, "%s.moved", folder);
    int (*realRename)(const char *, const char *) = next("rename");
    if (realRename(folder, moved) != 0 || symlink(separator + 1, folder) != 0)
        fprintf(stderr, "failingcalls: cannot swap %s for a link\n", folder);
}

int fsync(int fd)
{
    int (*real)(int) = next("fsync");
    return failsFlush(fd) ? -1 : real(fd);
}

int fdatasync(int fd)
{
    int (*real)(int) = next("fdatasync");
    return failsFlush(fd) ? -1 : real(fd);
}

int rename(const char *from, const char *to)
{
    int (*real)(const char *, const char *) = next("rename");
    return fails("QL7420_FAULT_RENAME", AT_FDCWD, to) ? -1 : real(from, to);
}

int renameat(int fromfd, const char *from, int tofd, const char *to)
{
    int (*real)(int, const char *, int, const char *) = next("renameat");
    return fails("QL7420_FAULT_RENAME", tofd, to) ? -1 : real(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char *from, int tofd, const char *to, unsigned int flags)
{
    int (*real)(int, const char *, int, const char *, unsigned int) = next("renameat2");
    return fails("QL7420_FAULT_RENAME", tofd, to) ? -1 : real(fromfd, from, tofd, to, flags);
}

int unlink(const char *path)
{
    int (*real)(const char *) = next("unlink");
    swapForLink(AT_FDCWD, path);
    return real(path);
}

int unlinkat(int dirfd, const char *path, int flags)
{
    int (*real)(int, const char *, int) = next("unlinkat");
    swapForLink(dirfd, path);
    return real(dirfd, path, flags);
}
