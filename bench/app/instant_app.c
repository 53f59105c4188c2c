// The benchmarks' stand-in for the application: an epoll control-socket
// server that answers at once with realistic bodies and counts what it served.
//
//   instant_app SOCKET [--wait-ms M] [--max-seconds S]
//
// "list" answers 3 terminals of 3 panes; "read" a screen of "lines" lines of
// 128 bytes (40 when absent); "wait" answers after M ms (1000 by default);
// "stats" answers the counters. Prints "ready" on stdout once it listens and
// ends on SIGTERM, SIGINT or after S seconds (600 by default).
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define LINE_BYTES 128
#define MAX_REQUEST 65536

enum method {
  M_LIST,
  M_READ,
  M_SEND,
  M_SPLIT,
  M_NEW,
  M_WAIT,
  M_NOTIFY,
  M_AGENT,
  M_STATS,
  M_OTHER,
  M_COUNT
};
static const char* methodNames[M_COUNT] = {"list", "read",   "send",        "split", "new",
                                           "wait", "notify", "agent-event", "stats", "other"};

struct body {
  const char* bytes;
  size_t size;
};

struct conn {
  int fd;
  char in[MAX_REQUEST];
  size_t inSize;
  struct body out;  // not owned: bodies live for the whole run
  char* owned;      // an answer made for this connection alone
  size_t outOffset;
  int64_t dueNs;  // wait answers: when to answer
  struct conn* nextWaiting;
};

static volatile sig_atomic_t stopRequested = 0;
static unsigned long served[M_COUNT];
static unsigned long connectionsAccepted, openNow, openPeak;
static int waitMs = 1000;
static struct body listBody, emptyBody, splitBody, newBody, waitBody, errorBody;
// Wait answers all take the same time, so arrival order is answer order.
static struct conn *waitHead, *waitTail;

static int64_t nowNs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void onSignal(int sig) {
  (void)sig;
  stopRequested = 1;
}

static struct body literal(const char* text) {
  struct body b = {text, strlen(text)};
  return b;
}

// Appends text to a growing heap buffer.
struct buffer {
  char* data;
  size_t size, capacity;
};

static void put(struct buffer* b, const char* text, size_t n) {
  if (b->size + n > b->capacity) {
    size_t want = b->capacity ? b->capacity * 2 : 4096;
    while (want < b->size + n) want *= 2;
    b->data = realloc(b->data, want);
    if (!b->data) abort();
    b->capacity = want;
  }
  memcpy(b->data + b->size, text, n);
  b->size += n;
}

static void puts_(struct buffer* b, const char* text) {
  put(b, text, strlen(text));
}

static void hexId(char* out, unsigned seed) {
  static const char digits[] = "0123456789abcdef";
  uint32_t x = seed * 2654435761u + 12345u;
  for (int i = 0; i < 32; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = digits[x & 15];
  }
  out[32] = '\0';
}

static struct body makeList(void) {
  static const char* processes[] = {"claude", "zsh",  "vim", "node",   "bash",
                                    "claude", "make", "git", "python3"};
  static const char* states[] = {"working", "idle", "blocked"};
  struct buffer b = {0};
  puts_(&b, "{\"terminals\":[");
  char id[33], line[512];
  for (int t = 0; t < 3; ++t) {
    hexId(id, 100 + t);
    snprintf(
        line, sizeof line,
        "%s{\"id\":\"%s\",\"title\":\"~/src/project-%d \\u2014 %s\",\"state\":\"%s\",\"panels\":[",
        t ? "," : "", id, t, processes[t * 3], states[t]);
    puts_(&b, line);
    for (int p = 0; p < 3; ++p) {
      int k = t * 3 + p;
      hexId(id, 1000 + k);
      const char* process = processes[k];
      int isAgent = strcmp(process, "claude") == 0;
      snprintf(line, sizeof line, "%s{\"id\":\"%s\",\"process\":\"%s\"%s%s%s}", p ? "," : "", id,
               process, isAgent ? ",\"agent\":\"claude\",\"state\":\"" : "",
               isAgent ? states[k % 3] : "", isAgent ? "\"" : "");
      puts_(&b, line);
    }
    puts_(&b, "]}");
  }
  puts_(&b, "]}\n");
  struct body out = {b.data, b.size};
  return out;
}

// Screen lines as a coding agent's pane shows them: prompts, paths, box
// drawing, a few characters that JSON escapes.
static const char* screenLines[] = {
    "\xe2\x95\xad\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80 Claude Code "
    "\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80\xe2\x95\xae",
    "$ make test -j2 2>&1 | tail -20",
    "[ 42%] Building CXX object support/CMakeFiles/tesselo_support.dir/json.cc.o",
    "  \xe2\x9c\x93 parses \"quoted\" values and C:\\paths\\with\\backslashes",
    "\tsrc/main.cc:118:14: warning: unused variable 'count' [-Wunused-variable]",
    "\xe2\x8f\xba Reading file (ctrl+r to expand) \xe2\x80\xa6 12 lines",
    "user@host:~/src/tesselo (main *)$ git status --short",
    " M cli/pane_commands.cc",
    "100% tests passed, 0 tests failed out of 214",
};

// The JSON answer to "read" for a screen of exactly lines * LINE_BYTES bytes.
static struct body makeRead(long lines) {
  size_t target = (size_t)lines * LINE_BYTES;
  struct buffer text = {0};
  size_t k = 0;
  while (text.size < target) {
    const char* line = screenLines[k++ % (sizeof screenLines / sizeof *screenLines)];
    size_t n = strlen(line);
    if (n > LINE_BYTES - 1) n = LINE_BYTES - 1;
    size_t room = target - text.size;
    if (room < LINE_BYTES) {
      // The last line is made of plain bytes so the total is exact.
      for (size_t i = 0; i + 1 < room; ++i) put(&text, "x", 1);
      put(&text, "\n", 1);
      break;
    }
    put(&text, line, n);
    for (size_t i = n; i < LINE_BYTES - 1; ++i) put(&text, " ", 1);
    put(&text, "\n", 1);
  }
  struct buffer b = {0};
  puts_(&b, "{\"text\":\"");
  for (size_t i = 0; i < text.size; ++i) {
    unsigned char c = (unsigned char)text.data[i];
    if (c == '"' || c == '\\') {
      char e[2] = {'\\', (char)c};
      put(&b, e, 2);
    } else if (c == '\n') {
      put(&b, "\\n", 2);
    } else if (c == '\t') {
      put(&b, "\\t", 2);
    } else {
      put(&b, (const char*)&text.data[i], 1);
    }
  }
  puts_(&b, "\"}\n");
  free(text.data);
  struct body out = {b.data, b.size};
  return out;
}

// Bodies are made once per screen size and kept.
static struct body readBody(long lines) {
  static long cachedLines[16];
  static struct body cached[16];
  static int count;
  for (int i = 0; i < count; ++i)
    if (cachedLines[i] == lines) return cached[i];
  struct body b = makeRead(lines);
  if (count < 16) {
    cachedLines[count] = lines;
    cached[count++] = b;
  }
  return b;
}

// The string value of "key" in a flat request line, or NULL.
static const char* member(const char* line, const char* key, size_t* length) {
  char pattern[64];
  snprintf(pattern, sizeof pattern, "\"%s\":", key);
  const char* p = strstr(line, pattern);
  if (!p) return NULL;
  p += strlen(pattern);
  while (*p == ' ') ++p;
  if (*p == '"') {
    const char* end = strchr(p + 1, '"');
    if (!end) return NULL;
    *length = (size_t)(end - p - 1);
    return p + 1;
  }
  const char* end = p;
  while (*end && *end != ',' && *end != '}') ++end;
  *length = (size_t)(end - p);
  return p;
}

static enum method methodOf(const char* line) {
  size_t n = 0;
  const char* name = member(line, "method", &n);
  if (!name) return M_OTHER;
  for (int m = 0; m < M_OTHER; ++m)
    if (strlen(methodNames[m]) == n && memcmp(methodNames[m], name, n) == 0) return (enum method)m;
  return M_OTHER;
}

static char* statsAnswer(size_t* size) {
  struct buffer b = {0};
  char item[128];
  puts_(&b, "{\"served\":{");
  for (int m = 0; m < M_COUNT; ++m) {
    snprintf(item, sizeof item, "%s\"%s\":%lu", m ? "," : "", methodNames[m], served[m]);
    puts_(&b, item);
  }
  snprintf(item, sizeof item, "},\"connections\":%lu,\"peakOpen\":%lu}\n", connectionsAccepted,
           openPeak);
  puts_(&b, item);
  *size = b.size;
  return b.data;
}

static void closeConn(int epfd, struct conn* c) {
  epoll_ctl(epfd, EPOLL_CTL_DEL, c->fd, NULL);
  close(c->fd);
  free(c->owned);
  free(c);
  --openNow;
}

// Writes what it can; closes the connection once the answer is out.
static void flush(int epfd, struct conn* c) {
  while (c->outOffset < c->out.size) {
    ssize_t n = send(c->fd, c->out.bytes + c->outOffset, c->out.size - c->outOffset, MSG_NOSIGNAL);
    if (n > 0) {
      c->outOffset += (size_t)n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct epoll_event ev = {.events = EPOLLOUT, .data.ptr = c};
      // A waiting connection was taken out of the set; put it back.
      if (epoll_ctl(epfd, EPOLL_CTL_MOD, c->fd, &ev) != 0)
        epoll_ctl(epfd, EPOLL_CTL_ADD, c->fd, &ev);
      return;
    } else {
      break;
    }
  }
  closeConn(epfd, c);
}

static void answer(int epfd, struct conn* c, const char* line) {
  enum method m = methodOf(line);
  ++served[m];
  size_t n = 0;
  const char* value;
  switch (m) {
    case M_LIST:
      c->out = listBody;
      break;
    case M_READ: {
      long lines = 40;
      if ((value = member(line, "lines", &n)) && n > 0) lines = strtol(value, NULL, 10);
      if (lines < 1) lines = 1;
      if (lines > (1L << 20)) lines = 1L << 20;
      c->out = readBody(lines);
      break;
    }
    case M_SPLIT:
      c->out = splitBody;
      break;
    case M_NEW:
      c->out = newBody;
      break;
    case M_WAIT:
      c->out = waitBody;
      c->dueNs = nowNs() + (int64_t)waitMs * 1000000;
      c->nextWaiting = NULL;
      if (waitTail)
        waitTail->nextWaiting = c;
      else
        waitHead = c;
      waitTail = c;
      // Out of the set until the timer answers: a hang-up meanwhile must not
      // free a connection that the wait queue still holds.
      epoll_ctl(epfd, EPOLL_CTL_DEL, c->fd, NULL);
      return;
    case M_STATS:
      c->owned = statsAnswer(&c->out.size);
      c->out.bytes = c->owned;
      break;
    case M_OTHER:
      c->out = errorBody;
      break;
    default:
      c->out = emptyBody;
      break;
  }
  flush(epfd, c);
}

static void readable(int epfd, struct conn* c) {
  for (;;) {
    if (c->inSize + 1 >= sizeof c->in) {
      closeConn(epfd, c);
      return;
    }
    ssize_t n = read(c->fd, c->in + c->inSize, sizeof c->in - 1 - c->inSize);
    if (n > 0) {
      char* end = memchr(c->in + c->inSize, '\n', (size_t)n);
      c->inSize += (size_t)n;
      if (end) {
        *end = '\0';
        answer(epfd, c, c->in);
        return;
      }
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    } else {
      closeConn(epfd, c);
      return;
    }
  }
}

static int listenAt(const char* path) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) return -1;
  strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  unlink(path);
  if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 4096) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: instant_app SOCKET [--wait-ms M] [--max-seconds S]\n");
    return 2;
  }
  const char* path = argv[1];
  long maxSeconds = 600;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--wait-ms") == 0) waitMs = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--max-seconds") == 0) maxSeconds = atol(argv[i + 1]);
  }
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction stop = {0};
  stop.sa_handler = onSignal;
  sigaction(SIGTERM, &stop, NULL);
  sigaction(SIGINT, &stop, NULL);

  listBody = makeList();
  emptyBody = literal("{}\n");
  splitBody = literal("{\"panel\":\"9f3b2c1d4e5f60718293a4b5c6d7e8f9\"}\n");
  newBody = literal("{\"panel\":\"0a1b2c3d4e5f60718293a4b5c6d7e8f9\"}\n");
  waitBody = literal("{\"state\":\"idle\"}\n");
  errorBody = literal("{\"error\":\"unknown method\"}\n");

  int listenFd = listenAt(path);
  if (listenFd < 0) {
    perror("instant_app: listen");
    return 1;
  }
  int epfd = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
  epoll_ctl(epfd, EPOLL_CTL_ADD, listenFd, &ev);
  printf("ready\n");
  fflush(stdout);

  int64_t endNs = nowNs() + (int64_t)maxSeconds * 1000000000;
  struct epoll_event events[256];
  while (!stopRequested && nowNs() < endNs) {
    int timeoutMs = 1000;
    if (waitHead) {
      int64_t left = (waitHead->dueNs - nowNs() + 999999) / 1000000;
      timeoutMs = left < 0 ? 0 : (left < timeoutMs ? (int)left : timeoutMs);
    }
    int n = epoll_wait(epfd, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
      struct conn* c = events[i].data.ptr;
      if (!c) {
        for (;;) {
          int fd = accept4(listenFd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0) break;
          struct conn* fresh = calloc(1, sizeof *fresh);
          if (!fresh) abort();
          fresh->fd = fd;
          ++connectionsAccepted;
          if (++openNow > openPeak) openPeak = openNow;
          struct epoll_event add = {.events = EPOLLIN, .data.ptr = fresh};
          epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &add);
          // Most clients have written their line before we look.
          readable(epfd, fresh);
        }
      } else if (events[i].events & EPOLLOUT) {
        flush(epfd, c);
      } else {
        readable(epfd, c);
      }
    }
    int64_t now = nowNs();
    while (waitHead && waitHead->dueNs <= now) {
      struct conn* c = waitHead;
      waitHead = c->nextWaiting;
      if (!waitHead) waitTail = NULL;
      flush(epfd, c);
    }
  }
  unlink(path);
  return 0;
}
