#include "result_files.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "matrix_files.h"
#include "options.h"
#include "result_names.h"
#include "run_state.h"
#include "stops.h"
#include "utils.h"

namespace {

// The files of a set must describe one estimate (see the protocol in
// result_files.h).

// The temporaries that may exist at once: a new file and a kept old one
// for each file of a set (four at most: the standard errors and biases
// with the Q and P they are placed again beside), and a kept old one for
// each file that a set removes (two, in a set of two files).
constexpr int kMostTemporaries = 8;
// "kelvanore-" + six random characters + ".tmp" and its terminating zero:
// short, whatever the length of the result's name (a name near the 255
// bytes that a directory entry allows must still work).
constexpr std::size_t kTemporaryNameSize = 24;
// Attempts at a free temporary name; another file takes one only by chance.
constexpr int kNameAttempts = 100;
// Buffer of a result file's writes: a few hundred write calls for a P of a
// million SNPs. On the heap: a run under a small stack limit (ulimit -s)
// must not crash here after the whole estimation.
constexpr std::size_t kWriteBufferSize = 1 << 16;

// The temporaries that exist now, for the signal handler and the exit
// handler: plain storage, read by an async-signal-safe handler.
struct Temporary {
  int directory;
  char name[kTemporaryNameSize];
};
Temporary temporaries[kMostTemporaries];
volatile sig_atomic_t temporaryInUse[kMostTemporaries];
// The temporary holds an old result, kept for the undo of a set that is
// being put in place: only the writer removes it, once the set is whole.
volatile sig_atomic_t temporaryHoldsOld[kMostTemporaries];

// Every catchable signal whose default action ends the process, but for the
// faults that only a crash raises (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT,
// SIGTRAP, SIGSYS): a closed terminal (SIGHUP), Ctrl-C and Ctrl-\, kill, a
// closed pipe, the timers, the CPU and file size limits, the user and
// real-time signals.
const sigset_t& endingSignalSet() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
                    SIGVTALRM, SIGPROF, SIGPOLL, SIGSTKFLT, SIGPWR})
      sigaddset(&s, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&s, sig);
    return s;
  }();
  return set;
}

// Removes the temporaries listed, but for those that hold an old result
// unless alsoOld: a stop (an ending signal, the exit, a stop from any
// thread) removes only new files, never an earlier result.
void removeTemporaries(bool alsoOld) {
  for (int t = 0; t < kMostTemporaries; ++t)
    if (temporaryInUse[t] && (alsoOld || !temporaryHoldsOld[t])) {
      unlinkat(temporaries[t].directory, temporaries[t].name, 0);
      temporaryInUse[t] = 0;
      temporaryHoldsOld[t] = 0;
    }
}

extern "C" void removeNewTemporaries() { removeTemporaries(false); }

extern "C" void removeTemporariesAndRaise(int sig) {
  removeTemporaries(false);
  // The signal is held back until the handler returns; it then ends the
  // run as it would have without the handler.
  signal(sig, SIG_DFL);
  raise(sig);
}

// Random characters for a temporary name. Safety does not rest on them (the
// name is created exclusively); they only keep other files' names apart.
void randomName(char* name) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;
  static uint64_t counter = 0;
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
           (static_cast<uint64_t>(getpid()) << 40);
  }
  // splitmix64's finaliser: the clock's fallback bits spread over the word.
  bits += 0x9E3779B97F4A7C15ULL * ++counter;
  bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ULL;
  bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBULL;
  bits ^= bits >> 31;
  char random[7];
  for (int c = 0; c < 6; ++c) {
    random[c] = kAlphabet[bits % kAlphabetSize];
    bits /= kAlphabetSize;
  }
  random[6] = '\0';
  std::snprintf(name, kTemporaryNameSize, "kelvanore-%s.tmp", random);
}

// A free slot of the list, or -1. Called with the ending signals held.
int freeSlot() {
  for (int t = 0; t < kMostTemporaries; ++t)
    if (!temporaryInUse[t]) return t;
  return -1;
}

// Makes a new name in the directory by `make` (which gets the candidate
// name and returns 0, or -1 with errno), never one that is already there,
// and lists it (as one that holds an old result if holdsOld). The slot, or
// -1 with errno set.
template <typename Make>
int newTemporary(int directory, bool holdsOld, Make make) {
  const EndingSignalsHeld held;
  const int t = freeSlot();
  if (t < 0) {
    errno = EMFILE;
    return -1;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    randomName(temporaries[t].name);
    if (make(temporaries[t].name) == 0) {
      temporaries[t].directory = directory;
      temporaryHoldsOld[t] = holdsOld;
      temporaryInUse[t] = 1;
      return t;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Creates a new temporary file in the directory (a link planted under its
// name is not followed). Its descriptor is left in fd.
int createTemporary(int directory, int& fd) {
  return newTemporary(directory, false, [&](const char* name) {
    fd = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd >= 0 ? 0 : -1;
  });
}

// A second name (a hard link) for the directory's entry `name`.
int linkTemporary(int directory, const char* name) {
  return newTemporary(directory, true,
                      [&](const char* link) { return linkat(directory, name, directory, link, 0); });
}

// The entry `name` moved to a temporary name; nothing takes the new name's
// place.
int moveToTemporary(int directory, const char* name) {
  return newTemporary(directory, true, [&](const char* moved) {
    return renameat2(directory, name, directory, moved, RENAME_NOREPLACE);
  });
}

void forgetTemporary(int t) {
  temporaryInUse[t] = 0;
  temporaryHoldsOld[t] = 0;
}

void removeTemporary(int t) {
  unlinkat(temporaries[t].directory, temporaries[t].name, 0);
  forgetTemporary(t);
}

// A file system that lacks an operation says so with one of these.
bool unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM; }

// A stream buffer on a file descriptor: the bytes go out in large writes,
// and the first failure is kept.
class FileOutput : public std::streambuf {
 public:
  explicit FileOutput(int fd) : fd_(fd), buffer_(new char[kWriteBufferSize]) {
    setp(buffer_.get(), buffer_.get() + kWriteBufferSize);
  }
  FileOutput(const FileOutput&) = delete;
  FileOutput& operator=(const FileOutput&) = delete;

 protected:
  int_type overflow(int_type c) override {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return drain() ? 0 : -1; }

 private:
  bool drain() {
    if (failed_) return false;
    const char* p = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      // A full disk or a file size limit; 0 bytes is a write that cannot go on.
      if (n <= 0) {
        failed_ = true;
        return false;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    setp(buffer_.get(), buffer_.get() + kWriteBufferSize);
    return true;
  }

  int fd_;
  bool failed_ = false;
  std::unique_ptr<char[]> buffer_;
};

// fsync where the file system can sync; one that cannot (EINVAL) is not a
// lost write.
bool synced(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

// A file's identity on disk: a name that still has it holds the file that
// this run put there.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
};

// Writes the matrix to the open temporary and closes it; false on any
// failure. A file that the temporary will replace gives it its permission
// bits: a result kept private (0600) stays so. The temporary's identity,
// which its name will have once it is in place, goes to `identity`.
bool writeTemporary(int directory, const std::string& replaced, int fd, const DMatrix* M, bool transpose,
                    const std::string& sep, FileIdentity& identity) {
  bool ok = true;
  struct stat st;
  if (fstatat(directory, replaced.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
    ok = fchmod(fd, st.st_mode & 0777) == 0;
  if (fstat(fd, &st) == 0)
    identity = {st.st_dev, st.st_ino};
  else
    ok = false;
  {
    FileOutput buffer(fd);
    std::ostream out(&buffer);
    outputMatrix(out, M, transpose, sep);
    out.flush();
    ok = ok && !out.fail();
  }
  ok = synced(fd) && ok;
  return close(fd) == 0 && ok;
}

struct SetFile {
  std::string name;  // within the directory
  const DMatrix* matrix;
  FileIdentity placed;  // the file under the name, once the set is in place
};

// How a file of the set came into place, or how a file that the set
// removes went, so that a later failure can put the old one back.
enum Placing {
  kUntouched,
  kExchanged,   // the old file is under its temporary's name
  kCreated,     // there was none
  kKeptAside,   // the old file is under a temporary name of its own
  kReplaced,    // renamed over the old file, which is gone
  kRemoved,     // a file the set removes, gone
};

struct Placed {
  Placing how = kUntouched;
  int temporary = -1;  // the new file's temporary, while it exists
  int kept = -1;       // the temporary that keeps the old file, if any
  FileIdentity identity;  // the new file's
  // When the undo could not put the old file back: the name under which it
  // stays (empty when the set made the name and could not remove it again).
  bool notUndone = false;
  char keptAs[kTemporaryNameSize] = {};
};

// Puts the new file of placed.temporary in place of `name`: exchanged with the
// old file where the file system can exchange two names; elsewhere the old
// file is kept under a hard link first, or, where the file system has no
// hard links either, replaced for good. False on failure, with what was
// done in `placed`.
bool placeFile(int directory, const char* name, Placed& placed) {
  const int t = placed.temporary;
  const char* temporary = temporaries[t].name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st;
    if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return false;
      if (renameat2(directory, temporary, directory, name, RENAME_NOREPLACE) == 0 ||
          (unsupported(errno) && renameat(directory, temporary, directory, name) == 0)) {
        forgetTemporary(t);
        placed.how = kCreated;
        placed.temporary = -1;
        return true;
      }
      if (errno == EEXIST) continue;
      return false;
    }
    // A directory in the result's place would be exchanged as any file.
    if (S_ISDIR(st.st_mode)) return false;
    if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) == 0) {
      // The temporary now holds the old file.
      temporaryHoldsOld[t] = 1;
      placed.how = kExchanged;
      placed.temporary = -1;
      placed.kept = t;
      return true;
    }
    if (errno == ENOENT) continue;
    if (!unsupported(errno)) return false;
    const int kept = linkTemporary(directory, name);
    if (kept < 0 && !unsupported(errno)) return false;
    if (renameat(directory, temporary, directory, name) != 0) {
      // The old file is still under its name: its second one can go.
      if (kept >= 0) removeTemporary(kept);
      return false;
    }
    forgetTemporary(t);
    placed.how = kept >= 0 ? kKeptAside : kReplaced;
    placed.temporary = -1;
    placed.kept = kept;
    return true;
  }
  return false;
}

// Removes `name`, a file that described the old set, keeping it under a
// temporary name until the set is in place where the file system allows.
// A directory is not such a file and stays. False on failure.
bool removeStaleFile(int directory, const char* name, Placed& placed) {
  struct stat st;
  if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT || errno == ENAMETOOLONG;
  if (S_ISDIR(st.st_mode)) return true;
  int kept = moveToTemporary(directory, name);
  if (kept >= 0) {
    placed.how = kKeptAside;
    placed.kept = kept;
    return true;
  }
  if (errno == ENOENT) return true;
  if (!unsupported(errno)) return false;
  kept = linkTemporary(directory, name);
  if (kept < 0 && !unsupported(errno)) return false;
  if (unlinkat(directory, name, 0) != 0) {
    const bool gone = errno == ENOENT;
    if (kept >= 0) removeTemporary(kept);
    return gone;
  }
  placed.how = kept >= 0 ? kKeptAside : kRemoved;
  placed.kept = kept;
  return true;
}

// The old file of `placed` stays under its temporary name for good: the
// undo could not put it back, and an earlier result is never removed.
void keepForTheUser(Placed& placed) {
  placed.notUndone = true;
  std::memcpy(placed.keptAs, temporaries[placed.kept].name, kTemporaryNameSize);
  forgetTemporary(placed.kept);
}

// Puts back what placeFile or removeStaleFile did. Where that fails, the
// old file is kept (see keepForTheUser) and placed.notUndone says so.
// Allocates nothing: it runs between the renames of a set.
void unplace(int directory, const char* name, Placed& placed) {
  switch (placed.how) {
    case kExchanged:
      if (renameat2(directory, temporaries[placed.kept].name, directory, name, RENAME_EXCHANGE) == 0) {
        // The temporary holds the new file again.
        temporaryHoldsOld[placed.kept] = 0;
      } else if (renameat(directory, temporaries[placed.kept].name, directory, name) == 0) {
        forgetTemporary(placed.kept);
      } else {
        keepForTheUser(placed);
      }
      break;
    case kCreated:
      if (unlinkat(directory, name, 0) != 0 && errno != ENOENT) placed.notUndone = true;
      break;
    case kKeptAside:
      if (renameat(directory, temporaries[placed.kept].name, directory, name) == 0)
        forgetTemporary(placed.kept);
      else
        keepForTheUser(placed);
      break;
    case kUntouched:
    case kReplaced:
    case kRemoved:
      break;
  }
  placed.how = kUntouched;
}

// The directory of a path and the name within it.
void splitPath(const std::string& path, std::string& directory, std::string& name) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory = ".";
    name = path;
  } else {
    directory = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// Why a set was not put in place: the file that failed and what failed,
// and what the undo could not put back.
struct SetFailure {
  bool failed = false;
  bool removing = false;  // a file that the set removes could not be removed
  std::string name;
  std::string notUndone;  // "; the old NAME is kept as TEMPORARY" for each
};

// Writes the temporaries of files[from..] (their states in placed), then
// syncs the directory; false on a failure, which `failure` describes.
bool writeTemporaries(int directory, bool readable, const std::vector<SetFile*>& files, std::size_t from,
                      std::vector<Placed>& placed, bool transpose, const std::string& sep, SetFailure& failure) {
  for (std::size_t f = from; f < files.size(); ++f) {
    int fd = -1;
    const int t = createTemporary(directory, fd);
    placed[f].temporary = t;
    if (t < 0 ||
        !writeTemporary(directory, files[f]->name, fd, files[f]->matrix, transpose, sep, placed[f].identity)) {
      failure = {true, false, files[f]->name, ""};
      return false;
    }
  }
  if (readable && !synced(directory)) {
    failure = {true, false, files[from]->name, ""};
    return false;
  }
  return true;
}

// Whether every file of `files` is still under its name as this run put it
// there: another run in the directory may have replaced it since.
bool stillInPlace(int directory, const std::vector<SetFile>& files) {
  for (const SetFile& file : files) {
    struct stat st;
    if (fstatat(directory, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !(FileIdentity{st.st_dev, st.st_ino} == file.placed))
      return false;
  }
  return true;
}

// Writes a set of files into one directory: every file is replaced, and
// the files in `stale` (which described the old set) are removed, or
// nothing changes. `companions` are files that an earlier set of this run
// placed and that the new files describe (the Q and P of standard errors):
// where another run has replaced any of them since, they are written again
// and placed with the set, so that the set stands beside them. On a failure
// no new file is left under a temporary name, and no old one is removed
// that could not be put back (the failure says under which name it stays).
SetFailure writeSet(const std::string& path, std::vector<SetFile>& files, const std::vector<std::string>& stale,
                    std::vector<SetFile>* companions, bool transpose, const std::string& sep) {
  installTemporaryCleanup();
  SetFailure failure;
  // Read access lets the directory be synced and locked; a directory that
  // may be written but not read is still one that results may go to.
  int directory = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool readable = directory >= 0;
  if (!readable) directory = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0 || files.empty()) {
    if (directory >= 0) close(directory);
    if (!files.empty()) failure = {true, false, files[0].name, ""};
    return failure;
  }

  std::vector<SetFile*> placing;
  for (SetFile& file : files) placing.push_back(&file);
  std::vector<Placed> placed(files.size() + (companions ? companions->size() : 0));
  std::vector<Placed> removed(stale.size());
  bool ok = writeTemporaries(directory, readable, placing, 0, placed, transpose, sep, failure);

  // Two runs in one directory would otherwise interleave their renames.
  // The lock is the directory's own: no file is made for it. Where the
  // file system has no such locks the set is still whole for this run.
  if (ok && readable)
    while (flock(directory, LOCK_EX) != 0 && errno == EINTR) continue;
  if (ok && companions && !stillInPlace(directory, *companions)) {
    for (SetFile& file : *companions) placing.push_back(&file);
    ok = writeTemporaries(directory, readable, placing, files.size(), placed, transpose, sep, failure);
  }
  if (!ok) {
    const EndingSignalsHeld held;
    removeTemporaries(true);
    close(directory);
    return failure;
  }

  // Nothing below allocates until the set is in place or undone: a stop for
  // lack of memory between two renames would leave a part. f and s end at
  // the file that failed (f at placing.size() when a removal failed), or
  // past the last.
  std::size_t f = 0, s = 0;
  {
    const EndingSignalsHeld held;
    while (f < placing.size() && placeFile(directory, placing[f]->name.c_str(), placed[f])) ++f;
    if (f == placing.size())
      while (s < stale.size() && removeStaleFile(directory, stale[s].c_str(), removed[s])) ++s;
    ok = f == placing.size() && s == stale.size();
    if (!ok) {
      for (std::size_t u = s; u-- > 0;) unplace(directory, stale[u].c_str(), removed[u]);
      for (std::size_t u = f; u-- > 0;) unplace(directory, placing[u]->name.c_str(), placed[u]);
    } else if (readable) {
      // The renames themselves last only once the directory is synced;
      // the files are in place either way.
      fsync(directory);
    }
    // What is left under temporary names is the old files kept until now,
    // or, after a failure, the new ones.
    removeTemporaries(true);
  }
  // Closing releases the lock.
  close(directory);

  if (ok) {
    for (std::size_t u = 0; u < placing.size(); ++u) placing[u]->placed = placed[u].identity;
    return failure;
  }
  const bool removing = f == placing.size();
  failure = {true, removing, removing ? stale[s] : placing[f]->name, ""};
  auto describe = [&](const std::string& name, const Placed& p) {
    if (!p.notUndone) return;
    if (p.keptAs[0] != '\0')
      failure.notUndone += "; the old " + name + " is kept as " + p.keptAs;
    else
      failure.notUndone += "; the new " + name + " could not be removed";
  };
  for (std::size_t u = 0; u < placing.size(); ++u) describe(placing[u]->name, placed[u]);
  for (std::size_t u = 0; u < stale.size(); ++u) describe(stale[u], removed[u]);
  return failure;
}

// The result files of a set of the current pass; a failure ends the run.
void writeResults(std::vector<SetFile>& files, const std::vector<std::string>& stale,
                  std::vector<SetFile>* companions) {
  const SetFailure failure = writeSet(".", files, stale, companions, true, " ");
  if (!failure.failed) return;
  stopWithMessage((failure.removing ? "Error removing old file " : "Error writing output file ") + failure.name +
                  failure.notUndone);
}

// Name of a result file of a pass: prefix.K, the kind (".Q", ".P", ...)
// and the suffix of the pass's penalty weight.
std::string resultName(const std::string& kind, double lambda) {
  return nameOf(Options::inputFilePrefix) + "." + to_string(K) + kind + resultSuffix(lambda);
}

// The Q and P that the current pass put in place, for the standard errors
// and biases to stand beside.
std::vector<SetFile> placedEstimate;

}  // namespace

EndingSignalsHeld::EndingSignalsHeld() { pthread_sigmask(SIG_BLOCK, &endingSignalSet(), &saved_); }

EndingSignalsHeld::~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

const sigset_t& EndingSignalsHeld::signals() { return endingSignalSet(); }

void installTemporaryCleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(removeNewTemporaries);
  setStopCleanup(removeNewTemporaries);
  struct sigaction cleanup;
  std::memset(&cleanup, 0, sizeof cleanup);
  cleanup.sa_handler = removeTemporariesAndRaise;
  cleanup.sa_mask = endingSignalSet();
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!sigismember(&endingSignalSet(), sig)) continue;
    // A signal that the run was started with ignored (nohup, a shell's
    // background job) stays ignored, and one that something else handles
    // keeps its handler.
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    sigaction(sig, &cleanup, nullptr);
  }
}

void checkResultNames() {
  long longest = pathconf(".", _PC_NAME_MAX);
  if (longest <= 0) longest = NAME_MAX;
  std::vector<std::string> kinds = {".Q", ".P"};
  if (Options::B > 0) kinds.insert(kinds.end(), {".Q_se", ".Q_bias"});
  // Only a point estimation stores its pass's weight: without one, the
  // names carry the weight that the configuration holds.
  const std::vector<double> weights =
      Options::skipPointEstimation ? std::vector<double>{Options::penaltyfunction.lambda} : Options::lambdas;
  for (double lambda : weights)
    for (const std::string& kind : kinds) {
      const std::string name = resultName(kind, lambda);
      if (name.size() > static_cast<std::size_t>(longest))
        stopWithMessage("Cannot write result file " + name + ": its name is longer than " + std::to_string(longest) +
                        " bytes");
      struct stat st;
      if (fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        stopWithMessage("Cannot write result file " + name + ": a directory has that name");
    }
}

int outputMatrix(const std::string& filename, const DMatrix* M, bool transpose, std::string sep) {
  std::string directory, name;
  splitPath(filename, directory, name);
  if (name.empty()) return 1;
  std::vector<SetFile> files = {SetFile{name, M, {}}};
  return writeSet(directory, files, {}, nullptr, transpose, sep).failed ? 1 : 0;
}

void writeEstimateFiles() {
  // A bootstrap's standard errors and biases describe the estimate they
  // were made for: once the new one is in place the old ones go, so that a
  // run without a bootstrap, or one whose bootstrap fails or is interrupted,
  // leaves none beside it.
  const double lambda = Options::penaltyfunction.lambda;
  placedEstimate = {SetFile{resultName(".Q", lambda), Qt, {}}, SetFile{resultName(".P", lambda), P, {}}};
  writeResults(placedEstimate, {resultName(".Q_se", lambda), resultName(".Q_bias", lambda)}, nullptr);
}

void writeBootstrapFiles() {
  if (Options::B <= 0) return;
  const double lambda = Options::penaltyfunction.lambda;
  std::vector<SetFile> results;
  if (Qt_se) results.push_back(SetFile{resultName(".Q_se", lambda), Qt_se, {}});
  if (Qt_bias) results.push_back(SetFile{resultName(".Q_bias", lambda), Qt_bias, {}});
  if (!results.empty()) writeResults(results, {}, &placedEstimate);
}

int writeOutputFiles() {
  writeEstimateFiles();
  writeBootstrapFiles();
  return 0;
}
