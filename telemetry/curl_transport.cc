#include "telemetry/curl_transport.h"

#include <cstdio>
#include <iostream>

namespace nivora::internal {
namespace {

// System CA bundles, probed in this order when no CA file is configured.
constexpr const char* kCaBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/usr/share/ssl/certs/ca-bundle.crt",
    "/usr/local/share/certs/ca-root-nss.crt",
    "/etc/ssl/cert.pem",
};

constexpr long kTransferTimeoutSeconds = 10;
constexpr long kConnectTimeoutSeconds = 5;

std::string FirstReadableCaBundle() {
  for (const char* path : kCaBundles) {
    if (std::FILE* file = std::fopen(path, "r")) {
      std::fclose(file);
      return path;
    }
  }
  return {};  // libcurl's own default store applies
}

// libcurl wants one process-wide initialisation before the first handle.
bool InitCurlOnce() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

// The settings every transfer of the handle shares. False when libcurl
// refuses one: a handle that might allow plain HTTP or skip verification
// is not used.
bool ConfigureHandle(CURL* curl, const std::string& ca_file) {
  bool ok = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutSeconds) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
            // Timeouts by signal are unsafe with several threads.
            curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlTransport::WriteCallback) ==
                CURLE_OK;
  const std::string ca = ca_file.empty() ? FirstReadableCaBundle() : ca_file;
  if (ok && !ca.empty()) ok = curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str()) == CURLE_OK;
  return ok;
}

struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// Appends line to list; on failure frees nothing and returns false.
bool AppendHeader(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  list.release();
  list.reset(grown);
  return true;
}

}  // namespace

std::unique_ptr<CurlTransport> CurlTransport::Create(const TelemetryEndpoint& endpoint,
                                                     const std::string& api_key) {
  CheckApiKey(api_key);
  CurlHandle curl(InitCurlOnce() ? curl_easy_init() : nullptr);
  if (curl == nullptr) {
    std::cerr << "[Telemetry] Failed to initialize curl handle; telemetry is not sent"
              << std::endl;
    return nullptr;
  }
  if (!ConfigureHandle(curl.get(), endpoint.ca_file)) {
    std::cerr << "[Telemetry] Failed to configure curl handle; telemetry is not sent"
              << std::endl;
    return nullptr;
  }
  return std::make_unique<CurlTransport>(Key(), std::move(curl), endpoint.url, api_key);
}

CurlTransport::CurlTransport(Key, CurlHandle handle, std::string url, std::string api_key)
    : url_(std::move(url)), api_key_(std::move(api_key)), curl_(std::move(handle)) {}

size_t CurlTransport::WriteCallback(char*, size_t size, size_t count, void*) {
  return size * count;
}

PostOutcome CurlTransport::Post(const std::string& body) {
  HeaderList headers;
  // "Name;" is libcurl's way of sending a header with an empty value.
  const std::string key_header = api_key_.empty() ? "x-api-key;" : "x-api-key: " + api_key_;
  if (!AppendHeader(headers, "Content-Type: application/json") ||
      !AppendHeader(headers, key_header)) {
    return {false, curl_easy_strerror(CURLE_OUT_OF_MEMORY), 0};
  }

  std::lock_guard<std::mutex> lock(curl_mutex_);
  CURL* curl = curl_.get();
  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  const CURLcode result = curl_easy_perform(curl);
  // The handle must not keep pointers to the body and the headers, which
  // die with this call.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
  if (result != CURLE_OK) return {false, curl_easy_strerror(result), 0};
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return {true, {}, status};
}

std::unique_ptr<TelemetryTransport> MakeTelemetryTransportFromEnvironment(
    const std::string& api_key) {
  CheckApiKey(api_key);
  const std::optional<TelemetryEndpoint> endpoint = ReadTelemetryEndpoint();
  if (!endpoint) return nullptr;
  return CurlTransport::Create(*endpoint, api_key);
}

}  // namespace nivora::internal
