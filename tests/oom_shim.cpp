// A stand-in for malloc, loaded into a run with LD_PRELOAD by the tests of
// the result writer: once the run has created one of its temporary files
// (an openat that creates a name beginning with "kelvanore-"), every malloc
// fails, as when memory runs out while a result set is written. Not for
// runs under AddressSanitizer, whose own malloc it would replace.
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" void* __libc_malloc(size_t size);

namespace {

volatile bool outOfMemory = false;

bool isTemporary(const char* path) {
  const char* slash = strrchr(path, '/');
  return strncmp(slash ? slash + 1 : path, "kelvanore-", 10) == 0;
}

}  // namespace

extern "C" {

void* malloc(size_t size) { return outOfMemory ? nullptr : __libc_malloc(size); }

int openat(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  // The system call itself: the C library's openat may be what this replaces.
  const int fd = static_cast<int>(syscall(SYS_openat, directory, path, flags, mode));
  if (fd >= 0 && (flags & O_CREAT) && isTemporary(path)) outOfMemory = true;
  return fd;
}

}  // extern "C"
