// Preloaded (LD_PRELOAD) into the program by end-to-end tests to bring about
// faults and timings that a real system produces only rarely. Built for the
// tests only; the shipped program has no such hook. Each behaviour is switched
// on by an environment variable of the test's choosing:
//
//   ZDZ_SHIM_FAIL_DIR_FSYNC=1       fsync and fdatasync of a directory fail with
//                                   EIO (a file system losing a directory flush)
//   ZDZ_SHIM_RENAME_DELAY_MS=N      every rename waits N ms before it happens
//                                   (widens the window between a write and its
//                                   rename)
//   ZDZ_SHIM_RENAME_COPY_DIR=DIR    after each successful rename, the bytes now
//                                   at the new name are copied to DIR/PID, so a
//                                   test sees what each process installed
//   ZDZ_SHIM_TRUNCATE_FIRST_RENAME=1
//                                   after the first successful rename, the file
//                                   at the new name loses its last byte (a file
//                                   that does not read back as written)
//   ZDZ_SHIM_RENAMES_ALLOWED=N      renames after the first N fail with EIO
//   ZDZ_SHIM_FAIL_FLOCK=1           flock fails with ENOLCK (a file system that
//                                   cannot lock)

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int is_directory(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

static int fail_directory_flush(int fd) {
    const char* fail = getenv("ZDZ_SHIM_FAIL_DIR_FSYNC");
    return fail != NULL && strcmp(fail, "1") == 0 && is_directory(fd);
}

// A flush of `fd` through the C library's `name` (fsync or fdatasync), which
// fails with EIO where the test asks for it.
static int flush(int fd, const char* name) {
    if (fail_directory_flush(fd)) {
        errno = EIO;
        return -1;
    }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, name);
    return real(fd);
}

int fsync(int fd) {
    return flush(fd, "fsync");
}

int fdatasync(int fd) {
    return flush(fd, "fdatasync");
}

int flock(int fd, int operation) {
    const char* fail = getenv("ZDZ_SHIM_FAIL_FLOCK");
    if (fail != NULL && strcmp(fail, "1") == 0) {
        errno = ENOLCK;
        return -1;
    }
    int (*real)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
    return real(fd, operation);
}

static void copy_file(const char* from, const char* to) {
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return;
    }
    const int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(in, buffer, sizeof buffer)) > 0) {
            if (write(out, buffer, (size_t)n) != n) {
                break;
            }
        }
        close(out);
    }
    close(in);
}

int rename(const char* from, const char* to) {
    const char* delay = getenv("ZDZ_SHIM_RENAME_DELAY_MS");
    if (delay != NULL) {
        const long ms = strtol(delay, NULL, 10);
        const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&pause, NULL);
    }
    static long renames = 0;
    const char* allowed = getenv("ZDZ_SHIM_RENAMES_ALLOWED");
    if (allowed != NULL && renames >= strtol(allowed, NULL, 10)) {
        errno = EIO;
        return -1;
    }
    int (*real)(const char*, const char*) =
        (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    const int result = real(from, to);
    const int saved = errno;
    if (result == 0) {
        ++renames;
        const char* truncate_first = getenv("ZDZ_SHIM_TRUNCATE_FIRST_RENAME");
        struct stat st;
        if (renames == 1 && truncate_first != NULL && strcmp(truncate_first, "1") == 0 &&
            stat(to, &st) == 0 && st.st_size > 0) {
            if (truncate(to, st.st_size - 1) != 0) {
                perror("fault shim: truncate");
            }
        }
    }
    const char* copy_dir = getenv("ZDZ_SHIM_RENAME_COPY_DIR");
    if (result == 0 && copy_dir != NULL) {
        char copy[4096];
        snprintf(copy, sizeof copy, "%s/%ld", copy_dir, (long)getpid());
        copy_file(to, copy);
    }
    errno = saved;
    return result;
}
