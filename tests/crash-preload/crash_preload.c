// Preloaded into the service by the crash test (e2e/crash.test.mjs): it numbers every step
// that changes a payment's files on disk and kills the process (SIGKILL) just before step
// NORVANE_CRASH_AT, as a power cut or an OOM kill would stop it there.
//
// A step is a write, pwrite, writev, fsync, fdatasync, rename, renameat(2), unlink,
// unlinkat or remove whose file lies in the service folder's TEF/ (the backups, the results
// store, their temporary files, and the folder itself when it is flushed), or is one of the
// stand-in library's sale files in dll/ (CliSiTef.pendentes, CliSiTef.finalizadas and their
// temporary files). The stand-in's journal and the logs are not steps: they are what the
// test reads afterwards.
//
// NORVANE_CRASH_COUNT_FILE names a file to which each step is appended as one line,
// "<number> <call> <path relative to the service folder>", the step that kills included:
// a run without NORVANE_CRASH_AT tells how many steps a whole payment takes, and a run
// with it tells where it stopped. Nothing is written to the service's own files.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static pthread_once_t once = PTHREAD_ONCE_INIT;
static char service_folder[PATH_MAX];  // with its trailing slash
static size_t service_folder_length;
static long crash_at;                   // 0: only count
static int count_fd = -1;
static atomic_long steps;

static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_pwrite)(int, const void*, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void*, size_t, off64_t);
static ssize_t (*real_writev)(int, const struct iovec*, int);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_rename)(const char*, const char*);
static int (*real_renameat)(int, const char*, int, const char*);
static int (*real_renameat2)(int, const char*, int, const char*, unsigned int);
static int (*real_unlink)(const char*);
static int (*real_unlinkat)(int, const char*, int);
static int (*real_remove)(const char*);

static void set_up(void) {
  real_write = dlsym(RTLD_NEXT, "write");
  real_pwrite = dlsym(RTLD_NEXT, "pwrite");
  real_pwrite64 = dlsym(RTLD_NEXT, "pwrite64");
  real_writev = dlsym(RTLD_NEXT, "writev");
  real_fsync = dlsym(RTLD_NEXT, "fsync");
  real_fdatasync = dlsym(RTLD_NEXT, "fdatasync");
  real_rename = dlsym(RTLD_NEXT, "rename");
  real_renameat = dlsym(RTLD_NEXT, "renameat");
  real_renameat2 = dlsym(RTLD_NEXT, "renameat2");
  real_unlink = dlsym(RTLD_NEXT, "unlink");
  real_unlinkat = dlsym(RTLD_NEXT, "unlinkat");
  real_remove = dlsym(RTLD_NEXT, "remove");

  // The service keeps its files beside its executable.
  const ssize_t n = readlink("/proc/self/exe", service_folder, sizeof service_folder - 1);
  if (n > 0) {
    service_folder[n] = '\0';
    char* slash = strrchr(service_folder, '/');
    if (slash != NULL) slash[1] = '\0';
    service_folder_length = strlen(service_folder);
  }
  const char* at = getenv("NORVANE_CRASH_AT");
  if (at != NULL && *at != '\0') crash_at = strtol(at, NULL, 10);
  const char* count_file = getenv("NORVANE_CRASH_COUNT_FILE");
  if (count_file != NULL && *count_file != '\0')
    count_fd = open(count_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static void ready(void) { pthread_once(&once, set_up); }

// A path made absolute against the folder of `dirfd` (AT_FDCWD: the working folder).
static int absolute(int dirfd, const char* path, char* out, size_t size) {
  if (path == NULL) return 0;
  if (path[0] == '/') return snprintf(out, size, "%s", path) < (int)size;
  char base[PATH_MAX];
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) return 0;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    const ssize_t n = readlink(link, base, sizeof base - 1);
    if (n <= 0) return 0;
    base[n] = '\0';
  }
  return snprintf(out, size, "%s/%s", base, path) < (int)size;
}

static int path_of_fd(int fd, char* out, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, out, size - 1);
  if (n <= 0) return 0;
  out[n] = '\0';
  return 1;
}

// Whether a path is one of a payment's files; `relative` gets it relative to the service folder.
static int watched(const char* path, const char** relative) {
  if (service_folder_length == 0 || strncmp(path, service_folder, service_folder_length) != 0) return 0;
  const char* rest = path + service_folder_length;
  *relative = rest;
  if (strcmp(rest, "TEF") == 0 || strncmp(rest, "TEF/", 4) == 0) return 1;
  static const char* const sale_files[] = {
      "dll/CliSiTef.pendentes", "dll/CliSiTef.pendentes.tmp",
      "dll/CliSiTef.finalizadas", "dll/CliSiTef.finalizadas.tmp",
  };
  for (size_t i = 0; i < sizeof sale_files / sizeof sale_files[0]; ++i)
    if (strcmp(rest, sale_files[i]) == 0) return 1;
  return 0;
}

// One step: numbered, written down, and the last one this process takes when it is the
// one asked for. The line goes out with the system call itself, never through the
// functions this library stands in for.
static void step(const char* call, const char* first, const char* second) {
  const long number = atomic_fetch_add(&steps, 1) + 1;
  if (count_fd >= 0) {
    char line[2 * PATH_MAX + 64];
    int length = second != NULL ? snprintf(line, sizeof line, "%ld %s %s -> %s\n", number, call, first, second)
                                : snprintf(line, sizeof line, "%ld %s %s\n", number, call, first);
    if (length > (int)sizeof line - 1) length = (int)sizeof line - 1;
    syscall(SYS_write, count_fd, line, (size_t)length);
  }
  if (crash_at > 0 && number == crash_at) {
    syscall(SYS_kill, getpid(), SIGKILL);
    for (;;) pause();
  }
}

static void fd_step(const char* call, int fd) {
  ready();
  const int saved = errno;
  char path[PATH_MAX];
  const char* relative;
  if (path_of_fd(fd, path, sizeof path) && watched(path, &relative)) step(call, relative, NULL);
  errno = saved;
}

static void path_step(const char* call, int dirfd, const char* path, int dirfd2, const char* path2) {
  ready();
  const int saved = errno;
  char full[PATH_MAX], full2[PATH_MAX];
  const char *relative = NULL, *relative2 = NULL;
  const int one = absolute(dirfd, path, full, sizeof full) && watched(full, &relative);
  const int two = path2 != NULL && absolute(dirfd2, path2, full2, sizeof full2) && watched(full2, &relative2);
  if (one || two) {
    if (path2 == NULL) step(call, relative, NULL);
    else step(call, one ? relative : path, two ? relative2 : path2);
  }
  errno = saved;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  fd_step("write", fd);
  return real_write(fd, buffer, count);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  fd_step("pwrite", fd);
  return real_pwrite(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  fd_step("pwrite", fd);
  return real_pwrite64(fd, buffer, count, offset);
}

ssize_t writev(int fd, const struct iovec* vector, int count) {
  fd_step("writev", fd);
  return real_writev(fd, vector, count);
}

int fsync(int fd) {
  fd_step("fsync", fd);
  return real_fsync(fd);
}

int fdatasync(int fd) {
  fd_step("fdatasync", fd);
  return real_fdatasync(fd);
}

int rename(const char* from, const char* to) {
  path_step("rename", AT_FDCWD, from, AT_FDCWD, to);
  return real_rename(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  path_step("rename", from_dir, from, to_dir, to);
  return real_renameat(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
  path_step("rename", from_dir, from, to_dir, to);
  return real_renameat2(from_dir, from, to_dir, to, flags);
}

int unlink(const char* path) {
  path_step("unlink", AT_FDCWD, path, AT_FDCWD, NULL);
  return real_unlink(path);
}

int unlinkat(int dir, const char* path, int flags) {
  path_step("unlink", dir, path, AT_FDCWD, NULL);
  return real_unlinkat(dir, path, flags);
}

int remove(const char* path) {
  path_step("unlink", AT_FDCWD, path, AT_FDCWD, NULL);
  return real_remove(path);
}
