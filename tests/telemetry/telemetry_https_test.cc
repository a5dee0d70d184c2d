// The libcurl transport against a real HTTPS server on 127.0.0.1.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "https_test_server.h"
#include "telemetry/curl_transport.h"
#include "telemetry/telemetry_aggregator.h"

namespace nivora::internal {
namespace {

using nlohmann::json;
using testing::HttpsTestServer;

constexpr const char* kApiKey = "nv-test-key-0123";

// A port on 127.0.0.1 that nothing listens on.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

std::string HeaderValue(const json& request, const std::string& name) {
  for (const json& header : request["headers"]) {
    std::string key = header[0];
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key == name) return header[1];
  }
  return "<absent>";
}

class TelemetryHttpsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* proxy : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(proxy);
    }
    server_ = new HttpsTestServer(NIVORA_TELEMETRY_TEST_SERVER);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    server_->SetStatus(204);
    setenv(kTelemetryUrlVariable, server_->base_url().c_str(), 1);
    setenv(kTelemetryCaFileVariable, server_->ca_file().c_str(), 1);
  }
  void TearDown() override {
    unsetenv(kTelemetryUrlVariable);
    unsetenv(kTelemetryCaFileVariable);
  }

  // An aggregator on the endpoint the environment names, with short
  // retry pauses and a worker that stays asleep.
  static std::unique_ptr<TelemetryAggregator> MakeAggregator() {
    TelemetryOptions options;
    options.transport = MakeTelemetryTransportFromEnvironment(kApiKey);
    options.flush_interval = std::chrono::hours(1);
    options.retry_pause = std::chrono::milliseconds(10);
    return std::make_unique<TelemetryAggregator>(kApiKey, std::move(options));
  }

  // Sends one event; returns the result and what was written to stderr.
  static std::pair<bool, std::string> SendOne(TelemetryAggregator& aggregator) {
    const json event = MakeUsageEvent("u", 0, 1, 1);
    ::testing::internal::CaptureStderr();
    const bool sent = aggregator.SendEvents(&event, &event + 1);
    return {sent, ::testing::internal::GetCapturedStderr()};
  }

  static HttpsTestServer* server_;
};

HttpsTestServer* TelemetryHttpsTest::server_ = nullptr;

TEST_F(TelemetryHttpsTest, PostsTheBatchWithItsHeaders) {
  const size_t before = server_->Requests().size();
  {
    TelemetryAggregator aggregator(kApiKey);  // the environment's endpoint, real pauses
    aggregator.IncrementCounter(TelemetryEventType::Get, 3);
    aggregator.RecordError("Exception in Query: Index name payroll already exists");
    aggregator.Flush();
    server_->SetStatus(200);
    aggregator.SendInitEvent();
  }
  const std::vector<json> requests = server_->Requests();
  ASSERT_EQ(requests.size(), before + 2);

  const json& flush = requests[before];
  EXPECT_EQ(flush["method"], "POST");
  EXPECT_EQ(flush["path"], "/v1/telemetry/events");
  EXPECT_EQ(HeaderValue(flush, "content-type"), "application/json");
  EXPECT_EQ(HeaderValue(flush, "x-api-key"), kApiKey);
  const std::string body = flush["body"];
  const json events = json::parse(body)["events"];
  ASSERT_EQ(events.size(), 2u) << body;
  const auto text = [](const json& value) { return value.dump(); };
  EXPECT_EQ(body, R"({"events":[{"count":3,"timestamp":)" + text(events[0]["timestamp"]) +
                      R"(,"type":"get","uuid":)" + text(events[0]["uuid"]) +
                      R"(},{"description":"Exception in Query: Index name <redacted> already )"
                      R"(exists","timestamp":)" + text(events[1]["timestamp"]) +
                      R"(,"type":"error","uuid":)" + text(events[1]["uuid"]) + "}]}");

  const json init = json::parse(requests[before + 1]["body"].get<std::string>())["events"];
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0]["type"], "init");
  EXPECT_EQ(init[0]["count"], 1);
}

TEST_F(TelemetryHttpsTest, FailingStatusesAreTriedThreeTimes) {
  for (const int status : {503, 302}) {
    server_->SetStatus(status);
    const size_t before = server_->Requests().size();
    auto aggregator = MakeAggregator();
    const auto [sent, err] = SendOne(*aggregator);
    EXPECT_FALSE(sent) << status;
    const std::string line = "[Telemetry] HTTP error " + std::to_string(status) + " on attempt ";
    EXPECT_EQ(err, line + "1\n" + line + "2\n" + line + "3\n");
    const std::vector<json> requests = server_->Requests();
    ASSERT_EQ(requests.size(), before + 3);
    for (size_t i = before; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i]["path"], "/v1/telemetry/events") << "a redirect was followed";
    }
  }
}

TEST_F(TelemetryHttpsTest, ClosedPortIsATransferError) {
  setenv(kTelemetryUrlVariable, ("https://127.0.0.1:" + std::to_string(ClosedPort())).c_str(), 1);
  auto aggregator = MakeAggregator();
  const auto [sent, err] = SendOne(*aggregator);
  EXPECT_FALSE(sent);
  const std::string line = "[Telemetry] CURL error: Couldn't connect to server on attempt ";
  EXPECT_EQ(err, line + "1\n" + line + "2\n" + line + "3\n");
}

TEST_F(TelemetryHttpsTest, UntrustedCertificateIsRefused) {
  unsetenv(kTelemetryCaFileVariable);  // the system bundles do not know the test CA
  const size_t before = server_->Requests().size();
  auto aggregator = MakeAggregator();
  const auto [sent, err] = SendOne(*aggregator);
  EXPECT_FALSE(sent);
  EXPECT_NE(err.find("[Telemetry] CURL error: "), std::string::npos);
  EXPECT_NE(err.find(" on attempt 3\n"), std::string::npos);
  EXPECT_EQ(server_->Requests().size(), before) << "a request got through unverified TLS";
}

TEST_F(TelemetryHttpsTest, NoEndpointMeansNoConnection) {
  const size_t before = server_->Connections();
  for (const char* url : {"", "http://127.0.0.1:1"}) {
    if (*url == '\0') {
      unsetenv(kTelemetryUrlVariable);
    } else {
      setenv(kTelemetryUrlVariable, url, 1);
    }
    ::testing::internal::CaptureStderr();
    {
      TelemetryAggregator aggregator(kApiKey);
      aggregator.IncrementCounter(TelemetryEventType::Upsert, 5);
      aggregator.RecordError("Exception in Upsert: x");
      aggregator.SendInitEvent();
      aggregator.Flush();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.empty(), *url == '\0') << err;
  }
  EXPECT_EQ(server_->Connections(), before);
}

}  // namespace
}  // namespace nivora::internal
