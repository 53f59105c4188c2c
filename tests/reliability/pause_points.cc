// Preloaded into tesselo-cli by the crash tests, never linked into a program:
// numbers each step of writing a file (file made or opened, its mode, each
// write, each sync, its close, the rename and the moment after it) and stops
// the process at the step TESSELO_TEST_STOP_AT names, so that a kill lands
// exactly there. TESSELO_TEST_WRITE_PIECE cuts writes to the file into pieces
// of at most that many bytes, which gives a kill a place inside the content.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>

namespace {

long numberFrom(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::atol(value) : 0;
}

void step() {
  static const long stopAt = numberFrom("TESSELO_TEST_STOP_AT");
  static long taken = 0;
  if (++taken == stopAt) raise(SIGSTOP);
}

// Descriptors of files opened for writing: writes elsewhere (the output) are
// not steps of a file replacement.
bool tracked[4096];

bool followed(int fd) {
  return fd >= 0 && fd < 4096 && tracked[fd];
}

int follow(int fd) {
  if (fd >= 0 && fd < 4096) tracked[fd] = true;
  return fd;
}

#define NEXT(name, type) reinterpret_cast<type>(dlsym(RTLD_NEXT, name))

}  // namespace

extern "C" {

int mkostemp(char* pattern, int flags) {
  step();
  return follow(NEXT("mkostemp", int (*)(char*, int))(pattern, flags));
}

// A file opened for writing by name is followed as well: a write in place is
// exactly what must show up here.
int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(rest, int)) : 0;
  va_end(rest);
  auto real = NEXT("open", int (*)(const char*, int, ...));
  if ((flags & O_ACCMODE) == O_RDONLY) return real(path, flags, mode);
  step();
  return follow(real(path, flags, mode));
}

int fchmod(int fd, mode_t mode) {
  if (followed(fd)) step();
  return NEXT("fchmod", int (*)(int, mode_t))(fd, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
  static const long piece = numberFrom("TESSELO_TEST_WRITE_PIECE");
  if (followed(fd)) {
    step();
    if (piece > 0) size = std::min(size, static_cast<size_t>(piece));
  }
  return NEXT("write", ssize_t(*)(int, const void*, size_t))(fd, data, size);
}

int fsync(int fd) {
  step();
  return NEXT("fsync", int (*)(int))(fd);
}

int close(int fd) {
  if (followed(fd)) {
    step();
    tracked[fd] = false;
  }
  return NEXT("close", int (*)(int))(fd);
}

int rename(const char* from, const char* to) {
  step();
  int rc = NEXT("rename", int (*)(const char*, const char*))(from, to);
  step();
  return rc;
}

}  // extern "C"
