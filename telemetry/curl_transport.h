// The HTTPS transport of telemetry, on one libcurl easy handle.
//
// The handle is set up once: HTTPS only, no redirects, peer and host
// verified against the CA file of the endpoint or else the first readable
// system bundle, 10 s per transfer, 5 s to connect. Each Post sets the URL,
// the body and the headers "Content-Type: application/json" and
// "x-api-key: <key>" and performs one transfer; the response body is
// discarded. Posts are serialised by a mutex, so one handle serves every
// thread.
#ifndef NIVORA_TELEMETRY_CURL_TRANSPORT_H_
#define NIVORA_TELEMETRY_CURL_TRANSPORT_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include <curl/curl.h>

#include "telemetry/telemetry_endpoint.h"
#include "telemetry/telemetry_transport.h"

namespace nivora::internal {

class CurlTransport : public TelemetryTransport {
  struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };
  using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
  class Key {  // lets only Create construct
    friend class CurlTransport;
    Key() = default;
  };

 public:
  // Builds the transport, or returns null after one line on standard error
  // when libcurl gives no handle or refuses a setting: telemetry then stays
  // off instead of failing its owner. Throws as CheckApiKey for a bad
  // api_key.
  static std::unique_ptr<CurlTransport> Create(const TelemetryEndpoint& endpoint,
                                               const std::string& api_key);

  CurlTransport(Key, CurlHandle handle, std::string url, std::string api_key);

  PostOutcome Post(const std::string& body) override;

  // libcurl's write callback: takes the response data and drops it.
  static size_t WriteCallback(char* data, size_t size, size_t count, void* user);

 private:
  const std::string url_;
  const std::string api_key_;
  std::mutex curl_mutex_;  // serialises every use of curl_
  CurlHandle curl_;        // guarded by curl_mutex_
};

// The transport the environment asks for (telemetry_endpoint.h): a
// CurlTransport, or null when no endpoint is configured or the transport
// cannot be built. Throws as CheckApiKey for a bad api_key.
std::unique_ptr<TelemetryTransport> MakeTelemetryTransportFromEnvironment(
    const std::string& api_key);

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_CURL_TRANSPORT_H_
