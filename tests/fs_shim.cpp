// A stand-in for the file system calls that put a result set in place,
// loaded into a run with LD_PRELOAD by the tests of the result writer. Set
// through the environment:
//   KELVANORE_SHIM_NO_EXCHANGE   renameat2 with RENAME_EXCHANGE fails with
//                                EINVAL, as on a file system without it
//   KELVANORE_SHIM_NO_NOREPLACE  renameat2 with RENAME_NOREPLACE likewise
//   KELVANORE_SHIM_NO_LINK       linkat fails with EPERM, as on a file system
//                                without hard links
//   KELVANORE_SHIM_FAIL=TEXT     a rename, link or unlink of a name that
//                                contains TEXT fails with EIO
//   KELVANORE_SHIM_NO_UNLINK=TEXT  an unlink of a name that contains TEXT
//                                fails with EIO (renames of it do not)
//   KELVANORE_SHIM_RENAMES=N     once N renames have succeeded, every later
//                                rename fails with EIO, the ones that would
//                                undo the earlier too
//   KELVANORE_SHIM_NO_THREADS    pthread_create fails with EAGAIN, as when
//                                a limit on the number of threads is reached
//   KELVANORE_SHIM_PAUSE=PATH    after each rename that succeeds, a line is
//                                appended to PATH and the call sleeps for
//                                KELVANORE_SHIM_PAUSE_MS milliseconds (500
//                                by default), so that a test can act
//                                between two renames of a set
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool set(const char* variable) { return getenv(variable) != nullptr; }

// Renames that have succeeded so far, for KELVANORE_SHIM_RENAMES.
long renamesDone = 0;

bool renameRefused() {
  const char* most = getenv("KELVANORE_SHIM_RENAMES");
  return most != nullptr && renamesDone >= atol(most);
}

bool failing(const char* a, const char* b) {
  const char* text = getenv("KELVANORE_SHIM_FAIL");
  if (text == nullptr || *text == '\0') return false;
  return (a != nullptr && strstr(a, text) != nullptr) || (b != nullptr && strstr(b, text) != nullptr);
}

void afterRename() {
  ++renamesDone;
  const char* path = getenv("KELVANORE_SHIM_PAUSE");
  if (path == nullptr) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    const char line[] = "renamed\n";
    if (write(fd, line, sizeof line - 1) < 0) {
    }
    close(fd);
  }
  const char* ms = getenv("KELVANORE_SHIM_PAUSE_MS");
  const long wait = ms != nullptr ? atol(ms) : 500;
  timespec t{wait / 1000, (wait % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace

extern "C" {

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
  using Fn = int (*)(int, const char*, int, const char*, unsigned int);
  if (((flags & RENAME_EXCHANGE) && set("KELVANORE_SHIM_NO_EXCHANGE")) ||
      ((flags & RENAME_NOREPLACE) && set("KELVANORE_SHIM_NO_NOREPLACE"))) {
    errno = EINVAL;
    return -1;
  }
  if (failing(oldpath, newpath) || renameRefused()) {
    errno = EIO;
    return -1;
  }
  const int result = real<Fn>("renameat2")(olddirfd, oldpath, newdirfd, newpath, flags);
  if (result == 0) afterRename();
  return result;
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  using Fn = int (*)(int, const char*, int, const char*);
  if (failing(oldpath, newpath) || renameRefused()) {
    errno = EIO;
    return -1;
  }
  const int result = real<Fn>("renameat")(olddirfd, oldpath, newdirfd, newpath);
  if (result == 0) afterRename();
  return result;
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  using Fn = int (*)(int, const char*, int, const char*, int);
  if (set("KELVANORE_SHIM_NO_LINK")) {
    errno = EPERM;
    return -1;
  }
  if (failing(oldpath, newpath)) {
    errno = EIO;
    return -1;
  }
  return real<Fn>("linkat")(olddirfd, oldpath, newdirfd, newpath, flags);
}

int unlinkat(int dirfd, const char* pathname, int flags) {
  using Fn = int (*)(int, const char*, int);
  const char* refused = getenv("KELVANORE_SHIM_NO_UNLINK");
  if (failing(pathname, nullptr) || (refused != nullptr && *refused != '\0' && strstr(pathname, refused) != nullptr)) {
    errno = EIO;
    return -1;
  }
  return real<Fn>("unlinkat")(dirfd, pathname, flags);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
  using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  if (set("KELVANORE_SHIM_NO_THREADS")) return EAGAIN;
  return real<Fn>("pthread_create")(thread, attributes, start, argument);
}

}  // extern "C"
