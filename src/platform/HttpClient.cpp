// The client's own thread runs the transfers and everything in this file
// below HttpClient::send; send itself is called from any thread.
#include "platform/HttpClient.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>

#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"

namespace tavlo {
namespace {

using Clock = std::chrono::steady_clock;

std::string sizeText(std::size_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

std::string secondsText(std::chrono::milliseconds ms) {
  if (ms.count() % 1000 == 0) return std::to_string(ms.count() / 1000) + " s";
  return std::to_string(ms.count()) + " ms";
}

// CURL_CA_BUNDLE, else SSL_CERT_FILE, as the process started; "" when neither is set.
const std::string& caBundle() {
  static const std::string bundle = [] {
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
      if (const char* value = std::getenv(name); value && *value) return std::string(value);
    return std::string();
  }();
  return bundle;
}

}  // namespace

struct HttpClient::Transfer {
  FetchRequest request;
  std::function<void(Result<FetchResponse>)> done;
  FetchResponse response;
  std::string error;  // set when no answer arrived
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  Clock::time_point lastActivity = Clock::now();
  curl_off_t uploaded = 0;
  bool tooLarge = false;

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headers) curl_slist_free_all(headers);
  }

  // Ends the transfer with `failure`, dropping whatever arrived of an answer.
  void failWith(std::string failure) {
    response = FetchResponse{};
    error = std::move(failure);
  }

  // Hands the outcome to the waiting coroutine (a post to its executor).
  void finish() {
    if (error.empty()) done(std::move(response));
    else done(fail(std::move(error)));
    done = nullptr;
  }

  static size_t onBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    size_t n = size * count;
    t->lastActivity = Clock::now();
    if (t->response.body.size() + n > t->request.maxBodyBytes) {
      t->tooLarge = true;
      return 0;  // aborts the transfer with a write error
    }
    t->response.body.append(data, n);
    return n;
  }

  static size_t onHeader(char*, size_t size, size_t count, void* self) {
    static_cast<Transfer*>(self)->lastActivity = Clock::now();
    return size * count;
  }

  static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(self);
    if (ulnow != t->uploaded) {
      t->uploaded = ulnow;
      t->lastActivity = Clock::now();
    }
    return 0;
  }

  bool prepare() {
    easy = curl_easy_init();
    if (!easy) return false;
    const FetchRequest& r = request;
    curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 64L * 1024);
    // The model servers are on this computer or its network: a proxy from the environment must not catch these calls.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    // As with the curl tool, a CA bundle named in the environment is trusted instead of the system's
    // (libcurl itself reads neither variable): for a server behind https with a certificate of its own.
    if (const std::string& bundle = caBundle(); !bundle.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, bundle.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(r.maxBodyBytes));
    if (r.connectTimeout.count() > 0) curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.connectTimeout.count()));
    if (r.totalTimeout.count() > 0) curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(r.totalTimeout.count()));

    if (r.method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
      if (r.method == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
      else if (r.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.c_str());
      if (r.method != "HEAD") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, r.body.data());
      }
    }
    for (const auto& [name, value] : r.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
    // No "Expect: 100-continue" round trip for large bodies.
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    lastActivity = Clock::now();
    return true;
  }

  void complete(CURLcode code) {
    if (code == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      response.status = status;
      return;
    }
    if (tooLarge || code == CURLE_FILESIZE_EXCEEDED)
      failWith("the response body is larger than " + sizeText(request.maxBodyBytes));
    else
      failWith(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
  }
};

HttpClient::HttpClient() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  multi_ = curl_multi_init();
  thread_ = std::thread([this] { run(); });
}

HttpClient::~HttpClient() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
  thread_.join();
  curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

HttpClient& HttpClient::shared() {
  static HttpClient* client = new HttpClient();
  return *client;
}

asio::awaitable<Result<FetchResponse>> HttpClient::send(FetchRequest request) {
  return awaitCallback<Result<FetchResponse>>(
      [this, request = std::move(request)](std::function<void(Result<FetchResponse>)> done) mutable {
        auto transfer = std::make_unique<Transfer>();
        transfer->request = std::move(request);
        transfer->done = std::move(done);
        queue(std::move(transfer));
      });
}

void HttpClient::queue(std::unique_ptr<Transfer> transfer) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) pending_.push_back(std::move(transfer));
  }
  if (transfer) {
    transfer->failWith("the HTTP client is shutting down");
    transfer->finish();
    return;
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void HttpClient::finish(Active& active, Active::iterator it) {
  curl_multi_remove_handle(static_cast<CURLM*>(multi_), (*it)->easy);
  auto transfer = std::move(*it);
  active.erase(it);
  transfer->finish();
}

// Starts the transfers queued since the last round; false once the client is stopping
// (every transfer, queued or running, then ends with an error).
bool HttpClient::admitQueued(Active& active) {
  std::deque<std::unique_ptr<Transfer>> incoming;
  bool stop;
  {
    std::lock_guard lock(mutex_);
    incoming.swap(pending_);
    stop = stopping_;
  }
  for (auto& t : incoming) {
    if (stop || !t->prepare() || curl_multi_add_handle(static_cast<CURLM*>(multi_), t->easy) != CURLM_OK) {
      t->failWith(stop ? "the HTTP client is shutting down" : "cannot start the HTTP request");
      t->finish();
      continue;
    }
    active.push_back(std::move(t));
  }
  if (!stop) return true;
  while (!active.empty()) {
    active.front()->failWith("the HTTP client is shutting down");
    finish(active, active.begin());
  }
  return false;
}

void HttpClient::collectFinished(Active& active) {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(static_cast<CURLM*>(multi_), &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    Transfer* t = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
    CURLcode code = msg->data.result;
    auto it = std::find_if(active.begin(), active.end(), [t](const auto& p) { return p.get() == t; });
    if (it == active.end()) continue;
    t->complete(code);
    finish(active, it);
  }
}

// Idle limit: no byte in either direction for too long ends the transfer;
// so does a cancellation (the loop comes round at least every 100 ms).
void HttpClient::endStalledOrCancelled(Active& active) {
  auto now = Clock::now();
  for (auto it = active.begin(); it != active.end();) {
    auto next = std::next(it);
    Transfer& t = **it;
    if (t.request.cancel && t.request.cancel->cancelled()) {
      t.failWith("the request was cancelled");
      finish(active, it);
    } else if (t.request.idleTimeout.count() > 0 && now - t.lastActivity >= t.request.idleTimeout) {
      t.failWith("the request timed out (no data for " + secondsText(t.request.idleTimeout) + ")");
      finish(active, it);
    }
    it = next;
  }
}

void HttpClient::run() {
  auto* multi = static_cast<CURLM*>(multi_);
  Active active;
  while (admitQueued(active)) {
    int running = 0;
    curl_multi_perform(multi, &running);
    collectFinished(active);
    endStalledOrCancelled(active);
    long timeout = 1000;
    curl_multi_timeout(multi, &timeout);
    if (timeout < 0 || timeout > 100) timeout = active.empty() ? 1000 : 100;
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeout), nullptr);
  }
}

}  // namespace tavlo
