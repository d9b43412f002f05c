#include "tests/support/fake_collection_service.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace testing_support {

struct FakeCollectionService::State {
  std::mutex mutex;
  std::map<std::string, std::deque<Answer>> scripts;
  std::set<std::string> served;
};

FakeCollectionService::Answer FakeCollectionService::Answer::redirect(std::string location,
                                                                      int status) {
  Answer answer;
  answer.status = status;
  answer.location = std::move(location);
  return answer;
}

FakeCollectionService::FakeCollectionService() : state_(std::make_unique<State>()) {
  for (std::int64_t target = 1000; target <= 1003; ++target) serve(uploadPath(target));
}

FakeCollectionService::~FakeCollectionService() = default;

std::string FakeCollectionService::uploadPath(std::int64_t target) {
  return "/upload/" + std::to_string(target);
}

void FakeCollectionService::script(const std::string& path, Answer answer, std::size_t times) {
  {
    std::lock_guard lock(state_->mutex);
    for (std::size_t i = 0; i < times; ++i) state_->scripts[path].push_back(answer);
  }
  serve(path);
}

void FakeCollectionService::serve(const std::string& path) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->served.insert(path).second) return;
  }
  State* state = state_.get();
  service_.respond("POST", path, [state, path](const Upload&) {
    Answer answer;
    {
      std::lock_guard lock(state->mutex);
      auto& queued = state->scripts[path];
      if (!queued.empty()) {
        answer = queued.front();
        if (queued.size() > 1) queued.pop_front();
      }
    }
    FakeService::Response response;
    response.status = answer.status;
    if (!answer.body.empty())
      response.headers.emplace_back("Content-Type", "application/x-protobuf");
    if (answer.retryAfter) response.headers.emplace_back("Retry-After", *answer.retryAfter);
    if (answer.location) response.headers.emplace_back("Location", *answer.location);
    response.body = std::move(answer.body);
    response.delaySeconds = answer.delaySeconds;
    response.dropConnection = answer.dropConnection;
    return response;
  });
}

}  // namespace testing_support
