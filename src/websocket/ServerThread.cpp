#include "websocket/ServerThread.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/ExeFolder.h"
#include "service/GravaLog.h"
#include "websocket/WebSocketCodec.h"

namespace {

// A port beyond 16 bits would wrap around to some other port (70000 to 4464): a listener
// where nobody configured one, and no client where it was configured.
uint16_t checked_port(int port) {
  if (port < 1 || port > 65535)
    throw std::runtime_error("Porta " + std::to_string(port) + " inválida.");
  return static_cast<uint16_t>(port);
}

}  // namespace

TServerThread::TServerThread(int Port) : port_(checked_port(Port)) {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (DmSitef) DmSitef->SetClientChannel(this);
}

TServerThread::~TServerThread() {
  SwitchOff();
  WaitFor();
  if (DmSitef) {
    DmSitef->SetClientChannel(nullptr);
    DmSitef->FIdContext = nullptr;
  }
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

void TServerThread::SwitchOff() {
  active_ = false;
  uint64_t one = 1;
  if (wake_fd_ >= 0 && ::write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the thread is woken all the same.
  }
}

void TServerThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

std::string TServerThread::StartError() const {
  std::lock_guard<std::mutex> lock(connections_mutex_);
  return start_error_;
}

bool TServerThread::open_listener() {
  auto fail = [this](const std::string& reason) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
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
      uint64_t count;
      if (::read(wake_fd_, &count, sizeof count) < 0) {
        // Already drained: nothing to do but look again.
      }
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
    reap_finished();
    std::lock_guard<std::mutex> lock(connections_mutex_);
    make_room();
    std::shared_ptr<TIdContext> context;
    try {
      context = std::make_shared<TIdContext>(fd, tls_context_);
    } catch (const std::exception&) {
      ::close(fd);
      continue;
    }
    context->accept_order_ = ++accepted_;
    connections_.push_back(context);
    context->thread_ = std::thread(&TServerThread::serve_connection, this, context);
  }
  listening_ = false;
  ::close(listen_fd_);
  listen_fd_ = -1;
  close_all_connections();
}

void TServerThread::reap_finished() {
  std::list<std::shared_ptr<TIdContext>> done;
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
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
  size_t live = 0;
  std::shared_ptr<TIdContext> oldest;
  for (auto& context : connections_) {
    if (context->Stream.Aborted()) continue;  // already on its way out
    ++live;
    if (context != FIdContext && !oldest) oldest = context;
  }
  if (live >= kMaxConnections && oldest) oldest->Stream.Abort();
}

void TServerThread::close_all_connections() {
  std::list<std::shared_ptr<TIdContext>> all;
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    all.swap(connections_);
    FIdContext.reset();
  }
  for (auto& context : all) context->Stream.Abort();
  for (auto& context : all)
    if (context->thread_.joinable()) context->thread_.join();
}

std::shared_ptr<TIdContext> TServerThread::CurrentConnection() {
  std::lock_guard<std::mutex> lock(connections_mutex_);
  return FIdContext;
}

void TServerThread::serve_connection(std::shared_ptr<TIdContext> context) {
  // connect: TLS first, so no data is read before the handshake. A failed TLS handshake
  // drops the connection before any handler sees it.
  if (context->Stream.AcceptTls(kTlsHandshakeMs)) {
    try {
      while (active_ && context->Stream.Connected()) execute_once(context);
    } catch (...) {
      // An error that leaves the handler ends the connection (a read on a closed
      // connection lands here); it must not end the process with it.
    }
    context->Stream.Abort();
    on_disconnect(context);
  }
  context->Stream.Abort();
  context->finished_ = true;
  uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the listener is woken all the same.
  }
}

void TServerThread::execute_once(const std::shared_ptr<TIdContext>& context) {
  if (!context->Data) context->Data = std::make_unique<TClientData>();
  if (context->Data->State == TClientState::csHandshake) {
    WebSocketHandshake(context.get());
    return;
  }
  // The flag tells the TEF wait handler that a message is being read; after every routed
  // message (or failed read) nobody is reading any more.
  struct ClearProcessandoMsg {
    ~ClearProcessandoMsg() {
      if (DmSitef) DmSitef->FProcessandoMsg = false;
    }
  } clear_flag;

  std::string text;
  {
    std::lock_guard<std::recursive_mutex> lock(IOHandlerLock);
    // Only the current connection is read: a connection replaced by a newer client
    // between two messages must not read (and route) the newer client's message.
    {
      std::lock_guard<std::mutex> connections_lock(connections_mutex_);
      if (FIdContext != context || !context->Stream.Connected()) {
        context->Stream.Abort();
        return;
      }
      if (DmSitef) DmSitef->FIdContext = context.get();
    }
    text = norvane::websocket::ReadWebSocketMessage(context->Stream);
  }
  if (!text.empty() && DmSitef) DmSitef->RouteTargeting(text, context.get());
}

void TServerThread::WebSocketHandshake(TIdContext* AContext) {
  try {
    std::string key = norvane::websocket::ReadHandshakeKey(AContext->Stream);
    std::string answer = norvane::websocket::HandshakeAnswer(GenerateSecWebSocketAccept(key));
    AContext->Stream.Write(answer.data(), answer.size());
  } catch (const norvane::websocket::EHandshakeRefused& refused) {
    GravaLog(refused.what());
    AContext->Stream.Abort();
    return;
  }
  AContext->Data->State = TClientState::csConnected;
  take_over(AContext);
}

void TServerThread::take_over(TIdContext* context) {
  std::lock_guard<std::mutex> lock(connections_mutex_);
  if (FIdContext && FIdContext->accept_order_ > context->accept_order_) {
    context->Stream.Abort();  // a newer client is already being served
    return;
  }
  for (auto& other : connections_) {
    if (other.get() == context) {
      FIdContext = other;
    } else if (other->accept_order_ < context->accept_order_) {
      other->Stream.Abort();
    }
  }
  if (DmSitef) DmSitef->FIdContext = context;
}

void TServerThread::on_disconnect(const std::shared_ptr<TIdContext>& context) {
  {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    if (FIdContext == context) FIdContext.reset();
  }
  if (!DmSitef) return;
  TIdContext* expected = context.get();
  DmSitef->FIdContext.compare_exchange_strong(expected, nullptr);
  try {
    DmSitef->ClientDisconnected();
  } catch (const std::exception& error) {
    GravaLog(error.what());
  }
}

void TServerThread::DecodeWebSocketFrame(std::string& DecodedMessage) {
  std::lock_guard<std::recursive_mutex> lock(IOHandlerLock);
  DecodedMessage.clear();
  std::shared_ptr<TIdContext> context = CurrentConnection();
  if (!context || !context->Stream.Connected()) return;
  DecodedMessage = norvane::websocket::ReadWebSocketMessage(context->Stream);
}

void TServerThread::SendClientMessage(const std::string& pMsg) {
  std::lock_guard<std::recursive_mutex> lock(IOHandlerLock);
  std::shared_ptr<TIdContext> context = CurrentConnection();
  if (!context || !context->Stream.Connected()) return;
  std::string frame;
  norvane::websocket::EncodeTextFrame(pMsg, frame);
  context->Stream.Write(frame.data(), frame.size());
}

bool TServerThread::WaitForClientData(int timeout_ms) {
  std::lock_guard<std::recursive_mutex> lock(IOHandlerLock);
  std::shared_ptr<TIdContext> context = CurrentConnection();
  if (!context || !context->Stream.Connected()) return false;
  try {
    return context->Stream.WaitForInput(timeout_ms) > 0;
  } catch (const norvane::EConnectionClosed&) {
    return false;
  }
}
