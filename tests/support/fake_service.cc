#include "tests/support/fake_service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/gzip.h"

namespace testing_support {
namespace {

// httplib adds these to a request's fields; no client sent them.
constexpr const char* kServerAddedFields[] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                              "LOCAL_PORT"};
// httplib acts on these fields while it reads a body: it inflates gzip, and it refuses
// form-encoded bodies above 8 KB (a limit compiled into Debian's library, which no macro on
// our side reaches) or parses them into the query items. Each field is parked under another
// name while the body is read, so the service records the bytes as they came.
constexpr std::pair<const char*, const char*> kParkedFields[] = {
    {"Content-Encoding", "X-FakeService-Parked-Content-Encoding"},
    {"Content-Type", "X-FakeService-Parked-Content-Type"},
};
// Requests answered at the same time; the rest wait for a free thread.
constexpr std::size_t kServiceThreads = 64;
// Chunks of a chunked body, small enough that a long body takes many.
constexpr std::size_t kChunkLength = 16384;

bool isGzip(const std::optional<std::string>& encoding) {
  if (!encoding) return false;
  std::string lower = *encoding;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "gzip";
}

bool sameField(std::string_view a, std::string_view b) {
  const platform::HeaderNameLess less;
  return !less(a, b) && !less(b, a);
}

std::uint16_t portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return 0;
}

// httplib gives handlers no socket, so the connection is found among the process's
// descriptors by its two ports and shut down; httplib's own write then fails and it
// closes the descriptor itself.
void dropConnection(const httplib::Request& request) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    int fd = -1;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (const std::exception&) {
      continue;
    }
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
      continue;
    }
    if (portOf(local) == request.local_port && portOf(peer) == request.remote_port) {
      shutdown(fd, SHUT_RDWR);
      return;
    }
  }
}

}  // namespace

std::string gzip(std::string_view bytes) {
  return platform::gzip::compress(platform::Data::fromString(bytes)).toString();
}

FakeService::Response FakeService::Response::redirect(std::string location, int status) {
  Response response;
  response.status = status;
  response.headers.emplace_back("Location", std::move(location));
  return response;
}

std::optional<std::string> FakeService::Request::header(std::string_view name) const {
  const auto it = headers.find(name);
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

struct FakeService::State {
  httplib::Server server;
  int port = 0;
  std::thread thread;
  std::atomic<bool> listenReturned{false};
  int listeningSocket = -1;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // a request arrived, or the service is stopping
  bool stopping = false;
  std::vector<Request> requests;
  std::map<std::pair<std::string, std::string>, std::deque<Response>> script;
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const Responder>> responders;

  void serve(const httplib::Request& request, httplib::Response& response);
  Request record(const httplib::Request& request) const;
};

FakeService::Request FakeService::State::record(const httplib::Request& request) const {
  Request recorded;
  recorded.method = request.method;
  const auto question = request.target.find('?');
  recorded.path = request.target.substr(0, question);
  if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
  for (const auto& [name, value] : request.params) recorded.queryItems.emplace(name, value);
  for (const auto& [name, value] : request.headers) {
    if (std::find_if(std::begin(kServerAddedFields), std::end(kServerAddedFields),
                     [&](const char* added) { return name == added; }) !=
        std::end(kServerAddedFields)) {
      continue;
    }
    std::string field = name;
    for (const auto& [original, parked] : kParkedFields) {
      if (name == parked) field = original;
    }
    const auto [it, inserted] = recorded.headers.emplace(field, value);
    if (!inserted) it->second += ", " + value;
  }
  recorded.body = request.body;
  if (isGzip(recorded.header("Content-Encoding"))) {
    if (auto inflated = platform::gzip::decompress(platform::Data::fromString(recorded.body))) {
      recorded.inflatedBody = inflated->toString();
    }
  } else {
    recorded.inflatedBody = recorded.body;
  }
  return recorded;
}

void FakeService::State::serve(const httplib::Request& request, httplib::Response& response) {
  Request recorded = record(request);
  Response answer;
  answer.status = 404;
  std::shared_ptr<const Responder> responder;
  {
    std::lock_guard lock(mutex);
    const std::pair<std::string, std::string> route{recorded.method, recorded.path};
    if (const auto found = responders.find(route); found != responders.end()) {
      responder = found->second;
    } else if (const auto it = script.find(route); it != script.end() && !it->second.empty()) {
      answer = it->second.front();
      if (it->second.size() > 1) it->second.pop_front();
    }
    requests.push_back(recorded);
  }
  changed.notify_all();
  if (responder) answer = (*responder)(recorded);

  if (answer.delaySeconds > 0) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::duration<double>(answer.delaySeconds),
                     [this] { return stopping; });
    if (stopping) answer.dropConnection = true;
  }
  if (answer.dropConnection) {
    dropConnection(request);
    return;
  }

  response.status = answer.status;
  std::string contentType = "text/plain";
  bool hasContentType = false;
  for (const auto& [name, value] : answer.headers) {
    if (sameField(name, "Content-Type")) {
      contentType = value;
      hasContentType = true;
    } else {
      response.headers.emplace(name, value);
    }
  }
  if (answer.body.empty()) {
    if (hasContentType) response.set_header("Content-Type", contentType);
    return;
  }
  // A body with a known length from a provider is never compressed by httplib, whatever
  // the request's Accept-Encoding says; a plain body could be.
  auto body = std::make_shared<const std::string>(std::move(answer.body));
  if (answer.chunked) {
    response.set_chunked_content_provider(
        contentType, [body](size_t offset, httplib::DataSink& sink) {
          const std::size_t length = std::min(kChunkLength, body->size() - offset);
          if (!sink.write(body->data() + offset, length)) return false;
          if (offset + length == body->size()) sink.done();
          return true;
        });
    return;
  }
  response.set_content_provider(
      body->size(), contentType, [body](size_t offset, size_t length, httplib::DataSink& sink) {
        return sink.write(body->data() + offset, std::min(length, body->size() - offset));
      });
}

FakeService::FakeService() : state_(std::make_unique<State>()) {
  State& state = *state_;
  // One request per connection: an idle kept-alive connection would hold up the stop for
  // httplib's whole keep-alive time.
  state.server.set_keep_alive_max_count(1);
  state.server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
    // The request object httplib passes is its own mutable one.
    auto& headers = const_cast<httplib::Request&>(request).headers;
    for (const auto& [original, parked] : kParkedFields) {
      for (auto it = headers.find(original); it != headers.end(); it = headers.find(original)) {
        headers.emplace(parked, it->second);
        headers.erase(it);
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  const auto handler = [&state](const httplib::Request& request, httplib::Response& response) {
    state.serve(request, response);
  };
  const std::string any = ".*";
  state.server.Get(any, handler);
  state.server.Post(any, handler);
  state.server.Put(any, handler);
  state.server.Patch(any, handler);
  state.server.Delete(any, handler);
  state.server.Options(any, handler);

  state.server.new_task_queue = [] { return new httplib::ThreadPool(kServiceThreads); };
  state.server.set_socket_options([&state](socket_t socket) {
    httplib::default_socket_options(socket);
    state.listeningSocket = socket;
  });
  state.port = state.server.bind_to_any_port("127.0.0.1");
  if (state.port <= 0) throw std::runtime_error("FakeService cannot bind to 127.0.0.1");
  // Clients may open many connections at once (a batch of requests in flight together).
  // httplib listens with a backlog of 5, and the kernel drops connection attempts beyond
  // it, which clients retry only after a second or more; listening again raises it.
  ::listen(state.listeningSocket, SOMAXCONN);

  // httplib writes without MSG_NOSIGNAL: writing to a client that hung up would raise
  // SIGPIPE. The server's threads (the pool inherits from the listening thread) block it.
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  state.thread = std::thread([&state] {
    state.server.listen_after_bind();
    state.listenReturned = true;
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  // stop() is ignored until the server runs, so the destructor must not come first.
  while (!state.server.is_running() && !state.listenReturned) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!state.server.is_running()) {
    state.thread.join();
    throw std::runtime_error("FakeService cannot listen on 127.0.0.1");
  }
}

FakeService::~FakeService() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  state_->server.stop();
  state_->thread.join();
}

int FakeService::port() const { return state_->port; }

std::string FakeService::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(state_->port);
}

void FakeService::on(std::string method, std::string path, Response response) {
  std::lock_guard lock(state_->mutex);
  state_->script[{std::move(method), std::move(path)}].push_back(std::move(response));
}

void FakeService::respond(std::string method, std::string path, Responder responder) {
  std::lock_guard lock(state_->mutex);
  state_->responders[{std::move(method), std::move(path)}] =
      std::make_shared<const Responder>(std::move(responder));
}

std::vector<FakeService::Request> FakeService::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

bool FakeService::waitForRequests(std::size_t count, double timeoutSeconds) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                  [&] { return state_->requests.size() >= count; });
}

}  // namespace testing_support
