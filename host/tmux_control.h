// One long-lived tmux control-mode client per tmux server, shared by every
// connection thread of the host: each command line is written to it and its
// reply read back, so a request costs no tmux process of its own.
//
// The client attaches without sizing any window and without pane output,
// like a read-mostly observer. When tmux goes away (server killed, or the
// session the client sits in destroyed) every reply still owed fails at once,
// and the next command connects anew.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/tmux.h"

namespace tesselo::host {

inline constexpr std::string_view tmuxHungMessage = "tmux did not answer";
inline constexpr std::string_view tmuxLostMessage = "lost the connection to the tmux server";

class TmuxControl {
 public:
  // `socket` as for tmux -S (empty: the default server); `limit` bounds every
  // command and every attempt to connect.
  TmuxControl(std::string socket, std::chrono::milliseconds limit);
  ~TmuxControl();
  TmuxControl(const TmuxControl&) = delete;
  TmuxControl& operator=(const TmuxControl&) = delete;

  enum class Reach {
    answered,     // tmux ran the command; the outcome says how it went
    unreachable,  // no connection could be made (no server, no session, no tmux)
    failed,       // the connection hung or broke; the outcome holds the error
    replaced,     // not the connection asked for: nothing ran
  };
  struct Answer {
    Reach reach = Reach::unreachable;
    TmuxOutcome outcome;
  };
  // Runs one command, or a list joined by ";" elements, connecting first
  // when there is no connection; with `only`, on that connection alone.
  Answer run(const std::vector<std::string>& args, uint64_t only = 0);

  // Called on the reader's thread with every notification tmux sends, and
  // with "%exit" when a connection ends. Must not call run().
  using Listener = std::function<void(std::string_view)>;
  int listen(Listener listener);
  void unlisten(int id);

  struct Connection;
  struct Listeners;

 private:
  std::shared_ptr<Connection> connection(Answer& failure);

  std::string socket_;
  std::chrono::milliseconds limit_;
  std::mutex connectMutex_;
  std::shared_ptr<Connection> current_;
  uint64_t connections_ = 0;
  std::shared_ptr<Listeners> listeners_;
};

// The command line tmux parses back into exactly these arguments: each one
// double-quoted, with what tmux would expand or end a line at escaped; a ";"
// element separates commands.
std::string commandLine(const std::vector<std::string>& args);

}  // namespace tesselo::host
