// Whole-buffer writes and interrupted-call retries, shared by every program.
#pragma once

#include <sys/types.h>
#include <string>
#include <string_view>

namespace tesselo {

// Writes every byte to a file or pipe, continuing partial writes and retrying
// EINTR. False on any other failure.
bool writeAll(int fd, std::string_view data);

// The same for a socket, without ever raising SIGPIPE when the peer has gone.
bool sendAll(int fd, std::string_view data);

// One read, retried on EINTR. Returns what read(2) returns.
ssize_t readSome(int fd, char* buffer, size_t size);

// Reads a descriptor to its end. False on a read error.
bool readToEnd(int fd, std::string& out);

}  // namespace tesselo
