// The floor for a command-line call: connect to the control socket, write
// one request line, copy the answer line to standard output, exit. Built
// static; nothing a real client could leave out is done here.
//
//   floor_client [REQUEST]   (socket from TESSELO_SOCKET; {"method":"list"} by default)
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* path = getenv("TESSELO_SOCKET");
  if (!path) return 1;
  static char request[65536];
  const char* payload = argc > 1 ? argv[1] : "{\"method\":\"list\"}";
  size_t length = strlen(payload);
  if (length + 1 >= sizeof request) return 1;
  memcpy(request, payload, length);
  request[length++] = '\n';

  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) return 1;
  strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 1;
  if (write(fd, request, length) != (ssize_t)length) return 1;

  static char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return 1;
    char* end = memchr(buffer, '\n', (size_t)n);
    size_t keep = end ? (size_t)(end - buffer) + 1 : (size_t)n;
    for (size_t done = 0; done < keep;) {
      ssize_t w = write(1, buffer + done, keep - done);
      if (w <= 0) return 1;
      done += (size_t)w;
    }
    if (end) return 0;
  }
}
