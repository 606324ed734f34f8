#include "websocket/ServerThread.h"

#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/ExeFolder.h"
#include "platform/GravaLog.h"
#include "websocket/WebSocketCodec.h"

namespace {

using Clock = std::chrono::steady_clock;
using norvane::TTlsSocket;
namespace ws = norvane::websocket;

// A port beyond 16 bits would wrap around to some other port (70000 to 4464): a listener
// where nobody configured one, and no client where it was configured.
uint16_t checked_port(int port) {
  if (port < 1 || port > 65535)
    throw std::runtime_error("Porta " + std::to_string(port) + " inválida.");
  return static_cast<uint16_t>(port);
}

void signal_eventfd(int fd) {
  uint64_t one = 1;
  if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
    // The counter is already non-zero: the reader is woken all the same.
  }
}

void drain_eventfd(int fd) {
  uint64_t count;
  if (::read(fd, &count, sizeof count) < 0) {
    // Already drained: nothing to do.
  }
}

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

// Waits on a connection's socket and its wake-up descriptor together.
struct TWaitResult {
  bool socket_ready = false;
  bool woken = false;
};

TWaitResult wait_socket(int socket_fd, short events, int wake_fd, int timeout_ms) {
  pollfd waits[2] = {{socket_fd, events, 0}, {wake_fd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(waits, events ? 2 : 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    TWaitResult result;
    if (n < 0) {
      result.socket_ready = true;  // the next call on the socket reports the error
      return result;
    }
    result.socket_ready = events && waits[0].revents != 0;
    result.woken = waits[events ? 1 : 0].revents != 0;
    if (result.woken) drain_eventfd(wake_fd);
    return result;
  }
}

short poll_events(TTlsSocket::Io want) {
  return want == TTlsSocket::Io::WantWrite ? POLLOUT : POLLIN;
}

}  // namespace

// ---- One connection

TIdContext::TIdContext(int fd, SSL_CTX* context) : socket_(fd, context) {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

TIdContext::~TIdContext() {
  // The listener joins every connection's thread before it lets go of the connection.
  if (thread_.joinable()) thread_.detach();
  ::close(wake_fd_);
}

namespace {
// The connection the calling thread serves, if it is a connection's thread. A frame that
// thread queues for its own client is written before it next waits on the socket, so it
// needs no wake-up (a write to the descriptor, then a poll and a read to clear it).
thread_local const TIdContext* serving_here = nullptr;
}  // namespace

void TIdContext::wake() { signal_eventfd(wake_fd_); }

bool TIdContext::Enqueue(std::string frame) {
  {
    std::lock_guard<std::mutex> lock(out_mutex_);
    if (ended_ || aborted_) return false;
    if (outbox_bytes_ + frame.size() > TServerThread::kMaxOutboxBytes) {
      aborted_ = true;
    } else {
      outbox_bytes_ += frame.size();
      outbox_.push_back(std::move(frame));
    }
  }
  if (aborted_) GravaLog("Conexão fechada: o cliente não lê as mensagens enviadas.");
  if (serving_here != this) wake();
  return !aborted_;
}

void TIdContext::Abort() {
  aborted_ = true;
  wake();
}

// ---- The listener

TServerThread::TServerThread(TListenerSettings settings)
    : settings_(std::move(settings)), port_(checked_port(settings_.Port)) {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TServerThread::~TServerThread() {
  SwitchOff();
  WaitFor();
  if (wake_fd_ >= 0) ::close(wake_fd_);
  if (tls_context_) SSL_CTX_free(tls_context_);
}

void TServerThread::Start() {
  if (thread_.joinable()) return;
  // TLS writes go through write(2): a client gone mid-write must fail that write, not end
  // the process with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  active_ = true;
  thread_ = std::thread(&TServerThread::Execute, this);
}

void TServerThread::notify_all() {
  { std::lock_guard<std::mutex> lock(mutex_); }  // a waiter between its check and its wait sees the change
  changed_.notify_all();
}

void TServerThread::SwitchOff() {
  active_ = false;
  notify_all();
  signal_eventfd(wake_fd_);
}

void TServerThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

size_t TServerThread::ConnectedClients() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const auto& connection : connections_)
    if (connection->CurrentProgress() == TIdContext::Established && !connection->Ended()) ++count;
  return count;
}

std::string TServerThread::StartError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return start_error_;
}

bool TServerThread::open_listener() {
  auto fail = [this](const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_error_ = reason;
    return false;
  };
  const std::string folder = norvane::exe_folder() + "Certificado/";
  try {
    tls_context_ = norvane::CreateServerTlsContext(folder + "server_cert.pem",
                                                   folder + "server_key.pem",
                                                   folder + "ca_cert.pem");
  } catch (const std::exception& error) {
    return fail(error.what());
  }
  if (wake_fd_ < 0) return fail(std::string("eventfd: ") + std::strerror(errno));

  // One IPv6 socket that also takes IPv4 (mapped addresses) covers every local address;
  // a machine without IPv6 gets a plain IPv4 socket.
  const int yes = 1, no = 0;
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool bound = false;
  if (fd >= 0) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(port_);
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!bound && errno == EADDRINUSE) {
      int error = errno;
      ::close(fd);
      return fail("Porta " + std::to_string(port_) + ": " + std::strerror(error));
    }
    if (!bound) ::close(fd);
  }
  if (!bound) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port_);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      int error = errno;
      ::close(fd);
      return fail("Porta " + std::to_string(port_) + ": " + std::strerror(error));
    }
  }
  // The kernel hands over a connection only once its first bytes (the TLS ClientHello) have
  // come: a flood of connects that never say anything stays in the kernel's queue and costs
  // the service no thread and no place among the half-open connections.
  const int defer_seconds = kHandshakeMs / 1000;
  ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds, sizeof defer_seconds);
  if (::listen(fd, SOMAXCONN) != 0) {
    int error = errno;
    ::close(fd);
    return fail("Porta " + std::to_string(port_) + ": " + std::strerror(error));
  }
  listen_fd_ = fd;
  return true;
}

void TServerThread::Execute() {
  if (!active_) return;
  if (!open_listener()) {
    // Without this line a service with a missing certificate or a busy port would say it
    // started and simply never answer.
    GravaLog("Servidor socket não iniciado: " + StartError());
    if (OnStarted) OnStarted(StartError());
    return;
  }
  operation_thread_ = std::thread(&TServerThread::operate, this);
  listening_ = true;
  if (OnStarted) OnStarted("");
  pollfd waits[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  while (active_) {
    int ready = ::poll(waits, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[1].revents) {
      // Woken by the stop, or by a connection that ended: its thread is joined and its
      // socket closed now, not whenever the next client happens to connect.
      drain_eventfd(wake_fd_);
      if (!active_) break;
      reap_finished();
      continue;
    }
    if (!(waits[0].revents & POLLIN)) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: the pending connection stays in the queue and poll
      // would report it again at once, so give the system a moment (or the stop a chance).
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        ::poll(&waits[1], 1, 100);
      continue;
    }
    admit(fd);
  }
  listening_ = false;
  ::close(listen_fd_);
  listen_fd_ = -1;
  close_all_connections();
  notify_all();
  if (operation_thread_.joinable()) operation_thread_.join();
}

void TServerThread::admit(int fd) {
  // A connection that ended before it said a word (a connect flood closing its sockets, which
  // the kernel hands over only then) is closed here: no thread is started for it.
  char first;
  const ssize_t peeked = ::recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    ::close(fd);
    return;
  }
  // Each message is written as soon as it is queued and the client's answer waits on it:
  // without this, a small frame sent while an earlier one is unacknowledged would wait for
  // the client's delayed acknowledgement (up to 40 ms on Linux).
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  reap_finished();
  std::lock_guard<std::mutex> lock(mutex_);
  make_room();
  std::shared_ptr<TIdContext> context;
  try {
    context = std::make_shared<TIdContext>(fd, tls_context_);  // owns fd from here on
  } catch (const std::exception&) {
    return;  // the socket was closed by the failed constructor's owner
  }
  context->accept_order_ = ++accepted_;
  try {
    context->thread_ = std::thread(&TServerThread::serve_connection, this, context);
  } catch (const std::system_error& error) {
    GravaLog(std::string("Conexão recusada: ") + error.what());
    return;  // the context and its socket go with the last reference
  }
  connections_.push_back(std::move(context));
}

void TServerThread::reap_finished() {
  std::list<std::shared_ptr<TIdContext>> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->finished_) {
        done.push_back(*it);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& context : done) context->thread_.join();
}

void TServerThread::make_room() {
  // Connections past the upgrade are bounded by the take-over itself: each one closes
  // every older one. Those still in TLS or the upgrade request have their own cap, and the
  // one that got least far (the oldest among equals) makes room: a socket that never said
  // a word goes before a client halfway through its handshake.
  size_t half_open = 0;
  std::shared_ptr<TIdContext> least;
  for (auto& context : connections_) {
    if (context->aborted_ || context->ended_) continue;
    if (context->progress_ >= TIdContext::Established) continue;
    ++half_open;
    if (!least || context->progress_ < least->progress_) least = context;
  }
  if (half_open >= kMaxHalfOpen && least) least->Abort();
}

void TServerThread::close_all_connections() {
  std::list<std::shared_ptr<TIdContext>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.swap(connections_);
    FIdContext.reset();
  }
  for (auto& context : all) context->Abort();
  for (auto& context : all)
    if (context->thread_.joinable()) context->thread_.join();
}

std::shared_ptr<TIdContext> TServerThread::CurrentConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  return FIdContext;
}

void TServerThread::serve_connection(std::shared_ptr<TIdContext> context) {
  serving_here = context.get();
  std::string leftover;
  try {
    if (handshake(context, leftover)) serve_messages(context, std::move(leftover));
  } catch (const std::exception& error) {
    // Out of memory, most likely: the connection goes, the process stays.
    GravaLog(std::string("Conexão encerrada: ") + error.what());
  }
  {
    std::lock_guard<std::mutex> lock(context->out_mutex_);
    context->ended_ = true;
    context->outbox_.clear();
    context->outbox_bytes_ = 0;
  }
  context->socket_.Close();
  connection_ended(context);
  context->finished_ = true;
  signal_eventfd(wake_fd_);
}

bool TServerThread::handshake(const std::shared_ptr<TIdContext>& owner, std::string& leftover) {
  TIdContext& context = *owner;
  TTlsSocket& socket = context.socket_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kHandshakeMs);
  // TLS first, so that no data is read before it is done.
  for (;;) {
    if (context.aborted_) return false;
    const TTlsSocket::Io io = socket.Accept();
    if (io == TTlsSocket::Io::Done) break;
    if (io == TTlsSocket::Io::Closed) return false;
    const TWaitResult waited = wait_socket(socket.Fd(), poll_events(io), context.wake_fd_, ms_until(deadline));
    if (!waited.socket_ready && !waited.woken) return false;  // too slow
    if (waited.socket_ready && context.progress_ == TIdContext::Accepted) context.progress_ = TIdContext::TlsStarted;
  }
  context.progress_ = TIdContext::TlsDone;

  std::string request;
  ws::TUpgradeRequest parsed;
  for (;;) {
    if (context.aborted_) return false;
    const TTlsSocket::Io io = socket.Read(request, 16 * 1024);
    if (io == TTlsSocket::Io::Closed) return false;
    if (io == TTlsSocket::Io::Done) {
      context.progress_ = TIdContext::UpgradeStarted;
      parsed = ws::ParseUpgradeRequest(request, settings_.AllowedOrigins);
      if (parsed.status != ws::UpgradeStatus::Incomplete) break;
      continue;
    }
    const TWaitResult waited = wait_socket(socket.Fd(), poll_events(io), context.wake_fd_, ms_until(deadline));
    if (!waited.socket_ready && !waited.woken) return false;
  }

  if (parsed.status != ws::UpgradeStatus::Accepted) {
    GravaLog("Handshake recusado: " + parsed.reason + ".");
    const std::string answer = ws::RefusalAnswer(parsed.status);
    size_t at = 0;
    const auto give_up = Clock::now() + std::chrono::seconds(2);
    while (at < answer.size() && !context.aborted_) {
      size_t written = 0;
      const TTlsSocket::Io io = socket.Write(answer.data() + at, answer.size() - at, written);
      at += written;
      if (io == TTlsSocket::Io::Done || io == TTlsSocket::Io::Closed) break;
      const TWaitResult waited = wait_socket(socket.Fd(), poll_events(io), context.wake_fd_, ms_until(give_up));
      if (!waited.socket_ready && !waited.woken) break;
    }
    return false;
  }
  leftover = request.substr(parsed.length);
  // The answer goes first on the outgoing queue, so nothing the client is sent precedes it.
  context.Enqueue(ws::HandshakeAnswer(GenerateSecWebSocketAccept(parsed.key)));
  context.progress_ = TIdContext::Established;
  return take_over(owner);
}

void TServerThread::serve_messages(const std::shared_ptr<TIdContext>& context, std::string leftover) {
  TTlsSocket& socket = context->socket_;
  ws::TFrameDecoder decoder;
  decoder.Append(leftover.data(), leftover.size());
  leftover = std::string();
  auto last_progress = Clock::now();
  std::string urgent;   // pongs and close frames: they go before the queued messages
  std::string writing;  // the frame being written, from `written` on
  size_t written = 0;
  bool closing = false;     // a close frame is on its way: write it, then end
  Clock::time_point close_deadline{};
  // The last read stopped at its limit: more may be there. So too at the start: records the
  // TLS layer read ahead with the upgrade request wait in it, where no poll sees them. Later
  // reads stop only with nothing left in it but part of a record, whose rest the socket
  // brings (see TTlsSocket::ReadInto).
  bool read_more = true;
  constexpr size_t kReadLimit = 1024 * 1024;
  // The decoder zero-fills the space it hands out before each read. A read that filled its
  // space asks for twice as much next time, up to kReadLimit; one that did not goes back to
  // one TLS record's size, so a client trickling bytes never has the service clear a
  // megabyte for each few it sends.
  constexpr size_t kFirstRead = 16 * 1024;
  size_t read_size = kFirstRead;

  auto start_closing = [&](uint16_t code, const std::string& log) {
    if (!log.empty()) GravaLog(log);
    urgent += ws::CloseFrame(code);
    closing = true;
    close_deadline = Clock::now() + std::chrono::seconds(1);
  };

  for (;;) {
    if (context->aborted_) return;

    // Whole messages go to the inbox in the order they came.
    ws::TReadResult result;
    while (!closing && decoder.Next(result)) {
      using Kind = ws::TReadResult::Kind;
      if (!result.log.empty()) GravaLog(result.log);
      urgent += result.reply;
      if (result.kind == Kind::Closed || result.kind == Kind::Refused) {
        closing = true;
        close_deadline = Clock::now() + std::chrono::seconds(1);
      } else if (result.kind == Kind::Message) {
        if (!take_message(context, result.text)) {
          start_closing(ws::kClosePolicy,
                        "Conexão fechada: mais de " + std::to_string(kMaxInboxMessages) +
                            " mensagens ou " + std::to_string(kMaxInboxBytes) +
                            " bytes aguardando atendimento.");
        }
      }
    }

    // Writes: what the socket takes now.
    TTlsSocket::Io write_wait = TTlsSocket::Io::Done;
    for (;;) {
      if (written == writing.size()) {
        writing.clear();
        written = 0;
        if (!urgent.empty()) {
          writing.swap(urgent);
        } else if (!closing) {
          std::lock_guard<std::mutex> lock(context->out_mutex_);
          if (!context->outbox_.empty()) {
            writing = std::move(context->outbox_.front());
            context->outbox_.pop_front();
            context->outbox_bytes_ -= writing.size();
          }
        }
        if (writing.empty()) break;
      }
      size_t n = 0;
      const TTlsSocket::Io io = socket.Write(writing.data() + written, writing.size() - written, n);
      written += n;
      if (io == TTlsSocket::Io::Closed) return;
      if (io != TTlsSocket::Io::Done) {
        write_wait = io;
        break;
      }
    }
    if (closing && writing.empty() && urgent.empty()) return;

    // Wait for the socket, the wake-up, or the deadline of a stalled frame or a close.
    int timeout = -1;
    if (closing) {
      timeout = ms_until(close_deadline);
      if (timeout == 0) return;
    } else if (decoder.InsideMessage()) {
      timeout = ms_until(last_progress + std::chrono::milliseconds(kStalledFrameMs));
      if (timeout == 0) {
        start_closing(ws::kCloseProtocolError,
                      "Conexão fechada: quadro sem progresso por " +
                          std::to_string(kStalledFrameMs / 1000) + " s.");
        continue;
      }
    }
    short events = closing ? 0 : POLLIN;
    if (write_wait != TTlsSocket::Io::Done) events |= poll_events(write_wait);
    if (read_more && !closing) timeout = 0;
    const TWaitResult waited = wait_socket(socket.Fd(), events, context->wake_fd_, timeout);
    if (closing || !(waited.socket_ready || read_more)) continue;

    // Decrypted straight where the bytes stay: a large message's payload into its own buffer.
    const ws::TFrameDecoder::TSpace space = decoder.Space(read_size);
    size_t got = 0;
    const TTlsSocket::Io io = socket.ReadInto(space.data, space.size, got);
    decoder.Filled(got);
    read_more = io == TTlsSocket::Io::Done && got == space.size;
    read_size = read_more ? std::min(read_size * 2, kReadLimit) : kFirstRead;
    if (io == TTlsSocket::Io::Closed) return;
    if (io == TTlsSocket::Io::Done) last_progress = Clock::now();
  }
}

bool TServerThread::take_message(const std::shared_ptr<TIdContext>& context, std::string& message) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Only this thread adds to this inbox: found empty with the operation idle, nothing the
  // client sent before can still be unanswered, so running the message here keeps the
  // order of the replies.
  if (settings_.OnQuickMessage && active_ && context == FIdContext && !operating_ && !quick_running_ &&
      !client_gone_ && context->inbox_.empty()) {
    operating_ = context;
    quick_running_ = true;
    lock.unlock();
    bool ran = false;
    try {
      ran = settings_.OnQuickMessage(message, context.get());
    } catch (const std::exception& error) {
      GravaLog(std::string("Erro ao tratar a mensagem: ") + error.what());
      ran = true;  // it may have answered part of it: not run a second time
    }
    lock.lock();
    operating_.reset();
    quick_running_ = false;
    if (ran) {
      // The operation thread is woken only if it has something to do now: work that came
      // while this ran (a client gone, a stop). Waking it for nothing costs a switch of
      // threads on every quick message.
      const bool work_waits = operation_has_work();
      lock.unlock();
      if (work_waits) changed_.notify_all();
      return true;
    }
  }
  if (context->inbox_.size() >= kMaxInboxMessages || context->inbox_bytes_ + message.size() > kMaxInboxBytes)
    return false;
  context->inbox_bytes_ += message.size();
  context->inbox_.push_back(std::move(message));
  lock.unlock();
  changed_.notify_all();
  return true;
}

bool TServerThread::operation_has_work() const {
  return !active_ || client_gone_ || (FIdContext && !FIdContext->inbox_.empty());
}

bool TServerThread::take_over(const std::shared_ptr<TIdContext>& context) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!active_) return false;
  if (FIdContext && FIdContext->accept_order_ > context->accept_order_) {
    return false;  // a newer client is already being served
  }
  for (auto& other : connections_) {
    if (other->accept_order_ < context->accept_order_) other->Abort();
  }
  const bool replaced = FIdContext != nullptr;
  if (replaced) client_gone_ = true;  // replaced: its operation state goes with it
  FIdContext = context;
  // Only a replaced client is news to the operation thread (an operation reading its
  // answers, or its goodbye to run); a client arriving after the last one left is not.
  if (replaced) changed_.notify_all();
  return true;
}

void TServerThread::connection_ended(const std::shared_ptr<TIdContext>& context) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (FIdContext == context) {
      FIdContext.reset();
      client_gone_ = true;
    }
    context->inbox_.clear();
    context->inbox_bytes_ = 0;
  }
  changed_.notify_all();
}

void TServerThread::operate() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !quick_running_ && operation_has_work(); });
    if (!active_) break;
    if (client_gone_) {
      client_gone_ = false;
      lock.unlock();
      try {
        if (settings_.OnClientGone) settings_.OnClientGone();
      } catch (const std::exception& error) {
        GravaLog(error.what());
      }
      lock.lock();
      continue;
    }
    std::shared_ptr<TIdContext> context = FIdContext;
    std::string message = std::move(context->inbox_.front());
    context->inbox_.pop_front();
    context->inbox_bytes_ -= message.size();
    operating_ = context;
    lock.unlock();
    try {
      if (settings_.OnMessage) settings_.OnMessage(message, context.get());
    } catch (const std::exception& error) {
      GravaLog(std::string("Erro ao tratar a mensagem: ") + error.what());
    }
    const bool large = message.size() > 1024 * 1024;
    message = std::string();
    // A large message's pages go back to the system now, not when some later allocation
    // happens to reuse them.
    if (large) malloc_trim(0);
    lock.lock();
    operating_.reset();
  }
  operating_.reset();
}

TClientRead TServerThread::WaitClientMessage(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::shared_ptr<TIdContext> target = operating_ ? operating_ : FIdContext;
  const auto deadline = Clock::now() + std::min<std::chrono::milliseconds>(timeout, std::chrono::hours(24 * 365));
  for (;;) {
    if (!active_) return {TClientRead::Kind::Stopped, {}};
    if (!target || target != FIdContext) return {TClientRead::Kind::Disconnected, {}};
    if (!target->inbox_.empty()) {
      TClientRead read{TClientRead::Kind::Message, std::move(target->inbox_.front())};
      target->inbox_.pop_front();
      target->inbox_bytes_ -= read.text.size();
      return read;
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
        target->inbox_.empty() && active_ && target == FIdContext)
      return {TClientRead::Kind::TimedOut, {}};
  }
}

bool TServerThread::ClientPresent() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::shared_ptr<TIdContext> target = operating_ ? operating_ : FIdContext;
  return active_ && target && target == FIdContext && !target->Ended();
}

void TServerThread::SendClientMessage(const std::string& pMsg) {
  std::shared_ptr<TIdContext> target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target = operating_ ? operating_ : FIdContext;
  }
  if (!target) return;
  std::string frame;
  ws::EncodeTextFrame(pMsg, frame);
  target->Enqueue(std::move(frame));
}
