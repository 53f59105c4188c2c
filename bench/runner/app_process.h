// The instant application, started for a run and stopped at its end.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace bench {

struct AppProcess {
  pid_t pid = -1;
  std::string socket;
};

// Starts the app at socketPath and waits for it to listen.
std::optional<AppProcess> startApp(const std::string& program, const std::string& socketPath,
                                   int waitMs);
void stopApp(AppProcess& app);

// One control request straight to a socket: the answer line, or nothing.
std::optional<std::string> controlExchange(const std::string& socketPath, const std::string& line);

// How many requests of this method the app has received so far.
long servedCount(const std::string& socketPath, const std::string& method);

}  // namespace bench
